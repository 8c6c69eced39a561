#include "FileStream.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <limits>

namespace zipscan {

namespace {
constexpr std::uint64_t kMaxPosition = static_cast<std::uint64_t>(std::numeric_limits<off_t>::max());

std::int64_t Join(unsigned int low, int high)
{
    return static_cast<std::int64_t>((static_cast<std::uint64_t>(static_cast<unsigned int>(high)) << 32) | low);
}
} // namespace

FileStream::FileStream(int descriptor, bool canWrite) : fd(descriptor), writable(canWrite) {}

FileStream::~FileStream()
{
    if (fd >= 0) ::close(fd);
}

int FileStream::OpenFile(const std::string& path, bool followLinks, std::string& error, int* parent,
                         std::string* name, std::size_t walkedFrom)
{
    int heldParent = -1;
    bool walked = walkedFrom < path.size() && !followLinks;
    if (walked && !parent) parent = &heldParent;
    std::string where = path;
    if (followLinks && parent) {
        // The file is replaced where it really lives, not beside the link.
        char real[PATH_MAX];
        if (!::realpath(path.c_str(), real)) {
            error = std::strerror(errno);
            return -1;
        }
        where = real;
    }
    std::size_t slash = where.rfind('/');
    std::string dir = slash == std::string::npos ? "." : slash == 0 ? "/" : where.substr(0, slash);
    std::string base = slash == std::string::npos ? where : where.substr(slash + 1);
    int dirFd = AT_FDCWD;
    if (parent) {
        std::string start = walked ? path.substr(0, walkedFrom) : dir;
        dirFd = ::open(start.empty() ? "." : start.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        // Below the walked directory, one folder at a time and never
        // through a link.
        std::size_t at = walked ? walkedFrom : dir.size();
        while (dirFd >= 0 && at < dir.size()) {
            std::size_t next = dir.find('/', at + 1);
            if (next == std::string::npos) next = dir.size();
            std::string part = dir.substr(at, next - at);
            at = next;
            part.erase(0, part.find_first_not_of('/'));
            if (part.empty()) continue;
            int sub = ::openat(dirFd, part.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC | O_NOFOLLOW);
            int saved = errno;
            ::close(dirFd);
            dirFd = sub;
            errno = saved;
        }
        if (dirFd < 0) {
            error = errno == ELOOP || errno == ENOTDIR ? "a folder on its path was replaced by a symbolic link"
                                                       : std::strerror(errno);
            return -1;
        }
    }
    // Non-blocking, so that a FIFO put in the file's place cannot hold the
    // open; the file type is judged on the descriptor, not on the path.
    int flags = O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY | (followLinks && !parent ? 0 : O_NOFOLLOW);
    int fd = parent ? ::openat(dirFd, base.c_str(), flags) : ::open(path.c_str(), flags);
    struct stat st {};
    if (fd < 0) {
        error = errno == ELOOP ? "is a symbolic link (--follow-links follows it)" : std::strerror(errno);
    } else if (::fstat(fd, &st) != 0) {
        error = std::strerror(errno);
    } else if (S_ISDIR(st.st_mode)) {
        error = "is a directory";
    } else if (!S_ISREG(st.st_mode)) {
        // A FIFO or a device would block or never end.
        error = "not a regular file";
    } else if (::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) & ~O_NONBLOCK) != 0) {
        error = std::strerror(errno);
    } else {
        if (parent == &heldParent)
            ::close(dirFd);
        else if (parent)
            *parent = dirFd;
        if (name) *name = base;
        return fd;
    }
    if (fd >= 0) ::close(fd);
    if (parent) ::close(dirFd);
    return -1;
}

int FileStream::Seek(unsigned int offsetLow, int offsetHigh, int origin, unsigned long long* newPosition)
{
    std::int64_t offset = Join(offsetLow, offsetHigh);
    std::int64_t base = 0;
    int status = 0;
    if (origin == 1) {
        base = static_cast<std::int64_t>(position);
    } else if (origin == 2) {
        base = Length();
        if (base < 0) status = errno ? errno : EIO;
    } else if (origin != 0) {
        status = EINVAL;
    }
    if (status == 0) {
        // Reject a target before the start or past what a file offset can hold.
        bool overflow = (offset > 0 && base > std::numeric_limits<std::int64_t>::max() - offset);
        std::int64_t target = overflow ? -1 : base + offset;
        if (target < 0 || static_cast<std::uint64_t>(target) > kMaxPosition)
            status = EINVAL;
        else
            position = static_cast<std::uint64_t>(target);
    }
    if (newPosition) *newPosition = position;
    return status;
}

int FileStream::Read(void* buffer, unsigned int count, unsigned int* bytesRead)
{
    unsigned int done = 0;
    int status = 0;
    auto* out = static_cast<unsigned char*>(buffer);
    while (done < count) {
        ssize_t n = ::pread(fd, out + done, count - done, static_cast<off_t>(position + done));
        if (n < 0) {
            if (errno == EINTR) continue;
            status = errno;
            break;
        }
        if (n == 0) break; // end of file: a short read, not an error
        done += static_cast<unsigned int>(n);
    }
    position += done;
    if (bytesRead) *bytesRead = done;
    return status;
}

int FileStream::Write(const void* buffer, unsigned int count, unsigned int* bytesWritten)
{
    ++writeCalls;
    unsigned int done = 0;
    int status = writable ? 0 : EBADF;
    const auto* in = static_cast<const unsigned char*>(buffer);
    while (status == 0 && done < count) {
        ssize_t n = ::pwrite(fd, in + done, count - done, static_cast<off_t>(position + done));
        if (n < 0) {
            if (errno == EINTR) continue;
            status = errno;
            break;
        }
        if (n == 0) {
            status = EIO;
            break;
        }
        done += static_cast<unsigned int>(n);
    }
    position += done;
    if (bytesWritten) *bytesWritten = done;
    return status;
}

int FileStream::SetSize(unsigned int sizeLow, unsigned int sizeHigh)
{
    ++writeCalls;
    if (!writable) return EBADF;
    std::uint64_t size = (static_cast<std::uint64_t>(sizeHigh) << 32) | sizeLow;
    if (size > kMaxPosition) return EINVAL;
    if (::ftruncate(fd, static_cast<off_t>(size)) != 0) return errno;
    return 0;
}

std::size_t FileStream::ReadAt(std::uint64_t at, void* buffer, std::size_t count) const
{
    std::size_t done = 0;
    auto* out = static_cast<unsigned char*>(buffer);
    while (done < count && at + done <= kMaxPosition) {
        ssize_t n = ::pread(fd, out + done, count - done, static_cast<off_t>(at + done));
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        done += static_cast<std::size_t>(n);
    }
    return done;
}

std::int64_t FileStream::Length() const
{
    struct stat st {};
    if (::fstat(fd, &st) != 0) return -1;
    return static_cast<std::int64_t>(st.st_size);
}

bool FileStream::Sync() const
{
    return ::fsync(fd) == 0;
}

} // namespace zipscan
