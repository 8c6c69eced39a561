#pragma once
// The files below the directories of a recursive scan. Symbolic links are
// not followed unless asked; when they are, a directory already visited
// (a link loop) is not walked again.
#include <cstddef>
#include <string>
#include <utility>
#include <vector>

namespace zipscan {

struct WalkResult {
    std::vector<std::string> files;        // regular files, in a stable order
    // Parallel to files: for a file found by walking, the length of the
    // directory path given on the command line that it was found below;
    // std::string::npos for a file named on the command line.
    std::vector<std::size_t> walked;
    // What could not be walked: the path and why.
    std::vector<std::pair<std::string, std::string>> errors;
};

// Paths that are not directories are taken as given (the scan judges them).
WalkResult WalkPaths(const std::vector<std::string>& paths, bool followLinks);

} // namespace zipscan
