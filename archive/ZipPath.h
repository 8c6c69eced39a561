#pragma once
#include <string>

// A path taken apart the way the Windows path splitter does it: an optional
// UNC or long-path prefix, drive, directory, title and extension. Both '\'
// and '/' separate directories.
class CZipPath {
public:
    CZipPath() = default;
    explicit CZipPath(const std::string& path) { Split(path); }
    virtual ~CZipPath() = default;

    void Split(const std::string& path);
    // Stores ext without its leading dots.
    void AssignExtension(const std::string& ext);
    // Title, then '.' and the extension when there is one.
    std::string NameWithExtension() const;
    // Directory, '\' and name (no drive, no prefix).
    std::string JoinDirectoryAndName() const;
    // Prefix, drive and directory: the directory holding the file.
    std::string ParentPath() const;

    std::string dirPart;     // without leading or trailing '\'
    std::string titlePart;   // file name without extension
    std::string extPart;     // extension without the '.'
    std::string drivePart;   // such as "C:"
    std::string prefixPart;  // "\\", "\\?\" or "\\?\UNC\" as given, or empty
};

// A path component that would leave the directory it is in, or name a device
// instead of a file: "." and "..", and on Windows anything that is only dots
// and blanks (the system drops trailing ones) or a reserved device name.
bool IsUnsafePathComponent(const std::string& component);
