#include "storage/ZipBuffer.h"

#include <cstring>
#include <new>
#include <utility>

#include "errors/ZipException.h"

CZipBuffer::CZipBuffer(const CZipBuffer& other)
{
    Assign(other.block, other.size);
}

CZipBuffer& CZipBuffer::operator=(const CZipBuffer& other)
{
    if (this != &other) Assign(other.block, other.size);
    return *this;
}

CZipBuffer::CZipBuffer(CZipBuffer&& other) noexcept
    : block(std::exchange(other.block, nullptr)), size(std::exchange(other.size, 0))
{
}

CZipBuffer& CZipBuffer::operator=(CZipBuffer&& other) noexcept
{
    if (this != &other) {
        Release();
        block = std::exchange(other.block, nullptr);
        size = std::exchange(other.size, 0);
    }
    return *this;
}

CZipBuffer::~CZipBuffer()
{
    Release();
}

void CZipBuffer::Allocate(uint32_t newSize, bool zero)
{
    if (newSize != size) {
        Release();
        if (newSize > 0) {
            block = new (std::nothrow) uint8_t[newSize];
            if (!block) ThrowZipException(ZipError::zlibMemory);
            size = newSize;
        }
    }
    if (zero && size > 0) std::memset(block, 0, size);
}

void CZipBuffer::Release()
{
    delete[] block;
    block = nullptr;
    size = 0;
}

void CZipBuffer::Assign(const void* bytes, uint32_t newSize)
{
    Allocate(newSize);
    if (newSize > 0) std::memmove(block, bytes, newSize);
}
