#include "Signatures.h"

#include <zlib.h>

#include <cstring>

#include <algorithm>
#include <cctype>
#include <fstream>
#include <functional>
#include <sstream>

#include "TemporaryStream.h"

namespace zipscan {

namespace {

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
    Add(Signature{"EICAR-Test-File", TestFile(), Action::Delete}, ignored);
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

bool SignatureSet::Prepare(bool multi, bool cache, std::string& error)
{
    std::vector<std::vector<unsigned char>> patterns;
    for (const Signature& sig : signatures) patterns.push_back(sig.pattern);
    database = PatternDatabase::Build(patterns, multi, cache, error);
    return database != nullptr;
}

const PatternDatabase& SignatureSet::Database(std::unique_ptr<PatternDatabase>& own) const
{
    if (database) return *database;
    std::string ignored;
    std::vector<std::vector<unsigned char>> patterns;
    for (const Signature& sig : signatures) patterns.push_back(sig.pattern);
    own = PatternDatabase::Build(patterns, false, false, ignored);
    return *own;
}

namespace {

constexpr unsigned int kPiece = 1u << 20;

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

SignatureSet::Search::Search(const SignatureSet& s) : set(s), counter(s.Database(own)) {}

bool SignatureSet::Search::Count(VFStream& content, std::vector<std::pair<std::uint32_t, std::uint32_t>>& found,
                                 ContentFacts* facts)
{
    StreamReader read(content);
    // Every entry is searched through the same piece: clearing and freeing
    // a fresh 1 MiB for each of 20000 small entries cost more than the
    // search.
    static thread_local std::vector<unsigned char> piece;
    if (piece.size() != kPiece) piece.resize(kPiece);
    bool ok = true;
    std::uint64_t total = 0;
    uLong crc = crc32(0L, Z_NULL, 0);
    // The first local header signature, across pieces: the last three bytes
    // of the previous piece go in front of the next one's first three.
    static const unsigned char local[4] = {'P', 'K', 3, 4};
    static const unsigned char endRecord[4] = {'P', 'K', 5, 6};
    bool endSeen = false;
    std::uint64_t firstLocal = ContentFacts::kNone;
    unsigned char tail[3] = {0, 0, 0};
    std::size_t tailLength = 0;
    while (true) {
        long long got = read(piece.data(), piece.size());
        if (got < 0) ok = false;
        if (got <= 0) break;
        const auto n = static_cast<std::size_t>(got);
        counter.Feed(piece.data(), n);
        if (facts) {
            crc = crc32(crc, piece.data(), static_cast<uInt>(n));
            // A signature split between two pieces is missed here; the
            // archive is then still found by its first local header.
            if (!endSeen) endSeen = memmem(piece.data(), n, endRecord, 4) != nullptr;
            if (firstLocal == ContentFacts::kNone) {
                unsigned char joint[6];
                std::memcpy(joint, tail, tailLength);
                const std::size_t head = std::min<std::size_t>(3, n);
                std::memcpy(joint + tailLength, piece.data(), head);
                for (std::size_t i = 0; i + 4 <= tailLength + head && firstLocal == ContentFacts::kNone; ++i)
                    if (std::memcmp(joint + i, local, 4) == 0) firstLocal = total - tailLength + i;
                if (firstLocal == ContentFacts::kNone) {
                    const void* at = memmem(piece.data(), n, local, 4);
                    if (at) firstLocal = total + static_cast<std::size_t>(static_cast<const unsigned char*>(at) - piece.data());
                }
                const std::size_t keep = std::min<std::size_t>(3, tailLength + n);
                unsigned char last[6];
                std::memcpy(last, tail, tailLength);
                std::memcpy(last + tailLength, piece.data() + n - head, head);
                // The bytes before the piece's last three are in the piece itself.
                if (n >= 3) std::memcpy(tail, piece.data() + n - 3, 3);
                else std::memcpy(tail, last + tailLength + head - keep, keep);
                tailLength = keep;
            }
        }
        total += static_cast<std::uint64_t>(got);
    }
    found = counter.Finish();
    if (facts) {
        facts->size = total;
        facts->crc = static_cast<std::uint32_t>(crc);
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
    if (!Count(content, found, facts)) return false;
    for (const auto& f : found) {
        const Signature& s = set.signatures[f.first];
        findings.push_back(Finding{s.name, s.action, f.second});
    }
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
