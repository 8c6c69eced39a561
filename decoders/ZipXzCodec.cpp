#include "decoders/ZipXzCodec.h"

#include <zlib.h>

#include <cstring>

#include "decoders/ZipLzmaStream.h"

namespace {
constexpr uint8_t kStreamMagic[6] = {0xFD, '7', 'z', 'X', 'Z', 0x00};
constexpr uint32_t kPaddingUnit = 4;
} // namespace

CZipXzCodec::~CZipXzCodec()
{
    lzma_end(&stream);
}

bool CZipXzCodec::Start()
{
    lzma_end(&stream);
    stream = LZMA_STREAM_INIT;
    ready = lzma_stream_decoder(&stream, kLzmaMemoryLimit, 0) == LZMA_OK;
    return ready;
}

bool CZipXzCodec::Reset(const CZipEntryHeader&)
{
    ended = false;
    betweenStreams = false;
    return Start();
}

int CZipXzCodec::Decode(const uint8_t*& in, uint32_t& inLength, uint8_t*& out, uint32_t& outLength)
{
    if (!ready) return Z_STREAM_ERROR;
    if (ended) return Z_STREAM_END;
    if (betweenStreams) {
        static const uint8_t zeros[kPaddingUnit] = {};
        if (inLength >= kPaddingUnit && std::memcmp(in, zeros, kPaddingUnit) == 0) {
            in += kPaddingUnit;
            inLength -= kPaddingUnit;
            return Z_OK;
        }
        // Only a stream's start goes on; anything else is not this entry's.
        if (inLength < sizeof kStreamMagic || std::memcmp(in, kStreamMagic, sizeof kStreamMagic) != 0) {
            ended = true;
            return Z_STREAM_END;
        }
        if (!Start()) return Z_MEM_ERROR;
        betweenStreams = false;
    }
    const int result = ZipLzmaStep(stream, in, inLength, out, outLength);
    if (result != Z_STREAM_END) return result;
    // A stream has ended and all of it is out; the next call looks at what
    // follows.
    betweenStreams = true;
    return Z_OK;
}
