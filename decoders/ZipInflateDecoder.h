#pragma once
#include <memory>

#include "decoders/ZipDecoder.h"
#include "decoders/ZipRawInflater.h"

// Method 8: raw deflate data (32 KiB window) through the build's inflate
// back end. Compressed blocks go through the decoder's input buffer.
//
// The fast back end (ISA-L) reads whole streams exactly as zlib does, but on
// damaged or cut-short data it may stop a few bytes earlier or judge a
// broken block differently. So the moment it reports anything but progress
// or the end, the entry is decoded again from its first byte with zlib, the
// bytes already delivered are passed over, and zlib's reading goes on from
// there: what reaches the caller, and the error, are zlib's whatever back end
// started. Only damaged data pays for the second pass.
//
// The back ends' states belong to this object and live until its
// destructor, so a close after an exception frees them too.
class CZipInflateDecoder : public CZipDecoder {
public:
    explicit CZipInflateDecoder(ZipInflateBackend backend = ZipDefaultInflateBackend());
    ~CZipInflateDecoder() override;

    bool Init(CZipStore* store, CZipEntryHeader* header, uint32_t* keys) override;
    uint32_t DecodeInto(uint8_t* buffer, uint32_t length) override;
    bool FollowsOwnEnd() const override { return true; }

private:
    // Where the compressed data starts, taken before the first fetch.
    struct Start {
        uint64_t position = 0;
        uint32_t compressedLeft = 0;
        uint32_t keys[3] = {0, 0, 0};
        bool taken = false;
    };

    // Inflates into out until room is 0 (Z_OK) or the stream ends or fails
    // (the back end's result), fetching compressed blocks as needed.
    int Run(uint8_t*& out, uint32_t& room);
    void TakeStart();
    // Switches to zlib from the entry's first byte and passes over the
    // `skip` bytes already produced: Z_OK when all of them came again, or
    // how zlib's reading ended before that.
    int RestartWithZlib(uint64_t skip);
    [[noreturn]] void ThrowZlibError(int result) const;

    ZipInflateBackend backend;
    std::unique_ptr<CZipRawInflater> inflater;
    bool inflaterReady = false;
    Start start;
    // Compressed bytes fetched and not yet taken by the inflater.
    const uint8_t* input = nullptr;
    uint32_t inputLength = 0;
    // The deflate stream's last block has been decoded, or it failed.
    bool ended = false;
};
