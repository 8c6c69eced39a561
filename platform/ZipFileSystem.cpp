// POSIX build; the Windows build compiles ZipFileSystemWin.cpp instead.
#ifndef _WIN32

#include "platform/ZipFileSystem.h"

#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>
#include <utime.h>

#include <cstring>
#include <vector>

#include "errors/ZipException.h"

// POSIX versions of the file-system helpers. The archive engine speaks in
// MS-DOS terms (attribute bits, drives, '\' separators); this file is where
// those meet the POSIX calls.

namespace {

constexpr uint32_t dosReadOnly = 0x01;
constexpr uint32_t dosDirectory = 0x10;
constexpr uint32_t dosArchive = 0x20;

const mode_t anyWrite = S_IWUSR | S_IWGRP | S_IWOTH;

bool StatPath(const char* path, struct stat& info)
{
    return path[0] != '\0' && ::stat(path, &info) == 0;
}
bool StatPath(const std::string& path, struct stat& info) { return StatPath(path.c_str(), info); }

bool IsDirectoryPath(const char* path)
{
    struct stat info;
    // "Could be entered" is what changing into it would need: search
    // permission on the directory.
    return StatPath(path, info) && S_ISDIR(info.st_mode) && ::access(path, X_OK) == 0;
}

int Probe(const char* path)
{
    if (path[0] == '\0' || ::access(path, F_OK) != 0) return 0;
    return IsDirectoryPath(path) ? -1 : 1;
}

void TrimTrailingSlashes(std::string& path)
{
    while (!path.empty() && path.back() == '/') path.pop_back();
}

// Walks a path up one directory at a time without copying it: the path is cut
// with a NUL in place, so even a path of a hundred thousand components costs
// one string and no stack.
class PathWalker {
public:
    explicit PathWalker(const char* path) : text(ToSystemPath(path))
    {
        while (text.size() > 1 && text.back() == '/') text.pop_back();
        length = text.size();
    }
    const char* Current() const { return text.c_str(); }
    size_t Length() const { return length; }
    // The directory holding the current path; false when there is none left
    // to ask about (the current path is "/" or has no directory part).
    bool Up()
    {
        const size_t slash = length == 0 ? std::string::npos : text.rfind('/', length - 1);
        if (slash == std::string::npos || length == 1) return false;
        text[length] = saved;
        size_t parent = slash;
        while (parent > 0 && text[parent - 1] == '/') --parent;
        length = parent == 0 ? 1 : parent;  // "/x" goes up to "/"
        saved = text[length];
        text[length] = '\0';
        return true;
    }

private:
    std::string text;
    size_t length = 0;
    char saved = '\0';
};

bool FreeBytesOf(const char* path, uint32_t& freeBytes)
{
    struct statvfs info;
    if (::statvfs(path, &info) != 0) return false;
    // Space available to an unprivileged writer. Devices with 4 GiB or more
    // free answer the largest 32-bit value instead of wrapping, so a large
    // disk never looks full.
    const unsigned long long bytes =
        static_cast<unsigned long long>(info.f_bavail) * static_cast<unsigned long long>(info.f_frsize);
    freeBytes = bytes > 0xFFFFFFFFull ? 0xFFFFFFFFu : static_cast<uint32_t>(bytes);
    return true;
}

std::string TempDirectory()
{
    // The POSIX counterpart of the Windows temporary path.
    const char* fromEnvironment = ::getenv("TMPDIR");
    if (fromEnvironment && fromEnvironment[0] == '/') return fromEnvironment;
    return "/tmp";
}

}  // namespace

std::string ToSystemPath(const char* path)
{
    std::string converted(path ? path : "");
    for (char& c : converted)
        if (c == '\\') c = '/';
    return converted;
}

bool QueryFileSize(const char* path, uint32_t& size)
{
    const std::string systemPath = ToSystemPath(path);
    if (systemPath.empty()) return false;
    const int fd = ::open(systemPath.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK);
    if (fd < 0) return false;
    struct stat info;
    const bool ok = ::fstat(fd, &info) == 0;
    ::close(fd);
    // Only files have a size here (a directory cannot be opened as a file on
    // Windows either); 0xFFFFFFFF is the failure value and anything above it
    // cannot be told in 32 bits.
    if (!ok || !S_ISREG(info.st_mode) || info.st_size < 0 ||
        static_cast<unsigned long long>(info.st_size) >= 0xFFFFFFFFull)
        return false;
    size = static_cast<uint32_t>(info.st_size);
    return true;
}

// POSIX has modes where MS-DOS has attribute bits. The mapping:
// - directory (0x10): the file type from stat;
// - read-only (0x01): read as "nobody may write" (no write bit at all);
//   written by clearing every write bit, and cleared by giving the owner
//   write permission back (group and others are left as they are);
// - archive (0x20): reported for everything that is not a directory, as a
//   freshly written file on Windows carries it; ignored when written;
// - hidden and system have no POSIX counterpart: never reported, ignored.
// Directories ignore the read-only bit when it is written, as Windows does
// for folders: a read-only directory would stop extraction of the files that
// follow it.
bool ReadFileAttributes(const char* path, uint32_t& attributes)
{
    struct stat info;
    if (!StatPath(ToSystemPath(path), info)) return false;
    uint32_t dos = S_ISDIR(info.st_mode) ? dosDirectory : dosArchive;
    if ((info.st_mode & anyWrite) == 0) dos |= dosReadOnly;
    attributes = dos;
    return true;
}

uint32_t PosixModeWithAttributes(uint32_t mode, uint32_t attributes)
{
    mode &= 07777;
    if (attributes & dosReadOnly)
        mode &= ~static_cast<uint32_t>(anyWrite);
    else
        mode |= S_IWUSR;
    return mode;
}

bool WriteFileAttributes(const char* path, uint32_t attributes)
{
    const std::string systemPath = ToSystemPath(path);
    struct stat info;
    if (!StatPath(systemPath, info)) return false;
    if (S_ISDIR(info.st_mode)) return true;
    const mode_t mode = static_cast<mode_t>(PosixModeWithAttributes(info.st_mode, attributes));
    if (mode == (info.st_mode & 07777)) return true;
    return ::chmod(systemPath.c_str(), mode) == 0;
}

bool ReadModificationTime(const char* path, time_t& modified)
{
    struct stat info;
    if (!StatPath(ToSystemPath(path), info) || info.st_mtime == static_cast<time_t>(-1)) return false;
    modified = info.st_mtime;
    return true;
}

bool WriteModificationTime(const char* path, time_t modified)
{
    const std::string systemPath = ToSystemPath(path);
    if (systemPath.empty()) return false;
    const time_t now = ::time(nullptr);
    struct utimbuf times;
    times.actime = now;
    times.modtime = modified == static_cast<time_t>(-1) ? now : modified;
    return ::utime(systemPath.c_str(), &times) == 0;
}

bool EnterDirectory(const char* path)
{
    const std::string systemPath = ToSystemPath(path);
    return !systemPath.empty() && ::chdir(systemPath.c_str()) == 0;
}

bool IsExistingDirectory(const char* path)
{
    // Asked of the path itself: the process's current directory, which other
    // threads of the host share, is never touched.
    return IsDirectoryPath(ToSystemPath(path).c_str());
}

int ProbePath(const char* path) { return Probe(ToSystemPath(path).c_str()); }

bool MakeDirectory(const char* path)
{
    const std::string systemPath = ToSystemPath(path);
    return !systemPath.empty() && ::mkdir(systemPath.c_str(), 0777) == 0;
}

bool MakeDirectoryTree(const char* path)
{
    // Walk up to the first directory that exists, then create the missing
    // ones from the top down. A loop instead of recursion, so a path of any
    // depth costs no stack; a leading '/' (or '\\') keeps the path absolute.
    PathWalker walker(path);
    std::vector<size_t> missing;  // lengths of the prefixes to create
    do {
        if (walker.Length() == 0 || std::strcmp(walker.Current(), "/") == 0) break;
        if (Probe(walker.Current()) == -1) break;
        missing.push_back(walker.Length());
    } while (walker.Up());
    std::string full = ToSystemPath(path);
    for (auto it = missing.rbegin(); it != missing.rend(); ++it) {
        const std::string directory = full.substr(0, *it);
        if (::mkdir(directory.c_str(), 0777) == 0) continue;
        // Made meanwhile by someone else, or a "dir/.." step that resolves
        // to a directory that now exists: the tree is there either way.
        if (errno == EEXIST && Probe(directory.c_str()) == -1) continue;
        return false;
    }
    return true;
}

bool DeleteFileByName(const char* path, bool throwOnError)
{
    const std::string systemPath = ToSystemPath(path);
    // unlink refuses directories, as deleting a file by name should.
    if (!systemPath.empty() && ::unlink(systemPath.c_str()) == 0) return true;
    if (throwOnError) ThrowZipException(ZipError::notRemoved, path ? path : "");
    return false;
}

bool MoveFileByName(const char* from, const char* to, bool throwOnError)
{
    const std::string source = ToSystemPath(from);
    const std::string target = ToSystemPath(to);
    bool moved = false;
    if (!source.empty() && !target.empty()) {
        // Renaming never replaces an existing file here (callers delete the
        // old one first when they mean to). The kernel does the check
        // atomically where the file system supports it.
        if (::renameat2(AT_FDCWD, source.c_str(), AT_FDCWD, target.c_str(), RENAME_NOREPLACE) == 0) {
            moved = true;
        } else if (errno == EINVAL || errno == ENOSYS) {
            struct stat info;
            moved = ::lstat(target.c_str(), &info) != 0 && errno == ENOENT &&
                    ::rename(source.c_str(), target.c_str()) == 0;
        }
    }
    if (!moved && throwOnError) ThrowZipException(ZipError::notRenamed, from ? from : "");
    return moved;
}

bool ReadCurrentDirectory(std::string& directory)
{
    std::vector<char> buffer(256);
    for (;;) {
        if (::getcwd(buffer.data(), buffer.size()) != nullptr) {
            directory = buffer.data();
            return true;
        }
        if (errno != ERANGE || buffer.size() >= (1u << 20)) return false;
        buffer.resize(buffer.size() * 2);
    }
}

uint32_t FreeBytesOnDevice(const char* path)
{
    // POSIX has no drives: the device is the one holding the path, found
    // through the nearest part of the path that exists (a file about to be
    // created lives on its directory's device). No path means the current
    // directory.
    PathWalker walker(path);
    uint32_t freeBytes = 0;
    do {
        if (FreeBytesOf(walker.Length() == 0 ? "." : walker.Current(), freeBytes)) return freeBytes;
    } while (walker.Up());
    // A relative path whose first component is missing: its device is the
    // current directory's.
    if (walker.Current()[0] != '/' && FreeBytesOf(".", freeBytes)) return freeBytes;
    return 0;
}

// Removable media and volume labels belong to disk spanning over floppies,
// which POSIX systems have no notion of: no drive is removable and no label
// can be set.
bool IsRemovableDrive(const char*) { return false; }

bool LabelVolume(const char*, const char*) { return false; }

std::string CreateTempFileName(const char* directoryHint, uint32_t neededBytes)
{
    std::string directory;
    if (directoryHint && directoryHint[0] != '\0' && FreeBytesOnDevice(directoryHint) >= neededBytes) {
        directory = ToSystemPath(directoryHint);
    } else {
        const std::string temp = TempDirectory();
        std::string current;
        if (FreeBytesOnDevice(temp.c_str()) >= neededBytes)
            directory = temp;
        else if (ReadCurrentDirectory(current) && FreeBytesOnDevice(current.c_str()) >= neededBytes)
            directory = current;
        else
            return std::string();
    }
    TrimTrailingSlashes(directory);
    // A directory that trimmed down to nothing was the root.
    std::string name = directory + "/ZARXXXXXX";
    // mkostemp creates the file (mode 0600) with a unique name in one step.
    const int fd = ::mkostemp(&name[0], O_CLOEXEC);
    if (fd < 0) return std::string();
    ::close(fd);
    return name;
}

#endif  // _WIN32
