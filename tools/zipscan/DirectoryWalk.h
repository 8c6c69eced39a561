#pragma once
// The files below the directories of a recursive scan. Symbolic links are
// not followed unless asked; when they are, a directory already visited
// (a link loop) is not walked again. The walk keeps one open descriptor and
// the sorted names of each folder on its way down, never more folders than
// the depth bound, so however deep a tree is, its memory stays small.
#include <cstddef>
#include <string>
#include <utility>
#include <vector>

namespace zipscan {

class PathFilter;

struct WalkResult {
    std::vector<std::string> files;        // regular files, in a stable order
    // Parallel to files: for a file found by walking, the length of the
    // directory path given on the command line that it was found below;
    // std::string::npos for a file named on the command line.
    std::vector<std::size_t> walked;
    // Parallel to files: 1 for a file or folder that --exclude, --include,
    // --exclude-dir or --include-dir leaves out (it is told, not read).
    std::vector<char> excluded;
    std::size_t directories = 0;           // folders walked
    // What could not be walked: the path and why.
    std::vector<std::pair<std::string, std::string>> errors;
    // What an interrupted clean had left and the walk tidied: the path and
    // what was done.
    std::vector<std::pair<std::string, std::string>> notes;
};

// Paths that are not directories are taken as given (the scan judges them).
// A folder more than maxDepth levels below a directory given is not walked
// and is reported as an error. Without recursive, a directory given yields
// the files right in it and its folders are passed over, as clamscan does.
// "-" (standard input) is taken as given and never filtered.
WalkResult WalkPaths(const std::vector<std::string>& paths, bool followLinks, std::size_t maxDepth,
                     bool recursive = true, const PathFilter* filter = nullptr);

// Tidies what interrupted cleans left beside the files at paths (see
// Journal.h), before they are scanned; adds notes and errors to out.
void TidyBeside(const std::vector<std::string>& paths, WalkResult& out);

} // namespace zipscan
