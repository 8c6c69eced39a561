#include "PathFilter.h"

namespace zipscan {

namespace {
const char* const kOptionNames[] = {"--exclude", "--include", "--exclude-dir", "--include-dir"};
}

bool PathFilter::Add(Kind kind, const std::string& pattern, std::string& error)
{
    Pattern compiled(new regex_t);
    const int code = ::regcomp(compiled.get(), pattern.c_str(), REG_EXTENDED | REG_NOSUB);
    if (code != 0) {
        char why[256];
        ::regerror(code, compiled.get(), why, sizeof why);
        // regcomp leaves nothing to free when it fails.
        delete compiled.release();
        error = std::string(kOptionNames[kind]) + " '" + pattern + "': " + why;
        return false;
    }
    lists[kind].push_back(std::move(compiled));
    return true;
}

bool PathFilter::Any(const std::vector<Pattern>& list, const std::string& path)
{
    for (const Pattern& p : list)
        if (::regexec(p.get(), path.c_str(), 0, nullptr, 0) == 0) return true;
    return false;
}

bool PathFilter::FileWanted(const std::string& path) const
{
    if (Any(lists[Exclude], path)) return false;
    return lists[Include].empty() || Any(lists[Include], path);
}

bool PathFilter::DirectoryWanted(const std::string& path) const
{
    if (Any(lists[ExcludeDir], path)) return false;
    return lists[IncludeDir].empty() || Any(lists[IncludeDir], path);
}

} // namespace zipscan
