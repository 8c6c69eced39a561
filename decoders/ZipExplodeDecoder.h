#pragma once
#include <cstdint>

#include "decoders/ZipHuffman.h"
#include "decoders/ZipRingDecoder.h"

// Method 6 (imploded): a sliding dictionary of 4 or 8 KiB (flags bit 1)
// whose lengths and distances, and with flags bit 2 also its literals, are
// coded with Shannon-Fano trees sent at the start of the data. The trees are
// read and their tables built at Init; the output goes through a 32 KiB ring
// handed out by the window delivery, and a match cut short by a full caller
// buffer is finished at the next Read.
//
// The data ends when the header's uncompressed size has been produced, when
// a symbol would need bits the compressed data does not have, or at an
// invalid code; what was decoded up to there is delivered and the close
// judges it. A match reaching before the first byte copies zero bytes for
// the missing part. A decoder whose trees could not be built delivers
// nothing.
class CZipExplodeDecoder : public CZipRingDecoder {
public:
    CZipExplodeDecoder();
    ~CZipExplodeDecoder() override;

    // Reads the trees and builds their tables; false when they do not build.
    bool Init(CZipStore* store, CZipEntryHeader* header, uint32_t* keys) override;
    void End() override;
    bool Produce() override;

    static constexpr uint32_t windowSize = 32768;

private:
    enum StepResult : int {
        going = ringGoing,
        outputFull = ringOutputFull,
        dataEnded = 1,
        sizeReached = ringSizeReached,
    };

    int BuildTrees();
    // Reads a compressed tree description of n code lengths into `lengths`.
    int ReadTreeLengths(uint32_t* lengths, uint32_t n);
    int DecodeLoop();
    void FreeTables();

    CZipHuffmanTable literalTable;
    CZipHuffmanTable lengthTable;
    CZipHuffmanTable distanceTable;
    uint32_t literalBits = 0;
    uint32_t lengthBits = 0;
    uint32_t distanceBits = 0;
    uint32_t lowDistanceBits = 6;
    uint32_t bitLengths[256] = {};  // code lengths of the tree being built
    // Set once the data has ended (size reached, or damage): only what the
    // ring still holds is handed out. Otherwise the next Read waits for a
    // match the caller's buffer cut short (matchLength), then for symbols.
    bool finished = false;
    uint8_t ring[windowSize];
};
