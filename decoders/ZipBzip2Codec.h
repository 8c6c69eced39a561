#pragma once
#include <bzlib.h>

#include "decoders/ZipStreamCodec.h"

// Method 12: bzip2 streams through libbz2, each decoded to its end marker;
// streams follow one another as the bzip2 tool concatenates them.
class CZipBzip2Codec : public CZipStreamCodec {
public:
    CZipBzip2Codec() : stream() {}
    ~CZipBzip2Codec() override;
    CZipBzip2Codec(const CZipBzip2Codec&) = delete;
    CZipBzip2Codec& operator=(const CZipBzip2Codec&) = delete;

    bool Reset(const CZipEntryHeader& header) override;
    int Decode(const uint8_t*& in, uint32_t& inLength, uint8_t*& out, uint32_t& outLength) override;
    bool SpansStreams() const override { return true; }

private:
    void Release();
    bool Start();

    bz_stream stream;
    bool ready = false;
    bool ended = false;
    // A stream has ended; the next bytes decide whether another follows.
    bool betweenStreams = false;
};
