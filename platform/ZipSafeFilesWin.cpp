// Windows build; the POSIX build compiles ZipSafeFiles.cpp instead.
#ifdef _WIN32

#include "platform/ZipSafeFiles.h"

#include <cstring>
#include <string>

#include <windows.h>

namespace {

// The attribute bits an entry may put on an extracted file (as
// WriteFileAttributes takes them).
constexpr DWORD settableAttributes = FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN |
                                     FILE_ATTRIBUTE_SYSTEM | FILE_ATTRIBUTE_ARCHIVE;

// A single component: no separator, no drive, not "." or "..".
bool IsComponent(const char* name)
{
    if (!name || !*name || std::strcmp(name, ".") == 0 || std::strcmp(name, "..") == 0) return false;
    return std::strpbrk(name, "/\\:") == nullptr;
}

void CloseQuietly(HANDLE& handle)
{
    if (handle != INVALID_HANDLE_VALUE) CloseHandle(handle);
    handle = INVALID_HANDLE_VALUE;
}

// Opens (making it first when missing) a folder and holds it: without
// delete sharing it can be neither renamed nor removed while held, so the
// path to it keeps leading to it. A reparse point (a link or junction) is
// refused rather than followed.
HANDLE OpenFolder(const std::string& path)
{
    if (!CreateDirectoryA(path.c_str(), nullptr) && GetLastError() != ERROR_ALREADY_EXISTS)
        return INVALID_HANDLE_VALUE;
    HANDLE handle = CreateFileA(path.c_str(), FILE_READ_ATTRIBUTES | FILE_WRITE_ATTRIBUTES,
                                FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                                FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    if (handle == INVALID_HANDLE_VALUE) return handle;
    BY_HANDLE_FILE_INFORMATION info;
    if (!GetFileInformationByHandle(handle, &info) || !(info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) ||
        (info.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT))
        CloseQuietly(handle);
    return handle;
}

} // namespace

struct CZipFolder::State {
    ~State() { CloseQuietly(handle); }
    HANDLE handle = INVALID_HANDLE_VALUE;
    std::string path;
};

CZipFolder::CZipFolder() : state(std::make_unique<State>()) {}

CZipFolder::~CZipFolder() = default;

bool CZipFolder::Open(const char* name)
{
    CloseQuietly(state->handle);
    if (!IsComponent(name)) return false;
    state->path = name;
    state->handle = OpenFolder(state->path);
    return IsOpen();
}

bool CZipFolder::Open(const CZipFolder& parent, const char* name)
{
    CloseQuietly(state->handle);
    if (!parent.IsOpen() || !IsComponent(name)) return false;
    state->path = parent.state->path + "\\" + name;
    state->handle = OpenFolder(state->path);
    return IsOpen();
}

bool CZipFolder::IsOpen() const
{
    return state->handle != INVALID_HANDLE_VALUE;
}

bool CZipFolder::SetAttributes(uint32_t attributes)
{
    if (!IsOpen()) return false;
    FILE_BASIC_INFO info;
    if (!GetFileInformationByHandleEx(state->handle, FileBasicInfo, &info, sizeof info)) return false;
    info.FileAttributes = (info.FileAttributes & ~settableAttributes) | (attributes & settableAttributes);
    info.CreationTime.QuadPart = info.LastAccessTime.QuadPart = info.LastWriteTime.QuadPart =
        info.ChangeTime.QuadPart = 0;  // 0: left as they are
    return SetFileInformationByHandle(state->handle, FileBasicInfo, &info, sizeof info) != 0;
}

struct CZipNewFile::State {
    ~State() { CloseQuietly(handle); }
    HANDLE handle = INVALID_HANDLE_VALUE;
};

CZipNewFile::CZipNewFile() : state(std::make_unique<State>()) {}

CZipNewFile::~CZipNewFile() = default;

bool CZipNewFile::Create(const CZipFolder& folder, const char* name)
{
    Close();
    if (!folder.IsOpen() || !IsComponent(name)) return false;
    const std::string path = folder.state->path + "\\" + name;
    // Whatever has the name goes (a link itself, never its target); a
    // folder stays, and the creation below then fails.
    const DWORD existing = GetFileAttributesA(path.c_str());
    if (existing != INVALID_FILE_ATTRIBUTES) {
        if ((existing & FILE_ATTRIBUTE_REPARSE_POINT) && (existing & FILE_ATTRIBUTE_DIRECTORY))
            RemoveDirectoryA(path.c_str());
        else if (!(existing & FILE_ATTRIBUTE_DIRECTORY)) {
            if (existing & FILE_ATTRIBUTE_READONLY) SetFileAttributesA(path.c_str(), FILE_ATTRIBUTE_NORMAL);
            DeleteFileA(path.c_str());
        }
    }
    // CREATE_NEW fails on anything that has the name by now, a link planted
    // meanwhile included.
    state->handle = CreateFileA(path.c_str(), GENERIC_WRITE | FILE_WRITE_ATTRIBUTES, FILE_SHARE_READ, nullptr,
                                CREATE_NEW, FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    return state->handle != INVALID_HANDLE_VALUE;
}

bool CZipNewFile::Write(const void* data, uint32_t size)
{
    const char* p = static_cast<const char*>(data);
    while (state->handle != INVALID_HANDLE_VALUE && size > 0) {
        DWORD written = 0;
        if (!WriteFile(state->handle, p, size, &written, nullptr) || written == 0) return false;
        p += written;
        size -= written;
    }
    return state->handle != INVALID_HANDLE_VALUE;
}

bool CZipNewFile::Finish(time_t modified, uint32_t attributes)
{
    if (state->handle == INVALID_HANDLE_VALUE) return false;
    FILETIME now;
    GetSystemTimeAsFileTime(&now);
    FILETIME written = now;
    if (modified != static_cast<time_t>(-1)) {
        // 100-nanosecond steps since 1601.
        const ULONGLONG steps =
            static_cast<ULONGLONG>(static_cast<LONGLONG>(modified) * 10000000LL + 116444736000000000LL);
        written.dwLowDateTime = static_cast<DWORD>(steps);
        written.dwHighDateTime = static_cast<DWORD>(steps >> 32);
    }
    bool done = SetFileTime(state->handle, nullptr, &now, &written) != 0;
    FILE_BASIC_INFO info;
    if (GetFileInformationByHandleEx(state->handle, FileBasicInfo, &info, sizeof info)) {
        DWORD wanted = attributes & settableAttributes;
        if (wanted == 0) wanted = FILE_ATTRIBUTE_NORMAL;
        info.FileAttributes = wanted;
        info.CreationTime.QuadPart = info.LastAccessTime.QuadPart = info.LastWriteTime.QuadPart =
            info.ChangeTime.QuadPart = 0;
        done = SetFileInformationByHandle(state->handle, FileBasicInfo, &info, sizeof info) != 0 && done;
    } else {
        done = false;
    }
    done = CloseHandle(state->handle) != 0 && done;
    state->handle = INVALID_HANDLE_VALUE;
    return done;
}

void CZipNewFile::Close()
{
    CloseQuietly(state->handle);
}

#endif // _WIN32
