#pragma once
#include <cstdint>
#include <cstring>

class CZipDecoder;

// Least-significant-bit-first input for the table-driven decoders (Explode,
// Deflate64). Compressed bytes come in blocks through the decoder's
// FetchBlock into the decoder's input buffer, never past the entry's
// compressed size, and the bits are taken from a 64-bit accumulator that is
// refilled eight bytes at a time. Past the end of the data the accumulator is
// padded with zero bits; PastEnd tells whether any of them were consumed, so
// a decoder can refuse a symbol that the data does not really hold.
//
// The hot loops copy hold/count/next into locals and write them back; the
// members are the state between calls.
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

    // At least 57 bits in the accumulator afterwards (padding past the end).
    inline void Refill(CZipDecoder& decoder, uint32_t& compressedLeft)
    {
        if (!RefillFast(hold, count, next, end)) RefillSlow(decoder, compressedLeft);
    }

    // The eight-byte refill, also on a hot loop's local copies of hold, count
    // and next; false (nothing done) when fewer than eight bytes are buffered,
    // where RefillSlow has to run on the members.
    static inline bool RefillFast(uint64_t& hold, uint32_t& count, const uint8_t*& next,
                                  const uint8_t* end)
    {
        if (end - next < 8) return false;
        hold |= Load64(next) << count;
        next += (63 - count) >> 3;
        count |= 56;
        return true;
    }

    // Byte-wise refill to at least 57 bits, loading the next block when the
    // buffer runs dry and padding with zero bits once no data is left.
    void RefillSlow(CZipDecoder& decoder, uint32_t& compressedLeft);

    // Takes n (0..32) bits; the caller has refilled enough.
    inline uint32_t Take(uint32_t n)
    {
        const uint32_t v = static_cast<uint32_t>(hold) & static_cast<uint32_t>((uint64_t{1} << n) - 1);
        hold >>= n;
        count -= n;
        return v;
    }

    inline bool PastEnd() const { return count < padBits; }

    // Drops the bits up to the next byte boundary.
    void AlignToByte() { Take(count & 7u); }

    // Whole bytes still in the accumulator (after AlignToByte).
    uint32_t BufferedBytes() const { return count >= padBits ? (count - padBits) >> 3 : 0; }

    // Copies up to n bytes straight from the input (accumulator first); the
    // accumulator must be byte-aligned. Returns the bytes copied: fewer than
    // n only at the end of the data.
    uint32_t CopyBytes(uint8_t* dest, uint32_t n, CZipDecoder& decoder, uint32_t& compressedLeft);

    static inline uint64_t Load64(const uint8_t* p)
    {
        uint64_t v;
        std::memcpy(&v, p, 8);
#if defined(__BYTE_ORDER__) && __BYTE_ORDER__ == __ORDER_BIG_ENDIAN__
        v = __builtin_bswap64(v);
#endif
        return v;
    }

    // The next block of compressed bytes into the buffer; false when the
    // entry's data is used up.
    bool Load(CZipDecoder& decoder, uint32_t& compressedLeft);

    uint64_t hold = 0;
    uint32_t count = 0;     // valid bits in hold (padding included)
    uint32_t padBits = 0;   // zero bits added past the end of the data
    const uint8_t* next = nullptr;
    const uint8_t* end = nullptr;

private:
    uint8_t* buffer = nullptr;
    uint32_t size = 0;
};
