// POSIX build; the Windows build compiles ZipSafeFilesWin.cpp instead.
#ifndef _WIN32

#include "platform/ZipSafeFiles.h"
#include "platform/ZipFileSystem.h"

#include <cerrno>
#include <cstring>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// A single component: no separator, not "." or "..".
bool IsComponent(const char* name)
{
    if (!name || !*name || std::strcmp(name, ".") == 0 || std::strcmp(name, "..") == 0) return false;
    return std::strpbrk(name, "/\\") == nullptr;
}

int OpenFolderAt(int at, const char* name)
{
    if (!IsComponent(name)) return -1;
    if (::mkdirat(at, name, 0777) != 0 && errno != EEXIST) return -1;
    int fd;
    do {
        fd = ::openat(at, name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    } while (fd < 0 && errno == EINTR);
    return fd;
}

void CloseQuietly(int& fd)
{
    if (fd >= 0) ::close(fd);
    fd = -1;
}

bool ApplyAttributes(int fd, uint32_t attributes)
{
    struct stat info;
    if (::fstat(fd, &info) != 0) return false;
    if (S_ISDIR(info.st_mode)) return true;
    const mode_t mode = static_cast<mode_t>(PosixModeWithAttributes(info.st_mode, attributes));
    return mode == (info.st_mode & 07777) || ::fchmod(fd, mode) == 0;
}

} // namespace

struct CZipFolder::State {
    ~State() { CloseQuietly(fd); }
    int fd = -1;
};

CZipFolder::CZipFolder() : state(std::make_unique<State>()) {}

CZipFolder::~CZipFolder() = default;

bool CZipFolder::Open(const char* name)
{
    CloseQuietly(state->fd);
    state->fd = OpenFolderAt(AT_FDCWD, name);
    return state->fd >= 0;
}

bool CZipFolder::Open(const CZipFolder& parent, const char* name)
{
    CloseQuietly(state->fd);
    if (!parent.IsOpen()) return false;
    state->fd = OpenFolderAt(parent.state->fd, name);
    return state->fd >= 0;
}

bool CZipFolder::IsOpen() const
{
    return state->fd >= 0;
}

bool CZipFolder::SetAttributes(uint32_t attributes)
{
    return IsOpen() && ApplyAttributes(state->fd, attributes);
}

struct CZipNewFile::State {
    ~State() { CloseQuietly(fd); }
    int fd = -1;
};

CZipNewFile::CZipNewFile() : state(std::make_unique<State>()) {}

CZipNewFile::~CZipNewFile() = default;

bool CZipNewFile::Create(const CZipFolder& folder, const char* name)
{
    Close();
    if (!folder.IsOpen() || !IsComponent(name)) return false;
    const int at = folder.state->fd;
    // Whatever has the name goes (a link itself, never its target); a
    // folder stays, and the creation below then fails.
    if (::unlinkat(at, name, 0) != 0 && errno != ENOENT) return false;
    int fd;
    do {
        fd = ::openat(at, name, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0666);
    } while (fd < 0 && errno == EINTR);
    state->fd = fd;
    return fd >= 0;
}

bool CZipNewFile::Write(const void* data, uint32_t size)
{
    const char* p = static_cast<const char*>(data);
    while (state->fd >= 0 && size > 0) {
        const ssize_t n = ::write(state->fd, p, size);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        p += n;
        size -= static_cast<uint32_t>(n);
    }
    return state->fd >= 0;
}

bool CZipNewFile::Finish(time_t modified, uint32_t attributes)
{
    if (state->fd < 0) return false;
    struct timespec times[2];
    times[0].tv_sec = 0;
    times[0].tv_nsec = UTIME_NOW;
    if (modified == static_cast<time_t>(-1)) {
        times[1] = times[0];
    } else {
        times[1].tv_sec = modified;
        times[1].tv_nsec = 0;
    }
    bool done = ::futimens(state->fd, times) == 0;
    done = ApplyAttributes(state->fd, attributes) && done;
    done = ::close(state->fd) == 0 && done;
    state->fd = -1;
    return done;
}

void CZipNewFile::Close()
{
    CloseQuietly(state->fd);
}

#endif // !_WIN32
