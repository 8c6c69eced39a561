#pragma once
#include <lzma.h>

#include "decoders/ZipStreamCodec.h"

// Method 95: an .xz stream through liblzma, decoded to its end (its index
// and footer included, so a damaged check or index is damage).
class CZipXzCodec : public CZipStreamCodec {
public:
    CZipXzCodec() : stream(LZMA_STREAM_INIT) {}
    ~CZipXzCodec() override;
    CZipXzCodec(const CZipXzCodec&) = delete;
    CZipXzCodec& operator=(const CZipXzCodec&) = delete;

    bool Reset(const CZipEntryHeader& header) override;
    int Decode(const uint8_t*& in, uint32_t& inLength, uint8_t*& out, uint32_t& outLength) override;

private:
    lzma_stream stream;
    bool ready = false;
};
