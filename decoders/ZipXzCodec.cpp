#include "decoders/ZipXzCodec.h"

#include <zlib.h>

#include "decoders/ZipLzmaStream.h"

CZipXzCodec::~CZipXzCodec()
{
    lzma_end(&stream);
}

bool CZipXzCodec::Reset(const CZipEntryHeader&)
{
    lzma_end(&stream);
    stream = LZMA_STREAM_INIT;
    ready = lzma_stream_decoder(&stream, kLzmaMemoryLimit, 0) == LZMA_OK;
    return ready;
}

int CZipXzCodec::Decode(const uint8_t*& in, uint32_t& inLength, uint8_t*& out, uint32_t& outLength)
{
    if (!ready) return Z_STREAM_ERROR;
    return ZipLzmaStep(stream, in, inLength, out, outLength);
}
