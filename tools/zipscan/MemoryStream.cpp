#include "MemoryStream.h"

#include <cerrno>
#include <cstring>
#include <new>
#include <stdexcept>

namespace zipscan {

bool MemoryStream::Grow(std::uint64_t size)
{
    if (size > kLimit) return false;
    if (size <= bytes.size()) return true;
    try {
        bytes.resize(static_cast<std::size_t>(size));
    } catch (const std::bad_alloc&) {
        return false;
    } catch (const std::length_error&) {
        return false;
    }
    return true;
}

int MemoryStream::Seek(unsigned int offsetLow, int offsetHigh, int origin, unsigned long long* newPosition)
{
    auto offset = static_cast<std::int64_t>(
        (static_cast<std::uint64_t>(static_cast<unsigned int>(offsetHigh)) << 32) | offsetLow);
    std::int64_t base = origin == 0 ? 0
                      : origin == 1 ? static_cast<std::int64_t>(position)
                                    : static_cast<std::int64_t>(bytes.size());
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

int MemoryStream::Read(void* buffer, unsigned int count, unsigned int* bytesRead)
{
    std::uint64_t left = position < bytes.size() ? bytes.size() - position : 0;
    auto n = static_cast<unsigned int>(left < count ? left : count);
    if (n) std::memcpy(buffer, bytes.data() + position, n);
    position += n;
    if (bytesRead) *bytesRead = n;
    return 0;
}

int MemoryStream::Write(const void* buffer, unsigned int count, unsigned int* bytesWritten)
{
    if (bytesWritten) *bytesWritten = 0;
    if (count == 0) return 0;
    if (!Grow(position + count)) return ENOSPC;
    std::memcpy(bytes.data() + position, buffer, count);
    position += count;
    if (bytesWritten) *bytesWritten = count;
    return 0;
}

int MemoryStream::SetSize(unsigned int sizeLow, unsigned int sizeHigh)
{
    std::uint64_t size = (static_cast<std::uint64_t>(sizeHigh) << 32) | sizeLow;
    if (size > kLimit) return EINVAL;
    if (size < bytes.size()) {
        bytes.resize(static_cast<std::size_t>(size));
        // Keep the memory of a large entry from lingering into the next one.
        if (size == 0 && bytes.capacity() > (16u << 20)) bytes.shrink_to_fit();
        return 0;
    }
    return Grow(size) ? 0 : ENOSPC;
}

} // namespace zipscan
