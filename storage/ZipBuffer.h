#pragma once
#include <cstdint>

// An owned byte block with a 32-bit length. Allocate(n) replaces the block only
// when n differs from the current length; the zero option clears the n bytes
// either way. Copies are deep.
class CZipBuffer {
public:
    CZipBuffer() = default;
    explicit CZipBuffer(uint32_t size, bool zero = false) { Allocate(size, zero); }
    CZipBuffer(const CZipBuffer& other);
    CZipBuffer& operator=(const CZipBuffer& other);
    CZipBuffer(CZipBuffer&& other) noexcept;
    CZipBuffer& operator=(CZipBuffer&& other) noexcept;
    virtual ~CZipBuffer();

    // Throws code 505 when the memory cannot be had.
    void Allocate(uint32_t size, bool zero = false);
    void Release();
    void Assign(const void* bytes, uint32_t size);

    uint8_t* data() { return block; }
    const uint8_t* data() const { return block; }
    uint32_t length() const { return size; }
    bool empty() const { return size == 0; }
    uint8_t& operator[](uint32_t i) { return block[i]; }
    const uint8_t& operator[](uint32_t i) const { return block[i]; }

private:
    uint8_t* block = nullptr;
    uint32_t size = 0;
};
