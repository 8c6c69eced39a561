#include "archive/ZipNames.h"

#include <cstring>
#include <locale>

bool IsPathSeparator(char c) { return c == '\\' || c == '/'; }

bool EndsWithSeparator(const std::string& s) { return !s.empty() && IsPathSeparator(s.back()); }

void TrimRightSeparators(std::string& s)
{
    size_t end = s.size();
    while (end > 0 && IsPathSeparator(s[end - 1])) --end;
    s.resize(end);
}

void TrimLeftSeparators(std::string& s)
{
    size_t begin = 0;
    while (begin < s.size() && IsPathSeparator(s[begin])) ++begin;
    s.erase(0, begin);
}

void EnsureTrailingSeparator(std::string& s)
{
    TrimRightSeparators(s);
    s += '\\';
}

std::string LowerName(const std::string& s)
{
    // The global locale is read on every call, so building a sorted index and
    // searching it later agree as long as nobody changes the locale between.
    std::string lowered(s);
    if (!lowered.empty()) {
        const std::ctype<char>& ctype = std::use_facet<std::ctype<char>>(std::locale());
        ctype.tolower(&lowered[0], &lowered[0] + lowered.size());
    }
    return lowered;
}

int CompareNamesCollate(const std::string& name, const char* other)
{
    return std::strcoll(name.c_str(), other ? other : "");
}

int CompareNamesCollateNoCase(const std::string& name, const char* other)
{
    const std::string left = LowerName(name);
    const std::string right = LowerName(other ? other : "");
    return std::strcoll(left.c_str(), right.c_str());
}

ZipNameCompare GetNameCompare(bool caseSensitive)
{
    return caseSensitive ? CompareNamesCollate : CompareNamesCollateNoCase;
}

bool StripLeadingDirectory(const std::string& beginning, std::string& path, ZipNameCompare compare)
{
    std::string directory(beginning);
    TrimRightSeparators(directory);
    const size_t n = directory.size();
    if (n == 0 || path.size() < n || compare == nullptr) return false;
    if (compare(path.substr(0, n), directory.c_str()) != 0) return false;
    if (path.size() == n) {
        path.clear();
        return true;
    }
    // "a" must not swallow the front of "ab\x": only whole components go.
    if (!IsPathSeparator(path[n])) return false;
    path.erase(0, n);
    TrimLeftSeparators(path);
    return true;
}
