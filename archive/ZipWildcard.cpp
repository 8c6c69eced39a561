#include "archive/ZipWildcard.h"

#include "archive/ZipNames.h"

// The matcher works without recursion: after a '*' it tries the following
// piece of the pattern at each text position, and once a try reaches the next
// '*' the earlier star never needs to be reconsidered (the later star can
// absorb whatever the earlier one would have). So there is only ever one
// star to retry from, the stack stays flat whatever the pattern, and the time
// is bounded by text length times pattern length.
namespace {

// Internal results beside the public match codes.
enum : int {
    reachedStar = 0,      // the piece matched up to the next '*'
    literalMismatch = 5,  // a plain character differed: a later start may still fit
    setAccepted = -1,
};

int PublicCode(int code) { return code == literalMismatch ? int(CWildcard::MatchFailed) : code; }

// Tests one text character against the set that starts at p ('['). On
// acceptance p is left on the set's closing ']'.
int MatchSet(const char*& p, signed char c)
{
    ++p;
    bool negated = false;
    if (*p == '!' || *p == '^') {
        negated = true;
        ++p;
    }
    if (*p == ']') return CWildcard::MatchFailed;
    bool member = false;
    while (*p != ']') {
        if (*p == '\0') return CWildcard::MatchFailed;
        if (*p == '\\' && *++p == '\0') return CWildcard::MatchFailed;
        signed char low = static_cast<signed char>(*p++);
        signed char high = low;
        if (*p == '-') {
            ++p;
            if (*p == '\0' || *p == ']') return CWildcard::MatchFailed;
            if (*p == '\\' && *++p == '\0') return CWildcard::MatchFailed;
            high = static_cast<signed char>(*p++);
        }
        if (low > high) {
            const signed char swap = low;
            low = high;
            high = swap;
        }
        if (c >= low && c <= high) {
            member = true;
            break;
        }
    }
    if (member == negated) return CWildcard::MatchSetMismatch;
    while (*p != ']') {
        if (*p == '\0') return CWildcard::MatchFailed;
        if (*p == '\\' && *++p == '\0') return CWildcard::MatchFailed;
        ++p;
    }
    return setAccepted;
}

// Matches the pattern from p against the text from t up to the pattern's end
// or its next '*'. On reachedStar both pointers are left at that point.
int MatchPiece(const char*& p, const char*& t)
{
    while (*p != '\0') {
        if (*t == '\0') {
            // Only stars are left: they match the empty rest.
            const char* rest = p;
            while (*rest == '*') ++rest;
            return *rest == '\0' ? CWildcard::MatchFound : CWildcard::MatchTextEnded;
        }
        switch (*p) {
        case '*':
            return reachedStar;
        case '?':
            break;
        case '[': {
            const int result = MatchSet(p, static_cast<signed char>(*t));
            if (result != setAccepted) return result;
            break;
        }
        case '\\':
            if (*++p == '\0') return CWildcard::MatchFailed;
            if (*p != *t) return literalMismatch;
            break;
        default:
            if (*p != *t) return literalMismatch;
            break;
        }
        ++p;
        ++t;
    }
    return *t == '\0' ? CWildcard::MatchFound : CWildcard::MatchPatternEnded;
}

// p is at a '*' (or just after one).
int MatchAfterStar(const char* p, const char* t)
{
    for (;;) {
        while (*p == '*' || *p == '?') {
            if (*p == '?') {
                if (*t == '\0') return CWildcard::MatchTextEnded;
                ++t;
            }
            ++p;
        }
        if (*p == '\0') return CWildcard::MatchFound;
        char next = *p;
        if (next == '\\') {
            next = p[1];
            if (next == '\0') return CWildcard::MatchFailed;
        }
        // Try the piece after the star at every position that could start it.
        bool anotherStar = false;
        for (; !anotherStar; ++t) {
            if (*t == '\0') return CWildcard::MatchTextEnded;
            if (*t != next && next != '[') continue;
            const char* piece = p;
            const char* text = t;
            const int result = MatchPiece(piece, text);
            switch (result) {
            case reachedStar:
                p = piece;
                t = text;
                anotherStar = true;
                break;
            case CWildcard::MatchFound:
            case CWildcard::MatchTextEnded:
            case CWildcard::MatchFailed:
                // Found; or every later start runs out of text as well; or
                // the pattern is malformed.
                return result;
            default:
                break;  // this start does not fit: try the next one
            }
            if (anotherStar) break;
        }
    }
}

}  // namespace

void CWildcard::Assign(const std::string& newPattern, bool caseSensitive)
{
    matchCase = caseSensitive;
    pattern = caseSensitive ? newPattern : LowerName(newPattern);
}

bool CWildcard::Matches(const std::string& text, int* code) const
{
    const int result = matchCase ? MatchText(pattern.c_str(), text.c_str())
                                 : MatchText(pattern.c_str(), LowerName(text).c_str());
    if (code) *code = result;
    return result == MatchFound;
}

bool CWildcard::HasWildcards(const std::string& s)
{
    return s.find_first_of("*?[\\") != std::string::npos;
}

namespace {

// p is just after a '[' that is neither followed by ']' nor by the end;
// advances past the closing ']'.
CWildcard::Pattern CheckSet(const char*& p)
{
    for (;;) {
        if (*p == '\\' && *++p == '\0') return CWildcard::PatternBadEscape;
        ++p;
        if (*p == '\0') return CWildcard::PatternOpenSet;
        if (*p == '-') {
            ++p;
            if (*p == '\0' || *p == ']') return CWildcard::PatternBadRange;
            if (*p == '\\' && *++p == '\0') return CWildcard::PatternBadEscape;
            ++p;
            if (*p == '\0') return CWildcard::PatternOpenSet;
        }
        if (*p == ']') {
            ++p;
            return CWildcard::PatternOk;
        }
    }
}

CWildcard::Pattern CheckPatternText(const char* p)
{
    while (*p != '\0') {
        if (*p == '\\') {
            if (p[1] == '\0') return CWildcard::PatternBadEscape;
            p += 2;
        } else if (*p == '[') {
            ++p;
            if (*p == ']') return CWildcard::PatternEmptySet;
            if (*p == '\0') return CWildcard::PatternOpenSet;
            const CWildcard::Pattern result = CheckSet(p);
            if (result != CWildcard::PatternOk) return result;
        } else {
            ++p;
        }
    }
    return CWildcard::PatternOk;
}

}  // namespace

bool CWildcard::CheckPattern(const std::string& pattern, Pattern* error)
{
    const Pattern result = CheckPatternText(pattern.c_str());
    if (error) *error = result;
    return result == PatternOk;
}

int CWildcard::MatchText(const char* pattern, const char* text)
{
    const char* p = pattern ? pattern : "";
    const char* t = text ? text : "";
    const int result = MatchPiece(p, t);
    if (result != reachedStar) return PublicCode(result);
    return PublicCode(MatchAfterStar(p, t));
}

int CWildcard::MatchTail(const char* pattern, const char* text)
{
    return PublicCode(MatchAfterStar(pattern ? pattern : "", text ? text : ""));
}
