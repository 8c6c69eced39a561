#include "TemporaryStream.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <new>
#include <stdexcept>
#include <string>

namespace zipscan {

namespace {

// An unlinked file in TMPDIR (or /tmp): it disappears with the descriptor,
// whatever ends the program.
int OpenUnlinkedFile()
{
    const char* env = std::getenv("TMPDIR");
    std::string dir = env && *env ? env : "/tmp";
    int fd = -1;
#ifdef O_TMPFILE
    fd = ::open(dir.c_str(), O_TMPFILE | O_RDWR | O_CLOEXEC, 0600);
    if (fd >= 0) return fd;
#endif
    std::string name = dir + "/zipscan-XXXXXX";
    fd = ::mkstemp(&name[0]);
    if (fd < 0) return -1;
    ::unlink(name.c_str());
    ::fcntl(fd, F_SETFD, FD_CLOEXEC);
    return fd;
}

bool WriteAllAt(int fd, const unsigned char* data, std::size_t count, std::uint64_t offset)
{
    while (count > 0) {
        ssize_t n = ::pwrite(fd, data, count, static_cast<off_t>(offset));
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        data += n;
        count -= static_cast<std::size_t>(n);
        offset += static_cast<std::uint64_t>(n);
    }
    return true;
}

} // namespace

TemporaryStream::TemporaryStream(std::uint64_t spillThreshold) : threshold(spillThreshold) {}

TemporaryStream::~TemporaryStream()
{
    if (fd >= 0) ::close(fd);
}

bool TemporaryStream::Spill()
{
    if (fd < 0) fd = OpenUnlinkedFile();
    if (fd < 0) return false;
    if (::ftruncate(fd, 0) != 0 || !WriteAllAt(fd, bytes.data(), static_cast<std::size_t>(size), 0)) return false;
    onDisk = true;
    std::vector<unsigned char>().swap(bytes);
    return true;
}

// Makes room for the content to reach end bytes.
bool TemporaryStream::Reserve(std::uint64_t end)
{
    if (end > kLimit) return false;
    if (onDisk) return true;
    if (end > threshold) return Spill();
    if (end <= bytes.size()) return true;
    try {
        // Grow geometrically: the module writes 64 KiB at a time.
        std::size_t room = std::max<std::size_t>(static_cast<std::size_t>(end), bytes.size() * 2);
        bytes.resize(std::min<std::size_t>(room, static_cast<std::size_t>(threshold)));
    } catch (const std::bad_alloc&) {
        return false;
    } catch (const std::length_error&) {
        return false;
    }
    return true;
}

int TemporaryStream::Seek(unsigned int offsetLow, int offsetHigh, int origin, unsigned long long* newPosition)
{
    auto offset = static_cast<std::int64_t>(
        (static_cast<std::uint64_t>(static_cast<unsigned int>(offsetHigh)) << 32) | offsetLow);
    std::int64_t base = origin == 0 ? 0
                      : origin == 1 ? static_cast<std::int64_t>(position)
                                    : static_cast<std::int64_t>(size);
    int status = 0;
    // Both operands are small enough (below 2^33) for the sum not to overflow
    // whenever the offset itself is within the limit.
    if ((origin < 0 || origin > 2) || offset > static_cast<std::int64_t>(kLimit) ||
        offset < -static_cast<std::int64_t>(kLimit) || base + offset < 0 ||
        static_cast<std::uint64_t>(base + offset) > kLimit) {
        status = EINVAL;
    } else {
        position = static_cast<std::uint64_t>(base + offset);
    }
    if (newPosition) *newPosition = position;
    return status;
}

int TemporaryStream::Read(void* buffer, unsigned int count, unsigned int* bytesRead)
{
    if (bytesRead) *bytesRead = 0;
    std::uint64_t left = position < size ? size - position : 0;
    auto n = static_cast<unsigned int>(left < count ? left : count);
    if (n == 0) return 0;
    if (!onDisk) {
        std::memcpy(buffer, bytes.data() + position, n);
    } else {
        ssize_t got;
        do {
            got = ::pread(fd, buffer, n, static_cast<off_t>(position));
        } while (got < 0 && errno == EINTR);
        if (got < 0) return errno;
        n = static_cast<unsigned int>(got);
    }
    position += n;
    if (bytesRead) *bytesRead = n;
    return 0;
}

int TemporaryStream::Write(const void* buffer, unsigned int count, unsigned int* bytesWritten)
{
    if (bytesWritten) *bytesWritten = 0;
    if (count == 0) return 0;
    std::uint64_t n = count;
    if (position >= cap) {
        capped = true;
        return ENOSPC;
    }
    if (position + n > cap) {
        n = cap - position;
        capped = true;
    }
    std::uint64_t end = position + n;
    // Below the cap a write that fails is this host's own failure (no room
    // for the temporary file), not the end of the entry.
    if (!Reserve(end)) {
        refused = true;
        return ENOSPC;
    }
    const auto* data = static_cast<const unsigned char*>(buffer);
    if (!onDisk) {
        std::memcpy(bytes.data() + position, data, static_cast<std::size_t>(n));
    } else if (!WriteAllAt(fd, data, static_cast<std::size_t>(n), position)) {
        refused = true;
        return errno ? errno : ENOSPC;
    }
    position = end;
    if (end > size) size = end;
    if (bytesWritten) *bytesWritten = static_cast<unsigned int>(n);
    return 0;
}

int TemporaryStream::SetSize(unsigned int sizeLow, unsigned int sizeHigh)
{
    std::uint64_t wanted = (static_cast<std::uint64_t>(sizeHigh) << 32) | sizeLow;
    if (wanted > kLimit) return EINVAL;
    if (wanted == 0) {
        // A new entry begins: back to memory, keeping the file for the next
        // big one.
        capped = false;
        refused = false;
        size = 0;
        if (onDisk) {
            onDisk = false;
            if (::ftruncate(fd, 0) != 0) {
                ::close(fd);
                fd = -1;
            }
        }
        // Keep the memory of a large entry from lingering into the next one.
        if (bytes.capacity() > (1u << 20)) std::vector<unsigned char>().swap(bytes);
        return 0;
    }
    if (!Reserve(wanted)) return ENOSPC;
    if (onDisk) {
        if (::ftruncate(fd, static_cast<off_t>(wanted)) != 0) return errno;
    } else if (wanted > size) {
        std::memset(bytes.data() + size, 0, static_cast<std::size_t>(wanted - size));
    }
    size = wanted;
    return 0;
}

} // namespace zipscan
