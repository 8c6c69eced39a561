#pragma once
#include <cstdint>

#include "archive/ZipBuffer.h"

class CZipStore;
class CZipEntryHeader;

// Base of every method's decoder: binds to one entry, counts the compressed
// bytes still to fetch and the uncompressed bytes still expected, keeps the
// CRC-32 of what it delivered, and offers byte and bit input with traditional
// decryption. The virtual slot order is part of the decoder interface.
class CZipDecoder {
public:
    CZipDecoder();
    virtual ~CZipDecoder();                                                      // 0
    CZipDecoder(const CZipDecoder&) = delete;
    CZipDecoder& operator=(const CZipDecoder&) = delete;

    virtual bool Init(CZipStore* store, CZipEntryHeader* header, uint32_t* keys); // 1
    virtual void End() {}                                                         // 2
    virtual uint32_t Read(uint8_t* buffer, uint32_t length) = 0;                  // 3
    virtual bool Put(const uint8_t* buffer, uint32_t length)                      // 4
    {
        (void)buffer;
        (void)length;
        return false;
    }

    uint32_t UncompressedLeft() const { return uncompressedLeft; }
    uint32_t Crc() const { return crc; }

    // One compressed byte, decrypted; 0xFF without a fetch once none is left.
    // Bytes are read ahead in blocks (never past the entry's compressed size)
    // into the input buffer, so the bit readers do not cost one stream read
    // per byte; compressedLeft still counts the bytes not yet handed out.
    uint8_t FetchByte();
    // The next n (0..16) bits, least significant first; 0 and inputExhausted
    // when the data ends before n bits are there.
    uint32_t GetBits(int n);
    // Fills the bit buffer to at least n bits, one byte at a time.
    void NeedBits(int n);
    // Reads n compressed bytes (all required; a short archive throws 101, or
    // 108 in a spanned one) and decrypts them in place when the entry is
    // encrypted. Bytes FetchByte has read ahead come first. The counters are
    // left to the caller.
    void FetchBlock(uint8_t* buffer, uint32_t n);
    void UpdateCrc(const uint8_t* bytes, uint32_t n);

protected:
    uint32_t uncompressedLeft = 0;
    uint32_t crc = 0;
    CZipStore* store = nullptr;
    CZipEntryHeader* header = nullptr;
    uint32_t compressedLeft = 0;
    bool encrypted = false;
    CZipBuffer inputBuffer;
    uint32_t inputBufferSize = 65536;
    uint32_t* keys = nullptr;
    uint32_t bitBuffer = 0;
    int32_t bitCount = 0;
    bool inputExhausted = false;

private:
    void RefillReadAhead();

    // Read-ahead of FetchByte inside inputBuffer: next byte and bytes left.
    uint32_t readAheadPosition = 0;
    uint32_t readAheadCount = 0;
};

// Base of the decoders that decode ahead of the caller into a window of their
// own (Explode, Deflate64) and hand out the window's pending bytes.
class CZipWindowDecoder : public CZipDecoder {
public:
    uint32_t Read(uint8_t* buffer, uint32_t length) override;
    virtual bool Produce() = 0;                                                   // 5

protected:
    void Deliver();
    // Makes the first n window bytes pending, counts them and delivers what
    // fits; true while the caller still wants bytes.
    bool FlushWindow(uint32_t n);

    uint8_t* outputPosition = nullptr;
    uint32_t outputRoom = 0;
    uint8_t* window = nullptr;
    uint8_t* pendingPosition = nullptr;
    uint32_t pendingCount = 0;
};
