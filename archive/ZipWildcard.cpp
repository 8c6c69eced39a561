#include "archive/ZipWildcard.h"

void CWildcard::Assign(const std::string& newPattern, bool caseSensitive)
{
    pattern = newPattern;
    matchCase = caseSensitive;
}
bool CWildcard::Matches(const std::string&, int* code) const
{
    if (code) *code = MatchFailed;
    return false;
}
bool CWildcard::HasWildcards(const std::string&) { return false; }
bool CWildcard::CheckPattern(const std::string&, Pattern* error)
{
    if (error) *error = PatternOk;
    return true;
}
int CWildcard::MatchText(const char*, const char*) { return MatchFailed; }
int CWildcard::MatchTail(const char*, const char*) { return MatchFailed; }
