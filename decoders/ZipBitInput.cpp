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

void CZipBitInput::RefillSlow(CZipDecoder& decoder, uint32_t& compressedLeft)
{
    while (count < 56) {
        if (next == end && !Load(decoder, compressedLeft)) {
            // No data left: zero bits stand in, counted so that a symbol
            // built from them is recognised.
            hold &= count ? (~uint64_t{0} >> (64 - count)) : 0;
            const uint32_t add = (63 - count) & ~7u;
            padBits += add;
            count += add;
            return;
        }
        if (RefillFast()) return;
        hold |= static_cast<uint64_t>(*next++) << count;
        count += 8;
    }
}

bool CZipBitInput::FillSlow(uint32_t n, CZipDecoder& decoder, uint32_t& compressedLeft)
{
    RefillSlow(decoder, compressedLeft);
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
