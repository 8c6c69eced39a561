#pragma once
// The files below the directories of a recursive scan. Symbolic links are
// not followed unless asked; when they are, a directory already visited
// (a link loop) is not walked again.
#include <string>
#include <vector>

namespace zipscan {

struct WalkResult {
    std::vector<std::string> files;        // regular files, in a stable order
    std::vector<char> walked;              // parallel: 1 when found by walking a directory
    std::vector<std::string> errors;       // "PATH: reason" for what could not be walked
};

// Paths that are not directories are taken as given (the scan judges them).
WalkResult WalkPaths(const std::vector<std::string>& paths, bool followLinks);

} // namespace zipscan
