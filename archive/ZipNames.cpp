#include "archive/ZipNames.h"

bool IsPathSeparator(char c) { return c == '\\' || c == '/'; }
bool EndsWithSeparator(const std::string& s) { return !s.empty() && IsPathSeparator(s.back()); }
void TrimRightSeparators(std::string&) {}
void TrimLeftSeparators(std::string&) {}
void EnsureTrailingSeparator(std::string&) {}
int CompareNamesCollate(const std::string&, const char*) { return 0; }
int CompareNamesCollateNoCase(const std::string&, const char*) { return 0; }
ZipNameCompare GetNameCompare(bool caseSensitive)
{
    return caseSensitive ? CompareNamesCollate : CompareNamesCollateNoCase;
}
std::string LowerName(const std::string& s) { return s; }
bool StripLeadingDirectory(const std::string&, std::string&, ZipNameCompare) { return false; }
