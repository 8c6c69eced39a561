#include "storage/ZipMemStream.h"

#include <cstdlib>
#include <cstring>
#include <limits>

#include "errors/ZipException.h"

namespace {
constexpr uint64_t kMaxSize = std::numeric_limits<uint32_t>::max();
}

CZipMemStream::CZipMemStream(uint32_t step) : growStep(step) {}

CZipMemStream::~CZipMemStream()
{
    // Not the virtual Close: a derived stream is already gone here, and the
    // block is ours alone.
    std::free(block);
    block = nullptr;
}

void CZipMemStream::Close()
{
    std::free(block);
    block = nullptr;
    position = 0;
    capacity = 0;
    length = 0;
    // A closed stream is not meant to be refilled: with no step left, the
    // next growth fails with 505.
    growStep = 0;
}

void CZipMemStream::Flush() {}

uint64_t CZipMemStream::GetPosition()
{
    return position;
}

uint64_t CZipMemStream::Seek(int64_t offset, int origin)
{
    int64_t base;
    switch (origin) {
    case begin: base = 0; break;
    case current: base = position; break;
    case end: base = length; break;
    default: return position;
    }
    // Positions are 32-bit: one that would wrap (past 4 GiB or before the
    // start) is refused rather than silently landing somewhere else.
    if ((offset > 0 && base > static_cast<int64_t>(kMaxSize) - offset) || base + offset < 0)
        ThrowZipException(ZipError::zlibMemory);
    position = static_cast<uint32_t>(base + offset);
    return position;
}

uint64_t CZipMemStream::GetLength()
{
    return length;
}

void CZipMemStream::SetLength(uint64_t newLength)
{
    if (newLength > kMaxSize) ThrowZipException(ZipError::zlibMemory);
    if (newLength > capacity)
        Grow(newLength);
    else
        position = static_cast<uint32_t>(newLength);
    length = static_cast<uint32_t>(newLength);
}

std::string CZipMemStream::GetFilePath()
{
    return std::string();
}

uint32_t CZipMemStream::Read(void* buffer, uint32_t count)
{
    if (position > length || buffer == nullptr) return 0;
    uint32_t available = length - position;
    uint32_t n = count < available ? count : available;
    if (n > 0) std::memcpy(buffer, block + position, n);
    position += n;
    return n;
}

void CZipMemStream::Write(const void* buffer, uint32_t count)
{
    if (count == 0 || buffer == nullptr) return;
    uint64_t end = static_cast<uint64_t>(position) + count;
    if (end > kMaxSize) ThrowZipException(ZipError::zlibMemory);
    if (end > capacity) Grow(end);
    std::memcpy(block + position, buffer, count);
    position = static_cast<uint32_t>(end);
    if (position > length) length = position;
}

bool CZipMemStream::IsClosed()
{
    return block == nullptr;
}

void CZipMemStream::Grow(uint64_t needed)
{
    if (capacity >= needed) return;
    if (growStep == 0 || needed > kMaxSize) ThrowZipException(ZipError::zlibMemory);
    uint64_t missing = needed - capacity;
    uint64_t steps = (missing + growStep - 1) / growStep;
    uint64_t newCapacity = capacity + steps * growStep;
    // The last step may overshoot 4 GiB although the bytes asked for fit:
    // stop at the largest size a 32-bit length can describe.
    if (newCapacity > kMaxSize) newCapacity = kMaxSize;
    void* grown = std::realloc(block, static_cast<size_t>(newCapacity));
    if (grown == nullptr) ThrowZipException(ZipError::zlibMemory);
    block = static_cast<uint8_t*>(grown);
    // The new room is cleared so that a gap left by a seek past the end never
    // exposes stale heap bytes.
    std::memset(block + capacity, 0, static_cast<size_t>(newCapacity - capacity));
    capacity = static_cast<uint32_t>(newCapacity);
}
