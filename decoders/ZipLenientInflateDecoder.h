#pragma once
#include <zlib.h>

#include <cstdint>

#include "decoders/ZipDecoder.h"

// Method 8 read as far as zlib can be made to read damaged data: a further
// reading of an entry whose deflate data stops zlib, so that what lies behind
// the damage reaches the engine as other extractors surface it.
//
// Distances that reach in front of the data read zeros (the window starts
// as 32 KiB of zeros, as in extractors that do not check such distances).
// After damage, zlib's raw inflate is started again at the following bit
// positions, one after another: inside the damaged block with that block's
// code tables (a copy of the stream taken right after its header), or as a
// new stored or dynamic block; each time with everything decoded so far as
// its window. A start is taken when it decodes on for a while without error.
// The work is bounded: at most 1024 starts per entry, and no more than one
// for each byte of its data (16 to begin with); a new block is tried only
// where its header passes a quick check. The input is read through a window
// of its own, so memory does not grow with the entry.
//
// Every byte that comes out is delivered in order; a reading that needed a
// new start, or that ended on damage, counts as damaged.
class CZipLenientInflateDecoder : public CZipDecoder {
public:
    CZipLenientInflateDecoder();
    ~CZipLenientInflateDecoder() override;

    bool Init(CZipStore* store, CZipEntryHeader* header, uint32_t* keys) override;
    void End() override;
    uint32_t DecodeInto(uint8_t* buffer, uint32_t length) override;
    bool FollowsOwnEnd() const override { return true; }

private:
    // Keeps the input window filled well ahead of zlib's position, where the
    // data has more.
    void Fill();
    // Sets `z` up to decode from compressed bit `bit` with the output so far
    // as its window: a copy of the block's tables, or a fresh stream at a
    // block start. False when zlib cannot.
    bool StartAt(z_stream& z, bool withTables, uint64_t bit);
    // Whether decoding from `bit` goes on for a while without error.
    bool Trial(bool withTables, uint64_t bit);
    // Finds where decoding can go on after damage and moves the main stream
    // there; false when nothing within reach decodes.
    bool Resync();
    // The compressed bit position zlib's main stream has reached.
    uint64_t BitPosition() const;
    // The bit at compressed bit position `bit` (0 past the window), and n
    // of them from there, least significant first.
    uint32_t BitAt(uint64_t bit) const;
    uint32_t BitsAt(uint64_t bit, int n) const;
    // Whether a stored or dynamic block's header could start at `bit`.
    bool MayStartBlock(uint64_t bit) const;
    // The output so far as the window every start of a search is given.
    void TakeDictionary();
    void Remember(const uint8_t* bytes, uint32_t n);
    void Release();

    z_stream main;
    bool mainReady = false;
    // The stream right after the current block's header: its code tables.
    z_stream tables;
    bool haveTables = false;
    // Decoding is inside a block's data (not at or in a block header).
    bool inBlock = false;
    bool ended = false;

    // Compressed input: window[0] is byte windowStart of the entry's data.
    CZipBuffer window;
    uint64_t windowStart = 0;
    uint32_t windowLength = 0;

    // The last 32 KiB of output, as a ring, and how much has come out.
    CZipBuffer history;
    uint64_t produced = 0;
    // The window zlib is given at every start.
    CZipBuffer dictionary;
    CZipBuffer scratch;
    uint32_t startsLeft = 0;
};
