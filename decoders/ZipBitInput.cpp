#include "decoders/ZipBitInput.h"

#include <algorithm>

#include "decoders/ZipDecoder.h"

bool CZipBitInput::Load(CZipDecoder& decoder, uint32_t& compressedLeft)
{
    const uint32_t n = std::min(compressedLeft, size);
    if (n == 0) return false;
    decoder.FetchBlock(buffer, n);
    compressedLeft -= n;
    next = buffer;
    end = buffer + n;
    return true;
}

CZipBitInput CZipBitInput::RefillSlow(CZipBitInput in, CZipDecoder& decoder, uint32_t& compressedLeft)
{
    while (in.count < 56) {
        if (in.next == in.end && !in.Load(decoder, compressedLeft)) {
            // No data left: zero bits stand in, counted so that a symbol
            // built from them is recognised.
            in.hold &= in.count ? (~uint64_t{0} >> (64 - in.count)) : 0;
            const uint32_t add = (63 - in.count) & ~7u;
            in.padBits += add;
            in.count += add;
            break;
        }
        if (in.RefillFast()) break;
        in.hold |= static_cast<uint64_t>(*in.next++) << in.count;
        in.count += 8;
    }
    return in;
}

bool CZipBitInput::FillSlow(uint32_t n, CZipDecoder& decoder, uint32_t& compressedLeft)
{
    *this = RefillSlow(*this, decoder, compressedLeft);
    return count >= padBits && count - padBits >= n;
}

uint32_t CZipBitInput::CopyBytes(uint8_t* dest, uint32_t n, CZipDecoder& decoder,
                                 uint32_t& compressedLeft)
{
    uint32_t done = 0;
    while (done < n && count >= 8 && count - 8 >= padBits) {
        dest[done++] = static_cast<uint8_t>(Take(8));
    }
    if (done == n) return done;
    if (count >= 8) return done;  // only padding left in the accumulator
    // The accumulator is empty: whatever it still holds above its count was
    // read ahead from bytes that are now copied directly.
    hold = 0;
    count = 0;
    while (done < n) {
        if (next == end && !Load(decoder, compressedLeft)) break;
        const uint32_t k = std::min<uint32_t>(n - done, static_cast<uint32_t>(end - next));
        std::memcpy(dest + done, next, k);
        next += k;
        done += k;
    }
    return done;
}
