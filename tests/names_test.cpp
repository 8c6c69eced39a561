// Path splitting, separator helpers, name comparison and wildcard matching.
#include <gtest/gtest.h>

#include <functional>
#include <random>
#include <string>

#include "archive/ZipNames.h"
#include "archive/ZipPath.h"
#include "archive/ZipWildcard.h"

namespace {

struct SplitCase {
    const char* path;
    const char* prefix;
    const char* drive;
    const char* dir;
    const char* title;
    const char* ext;
};

TEST(ZipPath, SplitsLikeTheWindowsSplitter)
{
    const SplitCase cases[] = {
        {"", "", "", "", "", ""},
        {"file.txt", "", "", "", "file", "txt"},
        {"C:\\dir\\sub\\file.txt", "", "C:", "dir\\sub", "file", "txt"},
        {"C:file", "", "C:", "", "file", ""},
        {"dir/sub/file.tar.gz", "", "", "dir/sub/", "file.tar", "gz"},
        {"dir\\sub/", "", "", "dir\\sub/", "", ""},
        {"dir\\sub\\", "", "", "dir\\sub", "", ""},
        {"\\\\server\\share\\f.doc", "\\\\", "", "server\\share", "f", "doc"},
        {"\\\\?\\C:\\a\\b.c", "\\\\?\\", "C:", "a", "b", "c"},
        {"\\\\?\\UNC\\srv\\sh\\x", "\\\\?\\UNC\\", "", "srv\\sh", "x", ""},
        {"\\\\?x\\a", "", "", "?x", "a", ""},  // only three characters of the prefix
        {"home/.bashrc", "", "", "home/", "", "bashrc"},
        {"name.", "", "", "", "name", ""},
        {"a..b", "", "", "", "a.", "b"},
        {"\\\\\\\\", "\\\\", "", "", "", ""},
        {"////", "", "", "////", "", ""},
        {"\\\\", "\\\\", "", "", "", ""},
        {"C", "", "", "", "C", ""},
        {":", "", "", "", ":", ""},
    };
    for (const SplitCase& c : cases) {
        SCOPED_TRACE(c.path);
        CZipPath path(c.path);
        EXPECT_EQ(path.prefixPart, c.prefix);
        EXPECT_EQ(path.drivePart, c.drive);
        EXPECT_EQ(path.dirPart, c.dir);
        EXPECT_EQ(path.titlePart, c.title);
        EXPECT_EQ(path.extPart, c.ext);
    }
}

TEST(ZipPath, JoinsItsParts)
{
    CZipPath path("C:\\dir\\sub\\file.txt");
    EXPECT_EQ(path.NameWithExtension(), "file.txt");
    EXPECT_EQ(path.JoinDirectoryAndName(), "dir\\sub\\file.txt");
    EXPECT_EQ(path.ParentPath(), "C:\\dir\\sub");

    path.Split("\\\\server\\share\\f");
    EXPECT_EQ(path.ParentPath(), "\\\\server\\share");
    EXPECT_EQ(path.JoinDirectoryAndName(), "server\\share\\f");

    path.Split("dir\\");
    EXPECT_EQ(path.NameWithExtension(), "");
    EXPECT_EQ(path.JoinDirectoryAndName(), "dir");

    path.Split("C:name");
    EXPECT_EQ(path.ParentPath(), "C:");

    path.AssignExtension("...zip");
    EXPECT_EQ(path.extPart, "zip");
    EXPECT_EQ(path.NameWithExtension(), "name.zip");
}

TEST(ZipNames, SeparatorHelpers)
{
    EXPECT_TRUE(IsPathSeparator('\\'));
    EXPECT_TRUE(IsPathSeparator('/'));
    EXPECT_FALSE(IsPathSeparator(':'));
    EXPECT_FALSE(EndsWithSeparator(""));
    EXPECT_TRUE(EndsWithSeparator("a/"));

    std::string s = "\\/\\";
    TrimRightSeparators(s);
    EXPECT_EQ(s, "");
    s = "/\\a\\b/\\";
    TrimLeftSeparators(s);
    EXPECT_EQ(s, "a\\b/\\");
    EnsureTrailingSeparator(s);
    EXPECT_EQ(s, "a\\b\\");
    s.clear();
    EnsureTrailingSeparator(s);
    EXPECT_EQ(s, "\\");
}

TEST(ZipNames, StripLeadingDirectoryTakesWholeComponentsOnly)
{
    const ZipNameCompare noCase = GetNameCompare(false);
    std::string path = "ab\\file";
    EXPECT_FALSE(StripLeadingDirectory("a", path, noCase));
    EXPECT_EQ(path, "ab\\file");

    path = "a\\\\file";
    EXPECT_TRUE(StripLeadingDirectory("a\\", path, noCase));
    EXPECT_EQ(path, "file");

    path = "A/B";
    EXPECT_TRUE(StripLeadingDirectory("a", path, noCase));
    EXPECT_EQ(path, "B");
    path = "A/B";
    EXPECT_FALSE(StripLeadingDirectory("a", path, GetNameCompare(true)));

    path = "dir";
    EXPECT_TRUE(StripLeadingDirectory("dir/", path, noCase));
    EXPECT_EQ(path, "");

    path = "x";
    EXPECT_FALSE(StripLeadingDirectory("\\\\", path, noCase));  // nothing left to strip
    EXPECT_FALSE(StripLeadingDirectory("longer", path, noCase));
    EXPECT_EQ(path, "x");
}

TEST(ZipNames, Comparisons)
{
    EXPECT_EQ(GetNameCompare(true), &CompareNamesCollate);
    EXPECT_EQ(GetNameCompare(false), &CompareNamesCollateNoCase);
    EXPECT_EQ(CompareNamesCollateNoCase("Dir\\FILE.TXT", "dir\\file.txt"), 0);
    EXPECT_NE(CompareNamesCollate("Dir\\FILE.TXT", "dir\\file.txt"), 0);
    EXPECT_LT(CompareNamesCollate("a", "b"), 0);
    EXPECT_GT(CompareNamesCollateNoCase("B", "a"), 0);
    EXPECT_EQ(CompareNamesCollate("", nullptr), 0);
    EXPECT_GT(CompareNamesCollateNoCase("x", nullptr), 0);
}

TEST(CWildcard, CheckPatternCodes)
{
    const std::pair<const char*, CWildcard::Pattern> cases[] = {
        {"", CWildcard::PatternOk},
        {"*.txt", CWildcard::PatternOk},
        {"[!a]", CWildcard::PatternOk},
        {"[-]x", CWildcard::PatternOk},
        {"[a\\]]", CWildcard::PatternOk},
        {"[a-\\]]", CWildcard::PatternOk},
        {"\\[", CWildcard::PatternOk},
        {"abc\\", CWildcard::PatternBadEscape},
        {"[a\\", CWildcard::PatternBadEscape},
        {"[a-\\", CWildcard::PatternBadEscape},
        {"[a-]", CWildcard::PatternBadRange},
        {"[a-", CWildcard::PatternBadRange},
        {"[abc", CWildcard::PatternOpenSet},
        {"[", CWildcard::PatternOpenSet},
        {"[a-z", CWildcard::PatternOpenSet},
        {"x[]", CWildcard::PatternEmptySet},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.first);
        CWildcard::Pattern result = CWildcard::PatternEmptySet;
        EXPECT_EQ(CWildcard::CheckPattern(c.first, &result), c.second == CWildcard::PatternOk);
        EXPECT_EQ(result, c.second);
    }
    EXPECT_TRUE(CWildcard::CheckPattern("a*b", nullptr));
}

TEST(CWildcard, MatchCodes)
{
    struct Case {
        const char* pattern;
        const char* text;
        int code;
    };
    const Case cases[] = {
        {"", "", CWildcard::MatchFound},
        {"abc", "abc", CWildcard::MatchFound},
        {"ab", "abc", CWildcard::MatchPatternEnded},
        {"abc", "ab", CWildcard::MatchTextEnded},
        {"abd", "abc", CWildcard::MatchFailed},
        {"a*", "a", CWildcard::MatchFound},
        {"a**", "a", CWildcard::MatchFound},
        {"*", "", CWildcard::MatchFound},
        {"*ab", "ab", CWildcard::MatchFound},
        {"*ab", "cab", CWildcard::MatchFound},
        {"*ab", "aab", CWildcard::MatchFound},
        {"*ab", "ac", CWildcard::MatchTextEnded},
        {"*a", "ab", CWildcard::MatchTextEnded},
        {"*.txt", "dir\\read.me.txt", CWildcard::MatchFound},
        {"a*b*c", "aXbYbZc", CWildcard::MatchFound},
        {"a*?", "a", CWildcard::MatchTextEnded},
        {"*?c", "abc", CWildcard::MatchFound},
        {"?", "", CWildcard::MatchTextEnded},
        {"[a-c]x", "bx", CWildcard::MatchFound},
        {"[c-a]x", "bx", CWildcard::MatchFound},
        {"[a-c]", "d", CWildcard::MatchSetMismatch},
        {"[!a-c]", "b", CWildcard::MatchSetMismatch},
        {"[^a-c]", "d", CWildcard::MatchFound},
        {"[]]", "]", CWildcard::MatchFailed},
        {"[!]", "x", CWildcard::MatchFailed},
        {"[a", "a", CWildcard::MatchFailed},
        {"[b", "a", CWildcard::MatchFailed},
        {"[a-]", "a", CWildcard::MatchFailed},
        {"[\\]]", "]", CWildcard::MatchFound},
        {"\\*", "*", CWildcard::MatchFound},
        {"\\*", "x", CWildcard::MatchFailed},
        {"a\\", "ab", CWildcard::MatchFailed},
        {"*\\", "ab", CWildcard::MatchFailed},
        {"*[", "ab", CWildcard::MatchFailed},
        {"*[x]", "ab", CWildcard::MatchTextEnded},
        {"*\\?", "a?", CWildcard::MatchFound},
        {"[\xe0-\xef]", "\xe9", CWildcard::MatchFound},
        {"[a-\xe9]", "b", CWildcard::MatchSetMismatch},  // bytes compare as signed
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.pattern) + " ~ " + c.text);
        EXPECT_EQ(CWildcard::MatchText(c.pattern, c.text), c.code);
    }
    EXPECT_EQ(CWildcard::MatchText(nullptr, nullptr), CWildcard::MatchFound);
    EXPECT_EQ(CWildcard::MatchTail("b", "aab"), CWildcard::MatchFound);
    EXPECT_EQ(CWildcard::MatchTail("??", "a"), CWildcard::MatchTextEnded);
}

TEST(CWildcard, CaseHandling)
{
    CWildcard insensitive("*.TXT", false);
    EXPECT_EQ(insensitive.pattern, "*.txt");
    EXPECT_TRUE(insensitive.Matches("README.TXT"));
    int code = 0;
    EXPECT_TRUE(insensitive.Matches("readme.Txt", &code));
    EXPECT_EQ(code, CWildcard::MatchFound);

    CWildcard sensitive("*.TXT", true);
    EXPECT_FALSE(sensitive.Matches("readme.txt", &code));
    EXPECT_EQ(code, CWildcard::MatchTextEnded);
    EXPECT_TRUE(sensitive.Matches("README.TXT"));

    EXPECT_TRUE(CWildcard::HasWildcards("a\\b"));
    EXPECT_TRUE(CWildcard::HasWildcards("[x"));
    EXPECT_FALSE(CWildcard::HasWildcards("a/b.txt"));
}

// A plain backtracking matcher over well-formed patterns: slow but obviously
// right, to check the flat matcher on many random cases.
bool ReferenceMatch(const std::string& p, size_t pi, const std::string& t, size_t ti)
{
    if (pi == p.size()) return ti == t.size();
    if (p[pi] == '*') {
        for (size_t k = ti; k <= t.size(); ++k)
            if (ReferenceMatch(p, pi + 1, t, k)) return true;
        return false;
    }
    if (ti == t.size()) return false;
    if (p[pi] == '[') {
        const size_t close = p.find(']', pi);
        const bool negated = p[pi + 1] == '!';
        const std::string members = p.substr(pi + 1 + negated, close - pi - 1 - negated);
        const bool member = members.find(t[ti]) != std::string::npos;
        return member != negated && ReferenceMatch(p, close + 1, t, ti + 1);
    }
    return (p[pi] == '?' || p[pi] == t[ti]) && ReferenceMatch(p, pi + 1, t, ti + 1);
}

TEST(CWildcard, AgreesWithBacktrackingOnRandomPatterns)
{
    std::mt19937 random(12345);
    const char* pieces[] = {"a", "b", "*", "?", "[ab]", "[!a]", "**"};
    for (int round = 0; round < 20000; ++round) {
        std::string pattern, text;
        const int pieceCount = static_cast<int>(random() % 6);
        for (int i = 0; i < pieceCount; ++i) pattern += pieces[random() % 7];
        const int textLength = static_cast<int>(random() % 8);
        for (int i = 0; i < textLength; ++i) text += "abc"[random() % 3];
        const bool expected = ReferenceMatch(pattern, 0, text, 0);
        ASSERT_EQ(CWildcard::MatchText(pattern.c_str(), text.c_str()) == CWildcard::MatchFound, expected)
            << pattern << " ~ " << text;
    }
}

TEST(CWildcard, HostilePatternsStayFlatAndFast)
{
    const std::string longName(65535, 'a');
    std::string stars(100000, '*');
    EXPECT_EQ(CWildcard::MatchText((stars + "b").c_str(), longName.c_str()), CWildcard::MatchTextEnded);
    EXPECT_EQ(CWildcard::MatchText(stars.c_str(), longName.c_str()), CWildcard::MatchFound);

    std::string alternating;
    for (int i = 0; i < 50000; ++i) alternating += "*a";
    EXPECT_EQ(CWildcard::MatchText((alternating + "*b").c_str(), longName.c_str()), CWildcard::MatchTextEnded);
    EXPECT_EQ(CWildcard::MatchText(alternating.c_str(), longName.c_str()), CWildcard::MatchFound);

    // The classic exponential case for recursive matchers.
    const std::string worst = "*" + std::string(300, 'a') + "b";
    EXPECT_EQ(CWildcard::MatchText(worst.c_str(), longName.c_str()), CWildcard::MatchTextEnded);

    const std::string openSets(100000, '[');
    CWildcard::Pattern error = CWildcard::PatternOk;
    EXPECT_FALSE(CWildcard::CheckPattern(openSets, &error));
    EXPECT_EQ(CWildcard::MatchText(openSets.c_str(), longName.c_str()), CWildcard::MatchFailed);
    const std::string escapes(100001, '\\');
    EXPECT_FALSE(CWildcard::CheckPattern(escapes, &error));
    EXPECT_EQ(error, CWildcard::PatternBadEscape);
}

}  // namespace
