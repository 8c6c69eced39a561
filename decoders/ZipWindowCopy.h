#pragma once
#include <cstdint>
#include <algorithm>
#include <cstring>

// Match copies inside a decoder's output ring, with the semantics of an LZ77
// back-reference: a source that overlaps the bytes being written repeats
// them. Neither range may run past the end of the ring; the callers split a
// copy where the ring wraps. No byte past the copied range is touched, so
// the older ring contents that later matches may still reach stay intact.
namespace ZipWindowCopy {

inline void CopyBytes(uint8_t* to, const uint8_t* from, uint32_t length)
{
    for (uint32_t i = 0; i < length; ++i) to[i] = from[i];
}

// Copies `length` bytes from `distance` bytes before `to` (at least one byte
// back, within the same ring pass).
inline void CopyBack(uint8_t* to, uint32_t distance, uint32_t length)
{
    const uint8_t* from = to - distance;
    if (distance >= 8) {
        if (length < 8) {
            CopyBytes(to, from, length);
            return;
        }
        // Eight bytes at a time never read a byte this copy has yet to write;
        // the last group ends exactly at the end, rewriting a few bytes with
        // the values they already have.
        uint32_t done = 0;
        do {
            std::memcpy(to + done, from + done, 8);
            done += 8;
        } while (done + 8 <= length);
        if (done < length) std::memcpy(to + length - 8, from + length - 8, 8);
        return;
    }
    if (distance == 1) {
        std::memset(to, *from, length);
        return;
    }
    if (length <= 16) {
        CopyBytes(to, from, length);
        return;
    }
    // A short pattern repeated: every copy doubles the stretch that repeats it.
    uint8_t* out = to;
    while (length > 0) {
        const uint32_t n = std::min<uint32_t>(length, static_cast<uint32_t>(out - from));
        std::memcpy(out, from, n);
        out += n;
        length -= n;
    }
}

// Copies n bytes inside `ring` from index `source` to index `dest`.
inline void Copy(uint8_t* ring, uint32_t source, uint32_t dest, uint32_t n)
{
    if (n == 0 || source == dest) return;  // a full-ring distance: bytes already in place
    if (source > dest) {
        // The source lies ahead, in the previous pass of the ring: reading
        // stays ahead of writing, which is what memmove does.
        std::memmove(ring + dest, ring + source, n);
        return;
    }
    CopyBack(ring + dest, dest - source, n);
}

} // namespace ZipWindowCopy
