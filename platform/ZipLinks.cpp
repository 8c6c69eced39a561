#include "platform/ZipLinks.h"

#include <string>

#include "platform/ZipFileSystem.h"

#if defined(_WIN32)
#include <windows.h>
#else
#include <sys/stat.h>
#include <unistd.h>
#endif

bool IsSymbolicLink(const char* path)
{
    if (!path) return false;
    const std::string systemPath = ToSystemPath(path);
#if defined(_WIN32)
    const DWORD attributes = GetFileAttributesA(systemPath.c_str());
    return attributes != INVALID_FILE_ATTRIBUTES &&
           (attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0;
#else
    struct stat info;
    return lstat(systemPath.c_str(), &info) == 0 && S_ISLNK(info.st_mode);
#endif
}

bool RemoveSymbolicLink(const char* path)
{
    if (!IsSymbolicLink(path)) return false;
    const std::string systemPath = ToSystemPath(path);
#if defined(_WIN32)
    // A directory link is removed as a directory, a file link as a file;
    // neither call touches the link's target.
    const DWORD attributes = GetFileAttributesA(systemPath.c_str());
    if (attributes & FILE_ATTRIBUTE_DIRECTORY) return RemoveDirectoryA(systemPath.c_str()) != 0;
    return DeleteFileA(systemPath.c_str()) != 0;
#else
    return unlink(systemPath.c_str()) == 0;
#endif
}
