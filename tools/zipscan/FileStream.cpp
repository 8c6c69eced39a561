#include "FileStream.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
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

int FileStream::OpenFile(const std::string& path, bool writable, std::string& error)
{
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0) {
        error = std::strerror(errno);
        return -1;
    }
    if (S_ISDIR(st.st_mode)) {
        error = "is a directory";
        return -1;
    }
    if (!S_ISREG(st.st_mode)) {
        // A FIFO or a device would block or never end.
        error = "not a regular file";
        return -1;
    }
    int fd = ::open(path.c_str(), (writable ? O_RDWR : O_RDONLY) | O_CLOEXEC);
    if (fd < 0) error = std::strerror(errno);
    return fd;
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
