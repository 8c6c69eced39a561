#pragma once
// clamscan's file selection: --exclude, --include, --exclude-dir and
// --include-dir, POSIX extended regular expressions matched anywhere in a
// path as it is written (the path given, joined with the names below it).
#include <regex.h>

#include <memory>
#include <string>
#include <vector>

namespace zipscan {

class PathFilter {
public:
    enum Kind { Exclude, Include, ExcludeDir, IncludeDir };

    // False with a reason when the pattern is no valid expression.
    bool Add(Kind kind, const std::string& pattern, std::string& error);
    // A file is scanned when no --exclude matches it and, if any --include
    // is given, one of them does; a folder likewise for the -dir ones.
    bool FileWanted(const std::string& path) const;
    bool DirectoryWanted(const std::string& path) const;

private:
    struct Free {
        void operator()(regex_t* r) const
        {
            ::regfree(r);
            delete r;
        }
    };
    using Pattern = std::unique_ptr<regex_t, Free>;
    static bool Any(const std::vector<Pattern>& list, const std::string& path);

    std::vector<Pattern> lists[4];
};

} // namespace zipscan
