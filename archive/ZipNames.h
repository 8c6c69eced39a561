#pragma once
#include <string>

// Small helpers on local-form paths. Both '\' and '/' count as separators;
// nothing here touches the file system.

bool IsPathSeparator(char c);
bool EndsWithSeparator(const std::string& s);
// A string of separators only becomes empty.
void TrimRightSeparators(std::string& s);
void TrimLeftSeparators(std::string& s);
// Trims trailing separators, then appends exactly one '\'.
void EnsureTrailingSeparator(std::string& s);

// A name comparison: the entry's name against another NUL-terminated name
// (a null pointer counts as ""); negative, 0 or positive like strcoll.
typedef int (*ZipNameCompare)(const std::string& name, const char* other);

// Collation of the names as they are (case-sensitive).
int CompareNamesCollate(const std::string& name, const char* other);
// Collation of copies lowered with the global locale (case-insensitive).
int CompareNamesCollateNoCase(const std::string& name, const char* other);
ZipNameCompare GetNameCompare(bool caseSensitive);

// Lowers every byte with the global locale's character classification.
std::string LowerName(const std::string& s);

// If the path starts with the directory `beginning` (compared with `compare`,
// whole path components only), removes it and the separators after it and
// answers true; otherwise leaves the path alone and answers false.
bool StripLeadingDirectory(const std::string& beginning, std::string& path,
                           ZipNameCompare compare);
