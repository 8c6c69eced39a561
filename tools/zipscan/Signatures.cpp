#include "Signatures.h"

#ifdef ZIPSCAN_ISAL_CRC
#include <isa-l/crc.h>
#else
#include <zlib.h>
#endif

#include <cstring>

#include <algorithm>
#include <cctype>
#include <fstream>
#include <functional>
#include <sstream>

#include "TemporaryStream.h"

namespace zipscan {

namespace {

// CRC-32 of the bytes, carried on from crc (0 to start): ISA-L's where the
// build has it (several times zlib's speed), else zlib's.
std::uint32_t Crc32(std::uint32_t crc, const unsigned char* data, std::size_t n)
{
#ifdef ZIPSCAN_ISAL_CRC
    return crc32_gzip_refl(crc, data, static_cast<std::uint64_t>(n));
#else
    while (n > 0) {
        const uInt chunk = static_cast<uInt>(std::min<std::size_t>(n, 1u << 30));
        crc = static_cast<std::uint32_t>(crc32(crc, data, chunk));
        data += chunk;
        n -= chunk;
    }
    return crc;
#endif
}

// The test file, each byte XORed with 0x5A.
constexpr char kTestFileMasked[] =
    "026f157b0a7f1a1b0a016e060a00026f6e720a04736d1919736d277e1f13191b0877090e1b141e1b"
    "081e771b140e130c13080f09770e1f090e771c13161f7b7e12711270";
constexpr unsigned char kMask = 0x5A;

int HexValue(char c)
{
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

// Text patterns in a signatures file may spell bytes with C escapes, so
// that spaces at either end and control bytes can be written.
bool Unescape(const std::string& text, std::vector<unsigned char>& out, std::string& error)
{
    out.clear();
    for (std::size_t i = 0; i < text.size(); ++i) {
        char c = text[i];
        if (c != '\\') {
            out.push_back(static_cast<unsigned char>(c));
            continue;
        }
        if (++i >= text.size()) {
            error = "pattern ends in a lone backslash";
            return false;
        }
        switch (text[i]) {
        case '\\': out.push_back('\\'); break;
        case 'n': out.push_back('\n'); break;
        case 'r': out.push_back('\r'); break;
        case 't': out.push_back('\t'); break;
        case '0': out.push_back('\0'); break;
        case 's': out.push_back(' '); break;
        case 'x': {
            int hi = i + 1 < text.size() ? HexValue(text[i + 1]) : -1;
            int lo = i + 2 < text.size() ? HexValue(text[i + 2]) : -1;
            if (hi < 0 || lo < 0) {
                error = "\\x needs two hex digits";
                return false;
            }
            out.push_back(static_cast<unsigned char>(hi * 16 + lo));
            i += 2;
            break;
        }
        default:
            error = std::string("unknown escape \\") + text[i];
            return false;
        }
    }
    return true;
}

} // namespace

bool ParseAction(const std::string& text, Action& action)
{
    if (text == "report") action = Action::Report;
    else if (text == "delete") action = Action::Delete;
    else if (text == "cure") action = Action::Cure;
    else return false;
    return true;
}

bool ParseHex(const std::string& text, std::vector<unsigned char>& out)
{
    out.clear();
    int high = -1;
    for (char c : text) {
        if (c == ' ' && high < 0) continue;
        int v = HexValue(c);
        if (v < 0) return false;
        if (high < 0) {
            high = v;
        } else {
            out.push_back(static_cast<unsigned char>(high * 16 + v));
            high = -1;
        }
    }
    return high < 0;
}

std::vector<unsigned char> SignatureSet::TestFile()
{
    std::vector<unsigned char> bytes;
    ParseHex(kTestFileMasked, bytes);
    for (unsigned char& b : bytes) b ^= kMask;
    return bytes;
}

bool SignatureSet::Add(Signature signature, std::string& error)
{
    if (signature.pattern.empty()) {
        error = "empty pattern";
        return false;
    }
    signatures.push_back(std::move(signature));
    return true;
}

void SignatureSet::AddBuiltin()
{
    std::string ignored;
    Signature s;
    s.name = "EICAR-Test-File";
    s.pattern = TestFile();
    Add(std::move(s), ignored);
}

bool SignatureSet::AddOption(const std::string& argument, bool hex, std::string& error)
{
    Signature s;
    std::string body = argument;
    std::size_t colon = argument.find(':');
    if (colon != std::string::npos) {
        const std::string prefix = argument.substr(0, colon);
        if (ParseAction(prefix, s.action)) {
            body = argument.substr(colon + 1);
        } else if (!prefix.empty() && prefix.size() <= 8 &&
                   prefix.find_first_not_of("abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ") == std::string::npos &&
                   argument.compare(colon, 3, "://") != 0) {
            // A mistyped action must not silently become part of the
            // pattern; a pattern that starts with a word and a colon is
            // given with its action in front (delete:word:...).
            error = "unknown action '" + prefix + "' in " + argument +
                    " (report, delete or cure; put one in front of a pattern that holds a colon)";
            return false;
        }
    }
    if (hex) {
        if (!ParseHex(body, s.pattern)) {
            error = "not a hex byte string: " + body;
            return false;
        }
        s.name = "hex:" + body;
    } else {
        s.pattern.assign(body.begin(), body.end());
        s.name = body;
    }
    return Add(std::move(s), error);
}

bool SignatureSet::LoadFile(const std::string& path, std::string& error)
{
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        error = path + ": cannot read the signatures file";
        return false;
    }
    std::string line;
    int number = 0;
    while (std::getline(in, line)) {
        ++number;
        if (!line.empty() && line.back() == '\r') line.pop_back();
        std::size_t start = line.find_first_not_of(" \t");
        if (start == std::string::npos || line[start] == '#') continue;
        std::istringstream fields(line);
        std::string name, action, kind;
        fields >> name >> action >> kind;
        std::string where = path + ":" + std::to_string(number) + ": ";
        Signature s;
        s.name = name;
        if (kind.empty()) {
            error = where + "expected NAME ACTION text|hex PATTERN";
            return false;
        }
        if (!ParseAction(action, s.action)) {
            error = where + "unknown action '" + action + "' (report, delete or cure)";
            return false;
        }
        std::string rest;
        std::getline(fields, rest);
        std::size_t p = rest.find_first_not_of(" \t");
        rest = p == std::string::npos ? std::string() : rest.substr(p);
        std::string reason;
        if (kind == "hex") {
            if (!ParseHex(rest, s.pattern)) {
                error = where + "not a hex byte string";
                return false;
            }
        } else if (kind == "text") {
            if (!Unescape(rest, s.pattern, reason)) {
                error = where + reason;
                return false;
            }
        } else {
            error = where + "unknown pattern kind '" + kind + "' (text or hex)";
            return false;
        }
        if (!Add(std::move(s), reason)) {
            error = where + reason;
            return false;
        }
    }
    if (in.bad()) {
        error = path + ": read error";
        return false;
    }
    return true;
}

std::vector<PatternSpec> SignatureSet::Specs() const
{
    std::vector<PatternSpec> specs;
    specs.reserve(signatures.size());
    for (const Signature& sig : signatures) specs.push_back(PatternSpec{sig.pattern, sig.body, sig.origin});
    return specs;
}

bool SignatureSet::Prepare(bool multi, bool cache, std::string& error)
{
    hashes.Prepare();
    if (!yara.Prepare(error)) return false;
    // Signatures of the command line and of zipscan's own files name the
    // slot too: a run with other ones beside the same databases keeps its
    // own compiled search rather than replacing this one's.
    std::string slot = cacheSlot;
    if (!slot.empty())
        for (const Signature& sig : signatures)
            if (!sig.origin.file) {
                slot += sig.name + '\0';
                slot.append(sig.pattern.begin(), sig.pattern.end());
                slot += '\0';
            }
    database = PatternDatabase::Build(Specs(), multi, cache, error, slot);
    return database != nullptr;
}

const PatternDatabase& SignatureSet::Database(std::unique_ptr<PatternDatabase>& own) const
{
    if (database) return *database;
    std::string ignored;
    own = PatternDatabase::Build(Specs(), false, false, ignored);
    return *own;
}

namespace {

constexpr unsigned int kPiece = 1u << 20;
// The most of one entry the YARA rules are given.
constexpr std::size_t kYaraLargest = std::size_t(256) << 20;

// Reads a stream from its start in pieces, through its engine interface.
class StreamReader {
public:
    explicit StreamReader(VFStream& s) : stream(s) { ok = stream.Seek(0, 0, 0, nullptr) == 0; }
    long long operator()(unsigned char* buffer, std::size_t size)
    {
        if (!ok) return -1;
        unsigned int got = 0;
        auto want = static_cast<unsigned int>(std::min<std::size_t>(size, kPiece));
        if (stream.Read(buffer, want, &got) != 0 || got > want) return -1;
        return got;
    }

private:
    VFStream& stream;
    bool ok;
};

bool WriteAll(VFStream& stream, const unsigned char* data, std::size_t size)
{
    while (size > 0) {
        unsigned int put = 0;
        auto want = static_cast<unsigned int>(std::min<std::size_t>(size, kPiece));
        stream.Write(data, want, &put);
        if (put == 0 || put > want) return false;
        data += put;
        size -= put;
    }
    return true;
}

bool EmptyStream(VFStream& stream)
{
    return stream.SetSize(0, 0) == 0 && stream.Seek(0, 0, 0, nullptr) == 0;
}

} // namespace

SignatureSet::Search::Search(const SignatureSet& s) : set(s), counter(s.Database(own))
{
    if (!set.hashes.Empty()) digests = std::make_unique<HashSignatures::Digests>(set.hashes);
    if (!set.yara.Empty()) yaraScanner = std::make_unique<YaraRules::Scanner>(set.yara);
}

bool SignatureSet::Search::Count(VFStream& content, std::vector<std::pair<std::uint32_t, std::uint32_t>>& found,
                                 ContentFacts* facts, std::vector<Finding>* whole)
{
    // The YARA rules see the entry whole: it is gathered as it goes by, up
    // to a bound, past which they see its start.
    static thread_local std::vector<unsigned char> gathered;
    const bool gather = whole && yaraScanner;
    if (gather) gathered.clear();
    unsigned char first[2] = {0, 0};
    StreamReader read(content);
    // Every entry is searched through the same piece: clearing and freeing
    // a fresh 1 MiB for each of 20000 small entries cost more than the
    // search.
    static thread_local std::vector<unsigned char> piece;
    if (piece.size() != kPiece) piece.resize(kPiece);
    bool ok = true;
    std::uint64_t total = 0;
    std::uint32_t crc = 0;
    // Record signatures, across pieces: the last three bytes of what came
    // before go in front of the next piece.
    std::uint64_t firstLocal = ContentFacts::kNone;
    bool endSeen = false;
    unsigned char joint[3 + 3];
    std::size_t tailLength = 0;
    auto look = [&](const unsigned char* data, std::size_t n, std::uint64_t at) {
        // One pass for both signatures: every 'P' is a candidate.
        const unsigned char* end = data + n;
        for (const unsigned char* p = data; p + 4 <= end && (firstLocal == ContentFacts::kNone || !endSeen); ++p) {
            p = static_cast<const unsigned char*>(std::memchr(p, 'P', static_cast<std::size_t>(end - p)));
            if (!p || p + 4 > end) break;
            if (p[1] != 'K') continue;
            if (p[2] == 3 && p[3] == 4 && firstLocal == ContentFacts::kNone)
                firstLocal = at + static_cast<std::uint64_t>(p - data);
            else if (p[2] == 5 && p[3] == 6)
                endSeen = true;
        }
    };
    while (true) {
        long long got = read(piece.data(), piece.size());
        if (got < 0) ok = false;
        if (got <= 0) break;
        const auto n = static_cast<std::size_t>(got);
        counter.Feed(piece.data(), n);
        for (std::size_t k = static_cast<std::size_t>(total); k < 2 && k - total < n; ++k) first[k] = piece[k - total];
        if (whole && digests) digests->Update(piece.data(), n);
        if (gather && gathered.size() < kYaraLargest)
            gathered.insert(gathered.end(), piece.data(), piece.data() + std::min<std::size_t>(n, kYaraLargest - gathered.size()));
        if (facts) {
            crc = Crc32(crc, piece.data(), n);
            if (firstLocal == ContentFacts::kNone || !endSeen) {
                const std::size_t head = std::min<std::size_t>(3, n);
                std::memcpy(joint + tailLength, piece.data(), head);
                look(joint, tailLength + head, total - tailLength);
                look(piece.data(), n, total);
                // What the next piece's joint starts with.
                unsigned char last[3 + 3];
                std::memcpy(last, joint, tailLength + head);
                const std::size_t keep = std::min<std::size_t>(3, tailLength + n);
                if (n >= 3) std::memcpy(joint, piece.data() + n - 3, 3);
                else std::memmove(joint, last + tailLength + head - keep, keep);
                tailLength = keep;
            }
        }
        total += static_cast<std::uint64_t>(got);
    }
    found = counter.Finish();
    // A signature for executables does not count in other content.
    const bool executable = total >= 2 && first[0] == 'M' && first[1] == 'Z';
    if (!executable)
        found.erase(std::remove_if(found.begin(), found.end(),
                                   [&](const std::pair<std::uint32_t, std::uint32_t>& f) {
                                       return set.signatures[f.first].executableOnly;
                                   }),
                    found.end());
    if (whole && digests) {
        std::vector<std::string> names;
        digests->Finish(total, names);
        for (std::string& name : names) whole->push_back(Finding{std::move(name), Action::Delete, 1});
    }
    if (gather && ok) {
        std::vector<std::string> names;
        std::string reason;
        if (!yaraScanner->Scan(gathered.data(), gathered.size(), names, reason)) ok = false;
        for (std::string& name : names) whole->push_back(Finding{std::move(name), Action::Delete, 1});
        if (gathered.capacity() > kPiece) std::vector<unsigned char>().swap(gathered);
    }
    if (facts) {
        facts->size = total;
        facts->crc = crc;
        facts->firstLocalHeader = firstLocal;
        facts->endSignature = endSeen;
    }
    return ok;
}

bool SignatureSet::Search::Count(VFStream& content, std::vector<std::uint32_t>& counts)
{
    std::vector<std::pair<std::uint32_t, std::uint32_t>> found;
    bool ok = Count(content, found);
    counts.assign(set.signatures.size(), 0);
    for (const auto& f : found) counts[f.first] = f.second;
    return ok;
}

bool SignatureSet::Search::Scan(VFStream& content, std::vector<Finding>& findings, ContentFacts* facts)
{
    findings.clear();
    std::vector<std::pair<std::uint32_t, std::uint32_t>> found;
    std::vector<Finding> whole;
    if (!Count(content, found, facts, &whole)) return false;
    for (const auto& f : found) {
        const Signature& s = set.signatures[f.first];
        // A database may give one name to several signatures: the name
        // is found once, with every match.
        auto same = std::find_if(findings.begin(), findings.end(), [&](const Finding& g) {
            return g.signature == s.name && g.action == s.action;
        });
        if (same != findings.end()) same->matches += f.second;
        else findings.push_back(Finding{s.name, s.action, f.second});
    }
    for (Finding& w : whole)
        if (std::none_of(findings.begin(), findings.end(), [&](const Finding& g) { return g.signature == w.signature; }))
            findings.push_back(std::move(w));
    return true;
}

bool SignatureSet::Search::Cure(VFStream& content)
{
    // Each cure signature in turn removes its matches, and the round goes
    // again while any did. A signature is passed over while the content has
    // no match of it: the counts are taken afresh after every change.
    // The scratch copies go to disk early: the entry itself may already be in memory.
    TemporaryStream scratch[2]{TemporaryStream(kPiece), TemporaryStream(kPiece)};
    VFStream* current = &content;
    int next = 0;
    std::vector<std::uint32_t> counts;
    if (!Count(*current, counts)) return false;
    bool changed = false, again = true;
    while (again) {
        again = false;
        for (std::size_t i = 0; i < set.signatures.size(); ++i) {
            const Signature& s = set.signatures[i];
            if (s.action != Action::Cure || counts[i] == 0) continue;
            VFStream& target = scratch[next];
            StreamReader read(*current);
            if (!EmptyStream(target)) return false;
            long long removed = RemovePattern(s.pattern, std::ref(read), [&](const unsigned char* d, std::size_t n) {
                return WriteAll(target, d, n);
            });
            if (removed < 0) return false;
            if (removed == 0) continue;
            current = &target;
            next ^= 1;
            changed = again = true;
            if (!Count(*current, counts)) return false;
        }
    }
    if (!changed) return true;
    StreamReader read(*current);
    std::vector<unsigned char> piece(kPiece);
    if (!EmptyStream(content)) return false;
    while (true) {
        long long got = read(piece.data(), piece.size());
        if (got < 0) return false;
        if (got == 0) break;
        if (!WriteAll(content, piece.data(), static_cast<std::size_t>(got))) return false;
    }
    return content.Seek(0, 0, 0, nullptr) == 0;
}

} // namespace zipscan
