#pragma once
#include <zlib.h>

#include "decoders/ZipStreamCodec.h"

// Raw inflate through zlib. The z_stream belongs to this object and is
// released by the destructor or the next Reset.
class CZipZlibInflater : public CZipStreamCodec {
public:
    CZipZlibInflater() : zstream() {}
    ~CZipZlibInflater() override;
    CZipZlibInflater(const CZipZlibInflater&) = delete;
    CZipZlibInflater& operator=(const CZipZlibInflater&) = delete;

    bool Reset(const CZipEntryHeader& header) override;
    int Decode(const uint8_t*& in, uint32_t& inLength, uint8_t*& out, uint32_t& outLength) override;
    // zlib's message is one of its own literals.
    const char* Message() const override { return zstream.msg; }

private:
    void Release();

    z_stream zstream;
    bool ready = false;
};
