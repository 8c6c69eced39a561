#pragma once
#include "decoders/ZipCodecDecoder.h"
#include "decoders/ZipRawInflater.h"

// Method 8: raw deflate data (32 KiB window) through the build's inflate
// back end.
//
// The fast back end (ISA-L) reads whole streams exactly as zlib does, but on
// damaged or cut-short data it may stop a few bytes earlier or judge a
// broken block differently. So the moment it reports anything but progress
// or the end, the entry is decoded again from its first byte with zlib, the
// bytes already delivered are passed over, and zlib's reading goes on from
// there: what reaches the caller, and the error, are zlib's whatever back end
// started. Only damaged data pays for the second pass. zlib hands out
// everything it decodes before damage, so no staging is needed.
class CZipInflateDecoder : public CZipCodecDecoder {
public:
    explicit CZipInflateDecoder(ZipInflateBackend backend = ZipDefaultInflateBackend());

    bool Init(CZipStore* store, CZipEntryHeader* header, uint32_t* keys) override;
    uint32_t DecodeInto(uint8_t* buffer, uint32_t length) override;

private:
    // Where the compressed data starts, taken before the first fetch.
    struct Start {
        uint64_t position = 0;
        uint32_t compressedLeft = 0;
        uint32_t keys[3] = {0, 0, 0};
        bool taken = false;
    };

    bool KeepsOutputOfFailedCall() const override { return backend == ZipInflateBackend::zlib; }
    void TakeStart();
    // Switches to zlib from the entry's first byte and passes over the
    // `skip` bytes already produced: Z_OK when all of them came again, or
    // how zlib's reading ended before that.
    int RestartWithZlib(uint64_t skip);

    ZipInflateBackend backend;
    Start start;
};
