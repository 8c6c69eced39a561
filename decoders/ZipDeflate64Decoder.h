#pragma once
#include <cstdint>

#include "decoders/ZipHuffman.h"
#include "decoders/ZipRingDecoder.h"

// Method 9: deflate with a 64 KiB window, length code 285 carrying 16 extra
// bits (lengths 3 to 65538) and distance codes 30 and 31 (up to 65536). Its
// own block decoder (stored, fixed and dynamic blocks) writes into a 64 KiB
// ring that is handed out through the window delivery; decoding stops
// wherever the caller's buffer fills, in a stored block or in the middle of a
// match, and continues there at the next Read.
//
// Damaged data ends the entry's data where it is found: an invalid code, a
// distance reaching before the first byte, a failed table, block type 3 or
// data that runs out. What was decoded up to there is delivered; the close
// reports the short entry. The stream is decoded to its own end, whatever
// size the header gives.
class CZipDeflate64Decoder : public CZipRingDecoder {
public:
    CZipDeflate64Decoder();
    ~CZipDeflate64Decoder() override;

    bool Init(CZipStore* store, CZipEntryHeader* header, uint32_t* keys) override;
    void End() override;
    bool Produce() override;
    bool FollowsOwnEnd() const override { return true; }

    static constexpr uint32_t windowSize = 65536;

private:
    enum StepResult : int {
        blockDone = ringGoing,
        outputFull = ringOutputFull,
        badData = 1,
        badBlockType = 2,
        noMemory = 3,
        sizeReached = ringSizeReached,
    };

    int BlockStep();
    int StartFixedBlock();
    int StartDynamicBlock();
    int StoredStep();
    int CodesStep();
    void Finish();
    uint32_t TakeBits(uint32_t n);
    void FreeBlockTables();

    // Where the stream stands between Reads. A match cut short by the
    // caller's buffer (matchLength) is finished before any of these goes on.
    enum Mode : uint8_t {
        blockHeader,  // waiting for a block header: the last-block bit and the type
        storedBytes,  // waiting for storedLength more bytes of a stored block
        codes,        // waiting for codes of a fixed or dynamic block, up to its end code
    };

    bool finished = false;        // the last block has ended, or the data turned out damaged
    bool lastBlock = false;
    Mode mode = blockHeader;
    uint32_t storedLength = 0;    // bytes left in the current stored block

    CZipHuffmanTable literalTable;
    CZipHuffmanTable distanceTable;
    uint32_t literalBits = 0;
    uint32_t distanceBits = 0;
    // The fixed block's tables, built once per entry on first use.
    CZipHuffmanTable fixedLiteralTable;
    CZipHuffmanTable fixedDistanceTable;
    uint32_t fixedLiteralBits = 0;
    uint32_t fixedDistanceBits = 0;
    // Tables of the block being decoded (the block's own or the fixed ones).
    const CZipHuffmanEntry* currentLiteral = nullptr;
    const CZipHuffmanEntry* currentDistance = nullptr;
    uint32_t currentLiteralBits = 0;
    uint32_t currentDistanceBits = 0;

    uint8_t ring[windowSize];
};
