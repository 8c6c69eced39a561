#pragma once
#include <cstdint>

#include "storage/ZipBuffer.h"

class CZipStore;
class CZipEntryHeader;
class CZipAesDecryption;

// Base of every method's decoder: binds to one entry, counts the compressed
// bytes still to fetch, and offers byte and bit input with traditional
// decryption. Every decoded byte leaves through Read, the one place that
// counts it, keeps the CRC-32 of what was delivered and bounds the entry at
// what a 32-bit size can say: the methods themselves decode to the end of
// their own data (the header's uncompressed size does not cut them short,
// except where the method has no end marker of its own). The virtual slot
// order is part of the decoder interface.
// Why a decoder stopped short of its data's end (see CZipDecoder::StopReason).
enum class ZipStopReason : uint8_t {
    none,
    inputEnded,
    outputLimit,
    invalidData,
    invalidBlockType,
    invalidTree,
    invalidCode,
    invalidCodeSize,
    invalidFirstCode,
    bytesAfterEnd,
    outOfMemory,
    streamError,
    library,  // the decoding library's own message says
};

class CZipDecoder {
public:
    CZipDecoder();
    virtual ~CZipDecoder();                                                      // 0
    CZipDecoder(const CZipDecoder&) = delete;
    CZipDecoder& operator=(const CZipDecoder&) = delete;

    virtual bool Init(CZipStore* store, CZipEntryHeader* header, uint32_t* keys); // 1
    virtual void End() {}                                                         // 2
    // The method's own decoding into buffer; fewer than length bytes means
    // its data has ended (or turned out damaged, see Damaged).
    virtual uint32_t DecodeInto(uint8_t* buffer, uint32_t length) = 0;            // 3
    virtual bool Put(const uint8_t* buffer, uint32_t length)                      // 4
    {
        (void)buffer;
        (void)length;
        return false;
    }

    // Decoded bytes, counted and checksummed; fewer than asked means the
    // data has ended.
    uint32_t Read(uint8_t* buffer, uint32_t length);

    // Bytes of the header's uncompressed size not yet delivered (0 once as
    // many or more have been).
    uint32_t UncompressedLeft() const { return uncompressedLeft; }
    uint32_t Delivered() const { return delivered; }
    uint32_t Crc() const { return crc; }
    // The data ended on damage (an invalid code, a broken table, input that
    // ran out inside a symbol) rather than at its end.
    bool Damaged() const { return damaged; }
    // Why the data stopped short of its end, in words, as zlib's `msg`
    // says it ("invalid distance too far back", "input ended"); null while
    // it has not stopped, or where it ended at its own end. The reasons are
    // literals: the pointer stays good for the program's life.
    const char* StopReason() const;
    // The archive error the damage amounts to, where the method names one
    // (0 otherwise); the entry's close reports it.
    int ErrorCode() const { return errorCode; }
    // Lets a method with an end marker of its own read compressed bytes up to
    // `available` (from the first data byte, the encryption header included)
    // when the header's compressed size says less: a stream that runs on
    // past that size is followed to its end marker. Called right after Init.
    void AllowInputUpTo(uint32_t available);
    // True for the methods whose data carries its own end marker.
    virtual bool FollowsOwnEnd() const { return false; }

    // One compressed byte, decrypted; 0xFF without a fetch once none is left.
    // Bytes are read ahead in blocks (never past the entry's compressed size)
    // into the input buffer, so the bit readers do not cost one stream read
    // per byte; compressedLeft still counts the bytes not yet handed out.
    uint8_t FetchByte();
    // Reads n compressed bytes (all required; a short archive throws 101, or
    // 108 in a spanned one) and decrypts them in place when the entry is
    // encrypted. Bytes FetchByte has read ahead come first. The counters are
    // left to the caller.
    void FetchBlock(uint8_t* buffer, uint32_t n);
    // Like FetchBlock, but a stream that ends early gives what it holds:
    // the count of bytes fetched (and decrypted), fewer than n at the end.
    uint32_t FetchAvailable(uint8_t* buffer, uint32_t n);
    // Like FetchAvailable where the archive's stream really ends before n
    // bytes (a compressed size that reaches past the end of the archive:
    // the data ends with the stream); a read that fails before the end
    // throws as FetchBlock does.
    uint32_t FetchUpToEnd(uint8_t* buffer, uint32_t n);
    void UpdateCrc(const uint8_t* bytes, uint32_t n);
    // Decrypts the entry's data with WinZip AES (set after Init; the
    // header the decoder was given then names the real method, without the
    // encryption flag, and the size of the encrypted data alone).
    void SetAesDecryption(CZipAesDecryption* decryption) { aes = decryption; }
    // Compressed bytes not yet read from the storage.
    uint32_t UnfetchedInput() const { return compressedLeft - readAheadCount; }
    // How many compressed bytes (from the first data byte, an encryption
    // header included) the data took up to its own end marker, once the
    // method has read up to it; 0 before that, on damage, and for methods
    // that do not tell.
    uint32_t DataLength() const;

protected:
    // The data turned out damaged, for `reason` (the first reason given
    // stays).
    void Stop(ZipStopReason reason)
    {
        damaged = true;
        if (stopReason == ZipStopReason::none) stopReason = reason;
    }

    uint32_t uncompressedLeft = 0;
    uint32_t delivered = 0;
    uint32_t crc = 0;
    bool damaged = false;
    // Kept in the byte beside `damaged`: the decoders' layout, and so their
    // hot loops' alignment, stays as it was.
    ZipStopReason stopReason = ZipStopReason::none;
    int errorCode = 0;
    CZipStore* store = nullptr;
    CZipEntryHeader* header = nullptr;
    uint32_t compressedLeft = 0;
    bool encrypted = false;
    CZipBuffer inputBuffer;
    uint32_t inputBufferSize = 65536;
    uint32_t* keys = nullptr;
    bool inputExhausted = false;
    // The compressed bytes the method may fetch in all.
    uint32_t inputGranted = 0;

    // True once the method's data has ended at its own end marker, with
    // the bytes fetched but not used by it; false where it has not or
    // cannot say.
    virtual bool ReachedOwnEnd(uint32_t& unused) const
    {
        (void)unused;
        return false;
    }

private:
    void RefillReadAhead();
    // Decrypts bytes just read from the storage, as the entry is encrypted.
    void DecryptFetched(uint8_t* bytes, uint32_t n);
    // Moves up to n bytes FetchByte has read ahead into buffer; how many.
    uint32_t TakeReadAhead(uint8_t* buffer, uint32_t n);

    // Read-ahead of FetchByte inside inputBuffer: next byte and bytes left.
    uint32_t readAheadPosition = 0;
    uint32_t readAheadCount = 0;
    CZipAesDecryption* aes = nullptr;
};

// Base of the decoders that decode ahead of the caller into a window of their
// own (Explode, Deflate64) and hand out the window's pending bytes.
class CZipWindowDecoder : public CZipDecoder {
public:
    uint32_t DecodeInto(uint8_t* buffer, uint32_t length) override;
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
