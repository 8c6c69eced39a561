#pragma once
#include <lzma.h>

#include "decoders/ZipStreamCodec.h"

// Method 95: .xz streams through liblzma, each decoded to its end (its index
// and footer included, so a damaged check or index is damage). Streams
// follow one another as the xz tool concatenates them, with stream padding
// (zeros in fours) between them allowed.
class CZipXzCodec : public CZipStreamCodec {
public:
    CZipXzCodec() : stream(LZMA_STREAM_INIT) {}
    ~CZipXzCodec() override;
    CZipXzCodec(const CZipXzCodec&) = delete;
    CZipXzCodec& operator=(const CZipXzCodec&) = delete;

    bool Reset(const CZipEntryHeader& header) override;
    int Decode(const uint8_t*& in, uint32_t& inLength, uint8_t*& out, uint32_t& outLength) override;
    bool SpansStreams() const override { return true; }

private:
    bool Start();

    lzma_stream stream;
    bool ready = false;
    bool ended = false;
    // A stream has ended; the next bytes decide whether another follows.
    bool betweenStreams = false;
};
