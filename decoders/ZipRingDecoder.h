#pragma once
#include <cstdint>

#include "decoders/ZipBitInput.h"
#include "decoders/ZipDecoder.h"

// Base of the LZ77 window decoders (Explode, Deflate64): they decode into a
// ring of their own whose size is a power of two, hand it out whole each
// time it fills, and stop at the header's uncompressed size where the method
// asks for that. A match that
// wraps round the ring or that a full caller buffer cuts short is kept
// (matchLength, matchDistance) and finished by CopyMatch at the next Read.
class CZipRingDecoder : public CZipWindowDecoder {
protected:
    // What the ring steps return; the decoders' own step results extend these.
    enum RingStep : int {
        ringGoing = 0,
        ringOutputFull = -1,  // the caller's buffer is full; go on at the next Read
        ringSizeReached = 4,  // the header's uncompressed size has been produced
    };

    // Starts an entry on `ring` of `size` bytes; after CZipDecoder::Init.
    // With capAtDeclaredSize the output ends at the header's uncompressed
    // size (a method without an end marker of its own); otherwise only the
    // 32-bit count bounds it.
    void StartRing(uint8_t* ring, uint32_t size, bool capAtDeclaredSize);
    // The ring is full up to windowLimit: hand it out, or end at the size.
    int WindowFull();
    // Copies the pending match into the ring, handing it out when full.
    int CopyMatch();
    // Hands out what the last, partial round of the ring holds.
    void FlushRest();

    // A hot loop's copies of the bit input and the ring position go back
    // before each call out (Restore) and are taken again after (Load).
    void Restore(const CZipBitInput& in, uint32_t pos)
    {
        input = in;
        windowPosition = pos;
    }
    void Load(CZipBitInput& in, uint32_t& pos, uint32_t& limit) const
    {
        in = input;
        pos = windowPosition;
        limit = windowLimit;
    }

    CZipBitInput input;
    uint32_t ringSize = 0;
    uint32_t matchLength = 0;     // bytes of an interrupted match still to copy
    uint32_t matchDistance = 0;
    uint32_t windowPosition = 0;  // next write index in the ring
    uint32_t windowLimit = 0;     // where this round of the ring ends (size cap)
    uint32_t outputLeft = 0;      // bytes of the header's size not yet in a finished round
    bool windowWrapped = false;   // the ring has been handed out at least once
};
