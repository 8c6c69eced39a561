#include "Signatures.h"

#include <algorithm>
#include <cctype>
#include <fstream>
#include <functional>
#include <sstream>

namespace zipscan {

namespace {

// The test file, each byte XORed with 0x5A.
constexpr char kTestFileMasked[] =
    "026f157b0a7f1a1b0a016e060a00026f6e720a04736d1919736d277e1f13191b0877090e1b141e1b"
    "081e771b140e130c13080f09770e1f090e771c13161f7b7e12711270";
constexpr unsigned char kMask = 0x5A;

std::size_t CountMatches(const std::vector<unsigned char>& data, const std::vector<unsigned char>& pattern)
{
    std::boyer_moore_horspool_searcher searcher(pattern.begin(), pattern.end());
    std::size_t count = 0;
    auto it = data.begin();
    while (true) {
        it = std::search(it, data.end(), searcher);
        if (it == data.end()) break;
        ++count;
        it += static_cast<std::ptrdiff_t>(pattern.size());
    }
    return count;
}

// Removes the non-overlapping matches of one pattern; returns bytes removed.
std::size_t RemoveMatches(std::vector<unsigned char>& data, const std::vector<unsigned char>& pattern)
{
    std::boyer_moore_horspool_searcher searcher(pattern.begin(), pattern.end());
    std::vector<unsigned char> kept;
    auto from = data.begin();
    std::size_t removed = 0;
    while (true) {
        auto hit = std::search(from, data.end(), searcher);
        kept.insert(kept.end(), from, hit);
        if (hit == data.end()) break;
        removed += pattern.size();
        from = hit + static_cast<std::ptrdiff_t>(pattern.size());
    }
    if (removed) data.swap(kept);
    return removed;
}

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
    if (colon != std::string::npos && ParseAction(argument.substr(0, colon), s.action))
        body = argument.substr(colon + 1);
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

std::vector<Finding> SignatureSet::Scan(const std::vector<unsigned char>& data) const
{
    std::vector<Finding> findings;
    for (const Signature& s : signatures) {
        if (s.pattern.size() > data.size()) continue;
        std::size_t n = CountMatches(data, s.pattern);
        if (n) findings.push_back(Finding{s.name, s.action, static_cast<std::uint32_t>(n)});
    }
    return findings;
}

std::size_t SignatureSet::Cure(std::vector<unsigned char>& data) const
{
    std::size_t total = 0;
    bool again = true;
    while (again) {
        again = false;
        for (const Signature& s : signatures) {
            if (s.action != Action::Cure) continue;
            std::size_t removed = RemoveMatches(data, s.pattern);
            total += removed;
            again = again || removed > 0;
        }
    }
    return total;
}

} // namespace zipscan
