#include "decoders/ZipLzmaCodec.h"

#include <zlib.h>

#include <algorithm>

#include "archive/ZipConstants.h"
#include "archive/ZipEntryHeader.h"
#include "decoders/ZipLzmaStream.h"

namespace {
// Version (2), properties size (2), LZMA's 5 bytes of properties.
constexpr uint32_t kZipHeaderSize = 9;
constexpr uint32_t kPropertiesSize = 5;
} // namespace

CZipLzmaCodec::~CZipLzmaCodec()
{
    lzma_end(&stream);
}

bool CZipLzmaCodec::Reset(const CZipEntryHeader& header)
{
    lzma_end(&stream);
    stream = LZMA_STREAM_INIT;
    ready = true;
    started = false;
    endMarker = (header.flags & ZipFormat::flagLzmaEndMarker) != 0;
    declaredSize = header.uncompressedSize;
    zipHeaderLength = 0;
    aloneLeft = 0;
    return true;
}

int CZipLzmaCodec::TakeHeader(const uint8_t*& in, uint32_t& inLength)
{
    const uint32_t n = std::min(inLength, kZipHeaderSize - zipHeaderLength);
    std::copy(in, in + n, zipHeader + zipHeaderLength);
    zipHeaderLength += n;
    in += n;
    inLength -= n;
    if (zipHeaderLength < kZipHeaderSize) return n > 0 ? Z_OK : Z_BUF_ERROR;
    if ((zipHeader[2] | (zipHeader[3] << 8)) != kPropertiesSize) return Z_DATA_ERROR;
    // The .lzma header: properties, then the size, all ones when unknown.
    std::copy(zipHeader + 4, zipHeader + 9, aloneHeader);
    const uint64_t size = endMarker ? UINT64_MAX : declaredSize;
    for (int i = 0; i < 8; ++i) aloneHeader[5 + i] = static_cast<uint8_t>(size >> (8 * i));
    aloneLeft = sizeof aloneHeader;
    if (lzma_alone_decoder(&stream, kLzmaMemoryLimit) != LZMA_OK) return Z_MEM_ERROR;
    started = true;
    return Z_OK;
}

int CZipLzmaCodec::Decode(const uint8_t*& in, uint32_t& inLength, uint8_t*& out, uint32_t& outLength)
{
    if (!ready) return Z_STREAM_ERROR;
    bool progress = false;
    if (!started) {
        const uint32_t before = inLength;
        const int result = TakeHeader(in, inLength);
        progress = inLength != before;
        if (result != Z_OK || !started) return result;
    }
    if (aloneLeft > 0) {
        // liblzma takes the header only along with room for output.
        const uint8_t* header = aloneHeader + sizeof aloneHeader - aloneLeft;
        const int result = ZipLzmaStep(stream, header, aloneLeft, out, outLength);
        if (result != Z_OK) return result;
        progress = true;
        if (aloneLeft > 0) return Z_OK;
    }
    const int step = ZipLzmaStep(stream, in, inLength, out, outLength);
    return step == Z_BUF_ERROR && progress ? Z_OK : step;
}
