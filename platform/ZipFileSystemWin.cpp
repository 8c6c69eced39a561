// Windows build; the POSIX build compiles ZipFileSystem.cpp instead.
#ifdef _WIN32

#include "platform/ZipFileSystem.h"

#include <direct.h>
#include <sys/stat.h>
#include <sys/utime.h>

#include <cstring>
#include <vector>

#include <windows.h>

#include "errors/ZipException.h"

// Windows versions of the file-system helpers: the archive engine's MS-DOS
// terms are the system's own here, so most helpers are one call.

namespace {

// The attribute bits an archive entry may put on an extracted file:
// read-only, hidden, system and archive. Everything else in a stored word
// (Unix mode bits, a directory bit, bits only the system itself may set)
// stays off the file.
constexpr DWORD settableAttributes = FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN |
                                     FILE_ATTRIBUTE_SYSTEM | FILE_ATTRIBUTE_ARCHIVE;

bool IsSeparator(char c) { return c == '\\' || c == '/'; }

bool IsEmpty(const char* path) { return path == nullptr || path[0] == '\0'; }

// Past one name and the separators after it.
size_t SkipComponent(const std::string& path, size_t pos)
{
    while (pos < path.size() && !IsSeparator(path[pos])) ++pos;
    while (pos < path.size() && IsSeparator(path[pos])) ++pos;
    return pos;
}

bool StartsWithNoCase(const std::string& text, size_t pos, const char* word)
{
    const size_t n = std::strlen(word);
    return text.size() - pos >= n && _strnicmp(text.c_str() + pos, word, n) == 0;
}

// Length of the part of the path that names where it starts: a long-path
// prefix ("\\?\"), a UNC server and share ("\\server\share\"), a drive
// ("C:" or "C:\") or a bare root ("\"); 0 for a relative path. Nothing at or
// before this length can be created or walked up from.
size_t RootLength(const std::string& path)
{
    size_t pos = 0;
    if (path.size() >= 4 && IsSeparator(path[0]) && IsSeparator(path[1]) &&
        (path[2] == '?' || path[2] == '.') && IsSeparator(path[3])) {
        pos = 4;
        if (StartsWithNoCase(path, pos, "UNC") && path.size() > 7 && IsSeparator(path[7]))
            return SkipComponent(path, SkipComponent(path, 8));
    } else if (path.size() >= 2 && IsSeparator(path[0]) && IsSeparator(path[1])) {
        return SkipComponent(path, SkipComponent(path, 2));
    }
    if (path.size() - pos >= 2 && path[pos + 1] == ':') pos += 2;
    while (pos < path.size() && IsSeparator(path[pos])) ++pos;
    return pos;
}

// The root directory of the volume that holds the path, with the trailing
// separator the volume calls require; empty for the current directory's
// volume (a relative path, or "\" alone).
std::string VolumeRoot(const char* path)
{
    const std::string text = ToSystemPath(path);
    std::string root = text.substr(0, RootLength(text));
    while (!root.empty() && IsSeparator(root.back())) root.pop_back();
    if (root.empty()) return root;
    return root + '\\';
}

const char* OrCurrentVolume(const std::string& root) { return root.empty() ? nullptr : root.c_str(); }

DWORD AttributesOf(const char* path)
{
    if (IsEmpty(path)) return INVALID_FILE_ATTRIBUTES;
    return GetFileAttributesA(path);
}

// 0: nothing there, -1: a directory, 1: something else.
int Probe(const char* path)
{
    const DWORD attributes = AttributesOf(path);
    if (attributes == INVALID_FILE_ATTRIBUTES) return 0;
    return (attributes & FILE_ATTRIBUTE_DIRECTORY) ? -1 : 1;
}

std::string TempDirectory()
{
    const DWORD size = GetTempPathA(0, nullptr);
    if (size == 0) return std::string();
    std::vector<char> buffer(size + 1);
    const DWORD length = GetTempPathA(static_cast<DWORD>(buffer.size()), buffer.data());
    if (length == 0 || length >= buffer.size()) return std::string();
    return std::string(buffer.data(), length);
}

}  // namespace

std::string ToSystemPath(const char* path)
{
    // Windows takes '\' and '/' alike.
    return std::string(path ? path : "");
}

bool QueryFileSize(const char* path, uint32_t& size)
{
    if (IsEmpty(path)) return false;
    HANDLE file = CreateFileA(path, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) return false;
    DWORD high = 0;
    const DWORD low = GetFileSize(file, &high);
    CloseHandle(file);
    // 0xFFFFFFFF is the failure value, and a larger file cannot be told in
    // 32 bits.
    if (low == INVALID_FILE_SIZE || high != 0) return false;
    size = low;
    return true;
}

bool ReadFileAttributes(const char* path, uint32_t& attributes)
{
    const DWORD found = AttributesOf(path);
    if (found == INVALID_FILE_ATTRIBUTES) return false;
    attributes = found;
    return true;
}

bool WriteFileAttributes(const char* path, uint32_t attributes)
{
    if (IsEmpty(path)) return false;
    DWORD wanted = attributes & settableAttributes;
    if (wanted == 0) wanted = FILE_ATTRIBUTE_NORMAL;
    return SetFileAttributesA(path, wanted) != 0;
}

bool ReadModificationTime(const char* path, time_t& modified)
{
    if (IsEmpty(path)) return false;
    struct _stat64 info;
    if (_stat64(path, &info) != 0 || info.st_mtime == -1) return false;
    modified = static_cast<time_t>(info.st_mtime);
    return true;
}

bool WriteModificationTime(const char* path, time_t modified)
{
    if (IsEmpty(path)) return false;
    const __time64_t now = _time64(nullptr);
    struct __utimbuf64 times;
    times.actime = now;
    times.modtime = modified == static_cast<time_t>(-1) ? now : static_cast<__time64_t>(modified);
    return _utime64(path, &times) == 0;
}

bool EnterDirectory(const char* path)
{
    return !IsEmpty(path) && _chdir(path) == 0;
}

bool IsExistingDirectory(const char* path)
{
    // Asked of the path itself: the process's current directory, which other
    // threads of the host share, is never touched.
    return Probe(path) == -1;
}

int ProbePath(const char* path) { return Probe(path); }

bool MakeDirectory(const char* path)
{
    return !IsEmpty(path) && CreateDirectoryA(path, nullptr) != 0;
}

bool MakeDirectoryTree(const char* path)
{
    // Walk up to the first directory that exists, then create the missing
    // ones from the top down. A loop instead of recursion, so a path of any
    // depth costs no stack; the root (drive, share, "\") is never created.
    const std::string full = ToSystemPath(path);
    const size_t root = RootLength(full);
    size_t length = full.size();
    while (length > root && IsSeparator(full[length - 1])) --length;
    std::vector<size_t> missing;  // lengths of the prefixes to create
    while (length > root) {
        if (Probe(full.substr(0, length).c_str()) == -1) break;
        missing.push_back(length);
        while (length > root && !IsSeparator(full[length - 1])) --length;
        while (length > root && IsSeparator(full[length - 1])) --length;
    }
    for (auto it = missing.rbegin(); it != missing.rend(); ++it) {
        const std::string directory = full.substr(0, *it);
        if (CreateDirectoryA(directory.c_str(), nullptr)) continue;
        // Made meanwhile by someone else, or a "dir\.." step that resolves
        // to a directory that now exists: the tree is there either way.
        if (GetLastError() == ERROR_ALREADY_EXISTS && Probe(directory.c_str()) == -1) continue;
        return false;
    }
    return true;
}

bool DeleteFileByName(const char* path, bool throwOnError)
{
    if (!IsEmpty(path) && DeleteFileA(path)) return true;
    if (throwOnError) ThrowZipException(ZipError::notRemoved, path ? path : "");
    return false;
}

bool MoveFileByName(const char* from, const char* to, bool throwOnError)
{
    // MoveFileA never replaces an existing file (callers delete the old one
    // first when they mean to).
    if (!IsEmpty(from) && !IsEmpty(to) && MoveFileA(from, to)) return true;
    if (throwOnError) ThrowZipException(ZipError::notRenamed, from ? from : "");
    return false;
}

bool ReadCurrentDirectory(std::string& directory)
{
    // Another thread may change the directory between the size query and
    // the read; a longer one then asks for the larger size again.
    for (int attempt = 0; attempt < 4; ++attempt) {
        const DWORD size = GetCurrentDirectoryA(0, nullptr);
        if (size == 0) return false;
        std::vector<char> buffer(size);
        const DWORD length = GetCurrentDirectoryA(size, buffer.data());
        if (length == 0) return false;
        if (length < size) {
            directory.assign(buffer.data(), length);
            return true;
        }
    }
    return false;
}

uint32_t FreeBytesOnDevice(const char* path)
{
    const std::string root = VolumeRoot(path);
    DWORD sectorsPerCluster = 0, bytesPerSector = 0, freeClusters = 0, totalClusters = 0;
    if (!GetDiskFreeSpaceA(OrCurrentVolume(root), &sectorsPerCluster, &bytesPerSector,
                           &freeClusters, &totalClusters))
        return 0;
    // Devices with 4 GiB or more free answer the largest 32-bit value
    // instead of wrapping, so a large disk never looks full.
    const unsigned long long bytes = static_cast<unsigned long long>(sectorsPerCluster) *
                                     bytesPerSector * freeClusters;
    return bytes > 0xFFFFFFFFull ? 0xFFFFFFFFu : static_cast<uint32_t>(bytes);
}

bool IsRemovableDrive(const char* path)
{
    if (path == nullptr) return false;
    return GetDriveTypeA(OrCurrentVolume(VolumeRoot(path))) == DRIVE_REMOVABLE;
}

bool LabelVolume(const char* path, const char* label)
{
    if (path == nullptr) return false;
    return SetVolumeLabelA(OrCurrentVolume(VolumeRoot(path)), label) != 0;
}

std::string CreateTempFileName(const char* directoryHint, uint32_t neededBytes)
{
    std::string directory;
    if (!IsEmpty(directoryHint) && FreeBytesOnDevice(directoryHint) >= neededBytes) {
        directory = directoryHint;
    } else {
        const std::string temp = TempDirectory();
        std::string current;
        if (!temp.empty() && FreeBytesOnDevice(temp.c_str()) >= neededBytes)
            directory = temp;
        else if (ReadCurrentDirectory(current) && FreeBytesOnDevice(current.c_str()) >= neededBytes)
            directory = current;
        else
            return std::string();
    }
    // The system makes the empty file under a unique name in one step.
    char name[MAX_PATH + 1] = {0};
    if (GetTempFileNameA(directory.c_str(), "ZAR", 0, name) == 0) return std::string();
    return name;
}

#endif  // _WIN32
