#pragma once
#include <cstdint>

#include "decoders/ZipDecoder.h"
#include "decoders/ZipBitInput.h"

// Methods 2 to 4 (reduced with compression factor 1 to 3). A first stage
// predicts each byte from the one before it through 256 follower sets; a
// second stage expands runs and back references introduced by the escape
// byte 0x90 into a 16 KiB window, which is handed to the caller whenever it
// fills and when the data ends.
class CZipUnreduceDecoder : public CZipWindowDecoder {
public:
    // factor: 1 to 3 (method minus one). Factor 4 (method 5) decodes as well,
    // though the archive refuses to open such entries; other values are
    // taken as 1.
    explicit CZipUnreduceDecoder(uint32_t factor);
    ~CZipUnreduceDecoder() override;

    bool Init(CZipStore* store, CZipEntryHeader* header, uint32_t* keys) override;
    bool Produce() override;

    static constexpr uint32_t windowSize = 16384;
    static constexpr uint32_t escapeByte = 0x90;

private:
    void Decode();

    // Where the second stage stands between first-stage bytes.
    enum EscapeState : uint32_t {
        plainByte,     // waiting for a byte: a literal, or the escape
        afterEscape,   // waiting for the byte after the escape: 0 for the escape itself, else a length
        lengthByte,    // waiting for the byte added to a length whose bits are all set
        distanceByte,  // waiting for the distance's low byte, which starts the back reference
    };

    uint32_t lastSymbol = 0;
    EscapeState escapeState = plainByte;
    uint32_t escapeValue = 0;     // the byte after the escape
    uint32_t length = 0;
    uint32_t windowPosition = 0;
    // Bytes still to decode into the window. uncompressedLeft counts only
    // what the caller received, so an entry closed while decoded bytes are
    // still pending is reported unfinished rather than checked against a
    // CRC it never delivered.
    uint32_t decodeLeft = 0;
    // Waiting for room in the window or the caller's buffer: a back
    // reference being copied, bytes still to copy and where from.
    uint32_t matchLeft = 0;
    uint32_t matchSource = 0;
    // Set when the input ran out before the header's size was reached.
    bool finished = false;
    CZipBitInput input;
    uint32_t factor = 1;
    uint32_t lengthMask = 0x7F;
    uint32_t distanceShift = 7;
    uint32_t distanceMask = 0x01;
    uint8_t ring[windowSize];
    // Up to 63 successors per preceding byte; 64 bytes each, so that an index
    // past a set's count still lands inside it.
    uint8_t followers[256][64];
    uint8_t followerCount[256];
    uint8_t indexWidth[256];
    // Compressed bytes on their way into the bit input.
    static constexpr uint32_t inputBlockSize = 8192;
    uint8_t inputBlock[inputBlockSize];
};
