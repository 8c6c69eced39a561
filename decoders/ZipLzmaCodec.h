#pragma once
#include <lzma.h>

#include "decoders/ZipStreamCodec.h"

// Method 14: LZMA in its ZIP form, through liblzma. The data starts with a
// 2-byte encoder version, a 2-byte properties size and the properties (5
// bytes for LZMA), then the raw LZMA stream. Where general-purpose flag bit 1
// says the stream ends with an end marker it is decoded to the marker;
// otherwise it has none and the header's uncompressed size is its length.
// The ZIP header is turned into the 13-byte header of the .lzma format and
// the whole goes through liblzma's decoder of that format.
class CZipLzmaCodec : public CZipStreamCodec {
public:
    CZipLzmaCodec() : stream(LZMA_STREAM_INIT) {}
    ~CZipLzmaCodec() override;
    CZipLzmaCodec(const CZipLzmaCodec&) = delete;
    CZipLzmaCodec& operator=(const CZipLzmaCodec&) = delete;

    bool Reset(const CZipEntryHeader& header) override;
    int Decode(const uint8_t*& in, uint32_t& inLength, uint8_t*& out, uint32_t& outLength) override;
    bool EndsItself() const override { return endMarker; }

private:
    // Collects the ZIP header and starts liblzma on the .lzma header made of
    // it: Z_OK while collecting or once started, Z_BUF_ERROR when more bytes
    // are needed and none are left, Z_DATA_ERROR for properties that are
    // not LZMA's.
    int TakeHeader(const uint8_t*& in, uint32_t& inLength);

    lzma_stream stream;
    bool ready = false;
    bool started = false;
    bool endMarker = false;
    uint64_t declaredSize = 0;
    uint8_t zipHeader[9] = {};
    uint32_t zipHeaderLength = 0;
    // The .lzma header made from it, and how much of it liblzma has not
    // taken yet.
    uint8_t aloneHeader[13] = {};
    uint32_t aloneLeft = 0;
};
