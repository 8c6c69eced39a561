#pragma once
#include <cstdint>

// Bit input of the LZW-style decoders (unshrink, unreduce): the next bits of
// the compressed stream, least significant first, taken from a block of
// compressed bytes the decoder fetched. It is a small value type so that a
// decoder's hot loop can keep it in registers and store it back when it
// leaves; the decoder refills the block when it runs dry.
struct CZipLegacyBits {
    uint64_t bits = 0;      // pending bits, the next one in bit 0
    uint32_t count = 0;     // how many of them are valid (0 to 63)
    const uint8_t* next = nullptr;  // unread bytes of the current block
    const uint8_t* end = nullptr;

    // Tops the pending bits up to at least 56 from the block, as far as it
    // reaches.
    void Top()
    {
        if (end - next >= 8) {
            uint64_t v = 0;
            for (int i = 7; i >= 0; --i) v = (v << 8) | next[i];
            bits |= v << count;
            next += (63 - count) >> 3;
            count |= 56;
        } else {
            while (count <= 56 && next < end) {
                bits |= static_cast<uint64_t>(*next++) << count;
                count += 8;
            }
        }
    }
    // The low n bits (n < 32), which must be there.
    uint32_t Peek(uint32_t n) const { return static_cast<uint32_t>(bits) & ((1u << n) - 1u); }
    void Skip(uint32_t n)
    {
        bits >>= n;
        count -= n;
    }
    uint32_t Take(uint32_t n)
    {
        const uint32_t v = Peek(n);
        Skip(n);
        return v;
    }
};
