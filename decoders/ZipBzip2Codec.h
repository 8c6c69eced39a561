#pragma once
#include <bzlib.h>

#include "decoders/ZipStreamCodec.h"

// Method 12: a bzip2 stream through libbz2, decoded to its end marker.
class CZipBzip2Codec : public CZipStreamCodec {
public:
    CZipBzip2Codec() : stream() {}
    ~CZipBzip2Codec() override;
    CZipBzip2Codec(const CZipBzip2Codec&) = delete;
    CZipBzip2Codec& operator=(const CZipBzip2Codec&) = delete;

    bool Reset(const CZipEntryHeader& header) override;
    int Decode(const uint8_t*& in, uint32_t& inLength, uint8_t*& out, uint32_t& outLength) override;

private:
    void Release();

    bz_stream stream;
    bool ready = false;
    bool ended = false;
};
