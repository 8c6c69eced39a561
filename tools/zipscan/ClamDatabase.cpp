#include "ClamDatabase.h"

#include <zlib.h>

#include <algorithm>
#include <cctype>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>
#include <set>
#include <string_view>
#include <vector>

#include "BodyPattern.h"
#include "DatabaseCache.h"
#include "DatabaseSnapshot.h"

#ifdef ZIPSCAN_CRYPTO
#include <openssl/evp.h>
#endif

namespace zipscan {

namespace {

// The file types of a signature folder; anything else in it is passed over
// as a database reader passes it over.
const std::set<std::string> kDatabaseTypes = {
    "cvd", "cld", "cud", "hdb", "hdu", "hsb", "hsu", "mdb", "mdu", "msb", "msu", "ndb", "ndu", "ldb", "ldu",
    "idb", "cdb", "cat", "crb", "sdb", "zmd", "rmd", "pdb", "gdb", "wdb", "cbc", "ftm", "cfg", "fp", "sfp",
    "ign", "ign2", "imp", "ioc", "pwdb", "yar", "yara"};

// A container's header, then its archive part; the archive part and its
// files are bounded, so a damaged or hostile container ends in an error.
constexpr std::size_t kHeader = 512;
constexpr std::size_t kLargestArchive = std::size_t(1) << 30;

std::string TypeOf(const std::string& name)
{
    const std::size_t slash = name.find_last_of('/');
    const std::size_t dot = name.find_last_of('.');
    if (dot == std::string::npos || (slash != std::string::npos && dot < slash)) return std::string();
    std::string type = name.substr(dot + 1);
    for (char& c : type) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return type;
}

bool ReadWhole(const std::string& path, std::string& out, std::string& error)
{
    std::ifstream in(path, std::ios::binary | std::ios::ate);
    if (!in) {
        error = path + ": cannot read the database";
        return false;
    }
    const std::streamoff size = in.tellg();
    if (size < 0 || static_cast<std::uint64_t>(size) > kLargestArchive) {
        error = path + ": not a database of a size zipscan reads (up to 1 GiB)";
        return false;
    }
    out.resize(static_cast<std::size_t>(size));
    in.seekg(0);
    if (!in.read(&out[0], size)) {
        error = path + ": read error";
        return false;
    }
    return true;
}

// Calls line(number, text) for every line that is not empty nor a comment;
// stops when it answers false.
template <typename F>
bool EachLine(const std::string& text, F line)
{
    std::size_t number = 0;
    // The lines are views into the text: no copy each.
    for (std::size_t at = 0; at < text.size();) {
        std::size_t end = text.find('\n', at);
        if (end == std::string::npos) end = text.size();
        ++number;
        std::size_t stop = end;
        if (stop > at && text[stop - 1] == '\r') --stop;
        if (stop > at && text[at] != '#' && !line(number, std::string_view(text.data() + at, stop - at))) return false;
        at = end + 1;
    }
    return true;
}

std::vector<std::string> Split(const std::string& line, char separator)
{
    std::vector<std::string> fields;
    std::size_t at = 0;
    while (true) {
        const std::size_t next = line.find(separator, at);
        fields.push_back(line.substr(at, next == std::string::npos ? std::string::npos : next - at));
        if (next == std::string::npos) return fields;
        at = next + 1;
    }
}

bool Digits(const std::string& text)
{
    return !text.empty() && text.size() <= 19 && text.find_first_not_of("0123456789") == std::string::npos;
}

int HexNibble(char c)
{
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

bool Gunzip(const std::string& in, std::size_t from, std::string& out)
{
    z_stream z {};
    if (inflateInit2(&z, 16 + MAX_WBITS) != Z_OK) return false;
    z.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(in.data() + from));
    z.avail_in = static_cast<uInt>(std::min<std::size_t>(in.size() - from, 0xFFFFFFFFu));
    std::vector<char> piece(1u << 20);
    int status = Z_OK;
    while (status == Z_OK) {
        z.next_out = reinterpret_cast<Bytef*>(piece.data());
        z.avail_out = static_cast<uInt>(piece.size());
        status = inflate(&z, Z_NO_FLUSH);
        out.append(piece.data(), piece.size() - z.avail_out);
        if (out.size() > kLargestArchive || (status == Z_BUF_ERROR && z.avail_in == 0)) break;
    }
    inflateEnd(&z);
    return status == Z_STREAM_END;
}

// An octal tar number field, as written by every tar.
bool Octal(const char* field, std::size_t size, std::uint64_t& out)
{
    out = 0;
    std::size_t i = 0;
    while (i < size && field[i] == ' ') ++i;
    bool any = false;
    for (; i < size && field[i] >= '0' && field[i] <= '7'; ++i) {
        if (out >> 60) return false;
        out = out * 8 + static_cast<std::uint64_t>(field[i] - '0');
        any = true;
    }
    return any && (i == size || field[i] == ' ' || field[i] == '\0');
}

bool Md5Matches(const std::string& bytes, std::size_t from, const std::string& expected)
{
#ifdef ZIPSCAN_CRYPTO
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int length = 0;
    if (EVP_Digest(bytes.data() + from, bytes.size() - from, digest, &length, EVP_md5(), nullptr) != 1) return false;
    std::vector<unsigned char> want;
    return ParseHex(expected, want) && want.size() == length && std::memcmp(want.data(), digest, length) == 0;
#else
    (void)bytes;
    (void)from;
    (void)expected;
    return true;  // nothing to check it with: said in zipscan's guide
#endif
}

} // namespace

void ClamDatabase::NotRead(const std::string& what, std::size_t count)
{
    if (count) notRead[what] += count;
}

bool ClamDatabase::Files(const std::string& path, std::vector<std::string>& files, std::string& error) const
{
    std::error_code ec;
    if (!std::filesystem::is_directory(path, ec)) {
        files.push_back(path);
        return true;
    }
    std::vector<std::string> found;
    for (auto it = std::filesystem::directory_iterator(path, ec); !ec && it != std::filesystem::directory_iterator();
         it.increment(ec)) {
        const std::string name = it->path().filename().string();
        if (kDatabaseTypes.count(TypeOf(name)) && it->is_regular_file(ec)) found.push_back(it->path().string());
    }
    if (ec) {
        error = path + ": " + ec.message();
        return false;
    }
    if (found.empty()) {
        error = path + ": no database files in this folder";
        return false;
    }
    std::sort(found.begin(), found.end());
    files.insert(files.end(), found.begin(), found.end());
    return true;
}

bool ClamDatabase::LoadAll(const std::vector<std::string>& paths, const std::string& cacheFolder, std::string& error)
{
    std::vector<std::string> files;
    for (const std::string& p : paths)
        if (!Files(p, files, error)) return false;
    if (files.empty()) return true;
    // A snapshot holds what the databases add, so the set must hold no
    // hash signatures nor rules of its own.
    std::string key;
    if (!cacheFolder.empty() && set.Hashes().Empty() && set.Yara().Empty()) {
        std::vector<SnapshotFile> keyed(files.size());
        bool all = true;
        for (std::size_t i = 0; all && i < files.size(); ++i) all = SnapshotFileOf(files[i], keyed[i]);
        if (all) key = SnapshotKey(keyed);
    }
    // One snapshot, and one compiled search, for these paths whatever
    // their contents: an update of the databases replaces them.
    std::string slot;
    for (const std::string& f : files) slot += f + '\0';
    set.SetCacheSlot("zipscan compiled search\n" + slot);
    slot = "zipscan signature snapshot\n" + slot;
    const DatabaseCache cache(key.empty() ? std::string() : cacheFolder);
    std::unique_ptr<char[]> stored;
    std::size_t storedSize = 0;
    if (!key.empty() && cache.Load(key, stored, storedSize, slot)) {
        SnapshotReader in(stored.get(), storedSize);
        if (Restore(in, error)) return true;
        if (!error.empty()) return false;
    }
    const std::size_t first = set.All().size();
    keepYara = !key.empty();
    // The snapshot is keyed by the bytes parsed: a file that changed since
    // it was keyed keeps none.
    std::vector<SnapshotFile> parsed(files.size());
    for (std::size_t i = 0; i < files.size(); ++i)
        if (!LoadFile(files[i], error, key.empty() ? nullptr : &parsed[i])) return false;
    if (!key.empty() && SnapshotKey(parsed) == key) {
        set.Hashes().Prepare();
        SnapshotWriter out;
        Save(first, out);
        cache.Store(key, out.Bytes().data(), out.Bytes().size(), slot);
    }
    return true;
}

void ClamDatabase::Save(std::size_t firstSignature, SnapshotWriter& out) const
{
    out.Word(loaded);
    out.Word(looseOffsets);
    out.Word(looseTargets);
    out.Word(notRead.size());
    for (const auto& n : notRead) {
        out.Text(n.first);
        out.Word(n.second);
    }
    // The files signatures come from, each once.
    const std::vector<Signature>& all = set.All();
    std::vector<const std::string*> origins;
    std::map<const std::string*, std::uint64_t> originAt;
    for (std::size_t i = firstSignature; i < all.size(); ++i)
        if (all[i].origin.file && originAt.emplace(all[i].origin.file.get(), origins.size() + 1).second)
            origins.push_back(all[i].origin.file.get());
    out.Word(origins.size());
    for (const std::string* o : origins) out.Text(*o);
    out.Word(all.size() - firstSignature);
    for (std::size_t i = firstSignature; i < all.size(); ++i) {
        const Signature& s = all[i];
        out.Text(s.name);
        out.Raw(s.pattern.data(), s.pattern.size(), true);
        out.Text(s.body ? s.body->Source() : std::string());
        out.Word((s.body ? 1u : 0u) | (s.executableOnly ? 2u : 0u) | (static_cast<unsigned>(s.action) << 2));
        out.Word(s.origin.file ? originAt.at(s.origin.file.get()) : 0);
        out.Word(s.origin.line);
    }
    out.Word(yaraTexts.size());
    for (const auto& y : yaraTexts) {
        out.Text(y.first);
        out.Text(y.second);
    }
    set.Hashes().Save(out);
}

bool ClamDatabase::Restore(SnapshotReader& in, std::string& error)
{
    // Everything is read and checked before the set is changed for good.
    const std::size_t restoredLoaded = in.Word(), offsets = in.Word(), targets = in.Word();
    std::map<std::string, std::size_t> passedOver;
    for (std::size_t n = in.Count(16); n > 0 && in.Ok(); --n) {
        std::string what = in.Text();
        passedOver[what] += in.Word();
    }
    std::vector<std::shared_ptr<const std::string>> origins(in.Count(8));
    for (auto& o : origins) o = std::make_shared<const std::string>(in.Text());
    // Signatures go straight into the set, which drops them again when
    // what follows does not hold up.
    const std::size_t first = set.All().size();
    const std::size_t count = in.Count(48);
    set.ReserveSignatures(first + count);
    const auto fail = [&] {
        set.DropSignaturesFrom(first);
        return false;
    };
    for (std::size_t i = 0; i < count; ++i) {
        Signature s;
        s.name = in.Text();
        const std::string pattern = in.Text();
        s.pattern.assign(pattern.begin(), pattern.end());
        std::string source = in.Text();
        const std::uint64_t bits = in.Word(), origin = in.Word();
        s.origin.line = in.Word();
        if (!in.Ok() || (bits >> 2) > static_cast<unsigned>(Action::Cure) || origin > origins.size()) return fail();
        s.action = static_cast<Action>(bits >> 2);
        s.executableOnly = (bits & 2) != 0;
        if (origin) s.origin.file = origins[origin - 1];
        if (bits & 1) s.body = BodyPattern::Deferred(std::move(source));
        set.AddDatabaseSignature(std::move(s));
    }
    std::vector<std::pair<std::string, std::string>> rules(in.Count(16));
    for (auto& r : rules) {
        r.first = in.Text();
        r.second = in.Text();
    }
    HashSignatures hashes;
    if (!in.Ok() || !hashes.Restore(in) || !in.AtEnd()) return fail();

    loaded += restoredLoaded;
    looseOffsets += offsets;
    looseTargets += targets;
    for (const auto& n : passedOver) NotRead(n.first, n.second);
    set.Hashes() = std::move(hashes);
    for (const auto& r : rules)
        if (!set.Yara().AddFile(r.first, r.second, error)) return false;
    return true;
}

bool ClamDatabase::LoadFile(const std::string& path, std::string& error, SnapshotFile* keyed)
{
    std::string bytes;
    if (!ReadWhole(path, bytes, error)) return false;
    if (keyed && !SnapshotFileOf(path, bytes, *keyed)) keyed->path.clear();
    const std::string type = TypeOf(path);
    if (type == "cvd" || type == "cld") return LoadContainer(path, type, bytes, error);
    return LoadText(path, type, bytes, error);
}

bool ClamDatabase::LoadText(const std::string& shown, const std::string& type, const std::string& text,
                            std::string& error)
{
    if (type == "hdb" || type == "hsb") return LoadHashes(shown, type, text, error);
    if (type == "ndb") return LoadBodies(shown, text, error);
    if (type == "yar" || type == "yara") {
        if (!YaraRules::Available()) {
            NotRead("." + type + " file (this zipscan has no libyara)", 1);
            return true;
        }
        ++loaded;
        if (keepYara) yaraTexts.emplace_back(shown, text);
        return set.Yara().AddFile(shown, text, error);
    }
    if (type == "info") return true;  // a container's description of itself
    std::size_t lines = 0;
    EachLine(text, [&](std::size_t, std::string_view) { return ++lines, true; });
    NotRead(type.empty() ? std::string("file without a type") : "." + type, std::max<std::size_t>(lines, 1));
    return true;
}

bool ClamDatabase::LoadContainer(const std::string& path, const std::string& type, const std::string& bytes,
                                 std::string& error)
{
    if (bytes.size() < kHeader || bytes.compare(0, 11, "ClamAV-VDB:") != 0) {
        error = path + ": not a ClamAV database container (no ClamAV-VDB header)";
        return false;
    }
    const std::vector<std::string> fields = Split(bytes.substr(0, kHeader), ':');
    // A .cld is rebuilt from incremental updates: its header still names
    // the digest of the download it started from, so only a .cvd's holds.
    if (type == "cvd" && fields.size() > 5 && fields[5].size() == 32 &&
        fields[5].find_first_not_of("0123456789abcdefABCDEF") == std::string::npos &&
        !Md5Matches(bytes, kHeader, fields[5])) {
        error = path + ": the archive part does not match the MD5 digest in its header (damaged or incomplete)";
        return false;
    }
    std::string tar;
    const bool gzip = bytes.size() > kHeader + 2 && static_cast<unsigned char>(bytes[kHeader]) == 0x1f &&
                      static_cast<unsigned char>(bytes[kHeader + 1]) == 0x8b;
    if (gzip) {
        if (!Gunzip(bytes, kHeader, tar)) {
            error = path + ": the archive part is not a whole gzip stream (or holds more than 1 GiB)";
            return false;
        }
    } else {
        tar = bytes.substr(kHeader);
    }
    for (std::size_t at = 0; at + kHeader <= tar.size();) {
        const char* h = tar.data() + at;
        if (std::all_of(h, h + kHeader, [](char c) { return c == 0; })) break;
        std::string name(h, strnlen(h, 100));
        if (std::memcmp(h + 257, "ustar", 5) == 0 && h[345] != '\0') name = std::string(h + 345, strnlen(h + 345, 155)) + "/" + name;
        std::uint64_t size = 0;
        if (!Octal(h + 124, 12, size) || size > tar.size() - at - kHeader) {
            error = path + ": damaged archive part (the member after " + std::to_string(at) + " bytes)";
            return false;
        }
        const char kind = h[156];
        const std::string data = tar.substr(at + kHeader, static_cast<std::size_t>(size));
        at += kHeader + static_cast<std::size_t>((size + kHeader - 1) / kHeader * kHeader);
        if (kind != '0' && kind != '\0') continue;
        const std::string base = name.substr(name.find_last_of('/') == std::string::npos ? 0 : name.find_last_of('/') + 1);
        if (base == "COPYING") continue;
        const std::string memberType = TypeOf(base);
        if (memberType == "cvd" || memberType == "cld") {
            NotRead("." + memberType + " within a container", 1);
            continue;
        }
        if (!LoadText(path + ":" + name, memberType, data, error)) return false;
    }
    return true;
}

bool ClamDatabase::LoadHashes(const std::string& shown, const std::string& type, const std::string& text,
                              std::string& error)
{
    HashSignatures& hashes = set.Hashes();
    std::size_t skipped = 0;
    // Room for every line in the table of the first line's kind.
    const std::size_t firstColon = text.find(':');
    hashes.Reserve(firstColon == 40 ? HashSignatures::Sha1 : firstColon == 64 ? HashSignatures::Sha256 : HashSignatures::Md5,
                   static_cast<std::size_t>(std::count(text.begin(), text.end(), '\n')) + 1);
    // A hundred thousand lines: the fields are taken where they stand.
    const bool ok = EachLine(text, [&](std::size_t number, std::string_view line) {
        auto fail = [&](const std::string& why) {
            error = shown + ":" + std::to_string(number) + ": " + why;
            return false;
        };
        const std::size_t first = line.find(':');
        const std::size_t second = first == std::string::npos ? first : line.find(':', first + 1);
        if (second == std::string::npos) return fail("expected HASH:SIZE:NAME");
        std::size_t third = line.find(':', second + 1);
        if (third == std::string::npos) third = line.size();
        unsigned char digest[32];
        const std::size_t hexSize = first;
        bool hex = hexSize == 32 || hexSize == 40 || hexSize == 64;
        for (std::size_t i = 0; hex && i < hexSize; i += 2) {
            const int h = HexNibble(line[i]), l = HexNibble(line[i + 1]);
            hex = h >= 0 && l >= 0;
            digest[i / 2] = static_cast<unsigned char>(h * 16 + l);
        }
        if (!hex || (type == "hdb" && hexSize != 32))
            return fail(type == "hdb" ? "not an MD5 digest (32 hex digits)"
                                      : "not a SHA-1 or SHA-256 digest (40 or 64 hex digits)");
        const std::string size(line.substr(first + 1, second - first - 1));
        if (size != "*" && !Digits(size)) return fail("the size is no number (nor '*')");
        if (third == second + 1) return fail("a signature without a name");
        if (!HashSignatures::Available()) {
            ++skipped;
            return true;
        }
        const auto kind = hexSize == 32 ? HashSignatures::Md5 : hexSize == 40 ? HashSignatures::Sha1 : HashSignatures::Sha256;
        hashes.Add(kind, digest, size == "*" ? HashSignatures::kAnySize : std::stoull(size), line.data() + second + 1,
                   third - second - 1);
        ++loaded;
        return true;
    });
    NotRead("." + type + " (this zipscan has no libcrypto)", skipped);
    return ok;
}

bool ClamDatabase::LoadBodies(const std::string& shown, const std::string& text, std::string& error)
{
    // Thousands of lines: the fields are taken where they stand, and the
    // signature's place is put into words only for an error.
    const auto file = std::make_shared<const std::string>(shown);
    return EachLine(text, [&](std::size_t number, std::string_view line) {
        auto fail = [&](const std::string& why) {
            error = shown + ":" + std::to_string(number) + ": " + why;
            return false;
        };
        std::size_t cut[6], fields = 0;
        for (std::size_t at = line.find(':'); at != std::string::npos && fields < 6; at = line.find(':', at + 1))
            cut[fields++] = at;
        if (fields < 3 || fields > 5) return fail("expected NAME:TARGET:OFFSET:HEXSIGNATURE[:MIN_FLEVEL[:MAX_FLEVEL]]");
        auto field = [&](std::size_t k) {
            const std::size_t from = k == 0 ? 0 : cut[k - 1] + 1;
            const std::size_t to = k < fields ? cut[k] : line.size();
            return std::string(line.substr(from, to - from));
        };
        const std::string target = field(1), offset = field(2);
        if (cut[0] == 0) return fail("a signature without a name");
        if (!Digits(target)) return fail("the target type is no number");
        if (offset.empty()) return fail("no offset ('*' for anywhere)");
        for (std::size_t k = 4; k <= fields; ++k) {
            const std::string level = field(k);
            if (!level.empty() && !Digits(level)) return fail("the functionality level is no number");
        }
        Signature s;
        std::string reason;
        switch (BodyPattern::Parse(field(3), s.body, reason)) {
        case BodyPattern::Parsed::Malformed:
            return fail(reason);
        case BodyPattern::Parsed::Unsupported:
            NotRead(".ndb with " + reason, 1);
            return true;
        case BodyPattern::Parsed::Ok:
            break;
        }
        if (s.body->Literal(s.pattern)) s.body.reset();
        if (target == "1") s.executableOnly = true;
        else if (std::stoull(target) != 0) ++looseTargets;
        if (offset != "*") ++looseOffsets;
        s.name = std::string(line.substr(0, cut[0]));
        s.action = Action::Delete;  // a ClamAV signature carries no cure
        s.origin = Origin{file, number};
        set.AddDatabaseSignature(std::move(s));
        ++loaded;
        return true;
    });
}

std::string ClamDatabase::Warning() const
{
    std::string out;
    if (!notRead.empty()) {
        out = "signatures not read:";
        bool first = true;
        for (const auto& n : notRead) {
            out += (first ? " " : ", ") + std::to_string(n.second) + " " + n.first;
            first = false;
        }
    }
    std::string loose;
    if (looseOffsets)
        loose += std::to_string(looseOffsets) + " .ndb with an offset other than * (searched at any offset)";
    if (looseTargets)
        loose += std::string(loose.empty() ? "" : ", ") + std::to_string(looseTargets) +
                 " .ndb with a target type other than 0 and 1 (searched in any content)";
    if (!loose.empty()) out += (out.empty() ? "" : "; ") + std::string("read loosely: ") + loose;
    return out;
}

} // namespace zipscan
