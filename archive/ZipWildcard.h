#pragma once
#include <string>

// Shell-style wildcard matching of entry names: '*' any run, '?' any one
// character, '[...]' a set with ranges (a leading '!' or '^' negates it) and
// '\' taking the next character literally.
class CWildcard {
public:
    // Result of CheckPattern.
    enum Pattern {
        PatternOk = 0,
        PatternBadEscape = -1,  // '\' at the end of the pattern
        PatternBadRange = -2,   // a range without its end
        PatternOpenSet = -3,    // the pattern ends inside a set
        PatternEmptySet = -4,   // "[]"
    };
    // Results of MatchText / MatchTail (5 is never produced).
    enum {
        MatchFound = 1,
        MatchPatternEnded = 2,  // text remained after the pattern
        MatchTextEnded = 3,     // pattern remained after the text
        MatchSetMismatch = 4,   // a set did not accept the character
        MatchFailed = 6,        // literal mismatch or malformed pattern
    };

    CWildcard() = default;
    CWildcard(const std::string& pattern, bool caseSensitive) { Assign(pattern, caseSensitive); }
    virtual ~CWildcard() = default;

    void Assign(const std::string& newPattern, bool caseSensitive);
    // Stores the match code through code when it is not null.
    bool Matches(const std::string& text, int* code = nullptr) const;

    static bool HasWildcards(const std::string& s);
    static bool CheckPattern(const std::string& pattern, Pattern* error = nullptr);
    // Null pointers count as empty strings.
    static int MatchText(const char* pattern, const char* text);
    // pattern starts at (or just after) a '*'.
    static int MatchTail(const char* pattern, const char* text);

    bool matchCase = false;
    std::string pattern;
};
