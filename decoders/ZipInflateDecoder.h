#pragma once
#include <zlib.h>

#include "decoders/ZipDecoder.h"

// Method 8 through zlib's raw inflate (no zlib header or trailer, 32 KiB
// window). Compressed blocks go through the decoder's input buffer. The zlib
// state belongs to this object: End releases it on a normal close, and the
// destructor on every other path (a close after an exception included).
class CZipInflateDecoder : public CZipDecoder {
public:
    CZipInflateDecoder();
    ~CZipInflateDecoder() override;

    bool Init(CZipStore* store, CZipEntryHeader* header, uint32_t* keys) override;
    void End() override;
    uint32_t DecodeInto(uint8_t* buffer, uint32_t length) override;
    bool FollowsOwnEnd() const override { return true; }

private:
    [[noreturn]] void ThrowZlibError(int result) const;

    z_stream zstream;
    bool streamReady = false;
    // The deflate stream's last block has been decoded.
    bool ended = false;

};
