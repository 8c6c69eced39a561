#pragma once
#include <cstdint>
#include <cstring>

class CZipDecoder;

// Least-significant-bit-first input of the decoders that read the
// compressed stream bit by bit (Explode, Deflate64, Unshrink, Unreduce).
// Compressed bytes come in blocks through the decoder's FetchBlock into a
// buffer the decoder owns, never past the entry's compressed size, and the
// bits are taken from a 64-bit accumulator that is refilled eight bytes at a
// time. Past the end of the data the accumulator is padded with zero bits;
// PastEnd tells whether any of them were consumed, so a decoder can refuse a
// symbol that the data does not really hold.
//
// It is a small value type. A hot loop copies the decoder's reader into a
// local and copies it back before it leaves or calls out (zlib's LOAD and
// RESTORE). The local's address must not escape the loop, not even into a
// lambda's captures: stores into the output could otherwise alias it and
// force it through memory. Refill is safe on a local (its slow part takes
// and gives the reader by value); Fill and CopyBytes are for the member.
class CZipBitInput {
public:
    void Reset(uint8_t* bufferArg, uint32_t sizeArg)
    {
        buffer = bufferArg;
        size = sizeArg;
        next = end = buffer;
        hold = 0;
        count = 0;
        padBits = 0;
    }

    // The eight-byte refill to at least 56 bits; false (nothing done) when
    // fewer than eight bytes are buffered, where RefillSlow has to run.
    inline bool RefillFast()
    {
        if (end - next < 8) return false;
        hold |= Load64(next) << count;
        next += (63 - count) >> 3;
        count |= 56;
        return true;
    }

    // At least 56 bits in the accumulator afterwards (padding past the end).
    inline void Refill(CZipDecoder& decoder, uint32_t& compressedLeft)
    {
        if (!RefillFast()) *this = RefillSlow(*this, decoder, compressedLeft);
    }

    // Byte-wise refill to at least 56 bits, loading the next block when the
    // buffer runs dry and padding with zero bits once no data is left.
    static CZipBitInput RefillSlow(CZipBitInput in, CZipDecoder& decoder, uint32_t& compressedLeft);

    // Makes n (up to 56) bits of real data available; false when the data
    // ends first, with nothing taken.
    inline bool Fill(uint32_t n, CZipDecoder& decoder, uint32_t& compressedLeft)
    {
        if (count >= n && count - n >= padBits) return true;
        return FillSlow(n, decoder, compressedLeft);
    }
    bool FillSlow(uint32_t n, CZipDecoder& decoder, uint32_t& compressedLeft);

    // The low n (0..31) bits, which the caller has refilled.
    inline uint32_t Peek(uint32_t n) const { return static_cast<uint32_t>(hold) & ((1u << n) - 1u); }
    inline void Drop(uint32_t n)
    {
        hold >>= n;
        count -= n;
    }
    // Takes n (0..32) bits; the caller has refilled enough.
    inline uint32_t Take(uint32_t n)
    {
        const uint32_t v = static_cast<uint32_t>(hold) & static_cast<uint32_t>((uint64_t{1} << n) - 1);
        Drop(n);
        return v;
    }

    // Some of the zero bits standing in past the end have been taken.
    inline bool PastEnd() const { return count < padBits; }

    // Drops the bits up to the next byte boundary.
    void AlignToByte() { Drop(count & 7u); }

    // Copies up to n bytes straight from the input (accumulator first); the
    // accumulator must be byte-aligned. Returns the bytes copied: fewer than
    // n only at the end of the data.
    uint32_t CopyBytes(uint8_t* dest, uint32_t n, CZipDecoder& decoder, uint32_t& compressedLeft);

    // Eight bytes, the first in the low bits, on any host.
    static inline uint64_t Load64(const uint8_t* p)
    {
        uint64_t v;
        std::memcpy(&v, p, 8);
#if defined(__BYTE_ORDER__) && __BYTE_ORDER__ == __ORDER_BIG_ENDIAN__
        v = __builtin_bswap64(v);
#endif
        return v;
    }

    // The fields in the order that keeps the pointers apart: next and end
    // side by side make the compiler carry them as one vector register
    // through the hot loops, which costs every refill.
    uint64_t hold = 0;      // pending bits, the next one in bit 0
    const uint8_t* next = nullptr;  // unread bytes of the current block
    uint32_t count = 0;     // valid bits in hold (padding included)
    uint32_t padBits = 0;   // zero bits added past the end of the data
    const uint8_t* end = nullptr;

private:
    // The next block of compressed bytes into the buffer; false when the
    // entry's data is used up.
    bool Load(CZipDecoder& decoder, uint32_t& compressedLeft);

    uint8_t* buffer = nullptr;
    uint32_t size = 0;
};
