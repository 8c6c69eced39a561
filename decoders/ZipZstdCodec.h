#pragma once
#include <zstd.h>
#include <zstd_errors.h>

#include "decoders/ZipStreamCodec.h"

// Method 93: Zstandard frames through libzstd. A frame followed directly by
// another (as the zstd tool writes when it concatenates, or a skippable
// frame, also in front of the first) goes on into it; anything else after a
// frame ends the entry's streams.
class CZipZstdCodec : public CZipStreamCodec {
public:
    ~CZipZstdCodec() override;

    bool Reset(const CZipEntryHeader& header) override;
    int Decode(const uint8_t*& in, uint32_t& inLength, uint8_t*& out, uint32_t& outLength) override;
    bool SpansStreams() const override { return true; }

private:
    ZSTD_DCtx* context = nullptr;
    bool ended = false;
    // A frame has ended; the next bytes decide whether another follows.
    bool betweenFrames = false;
};
