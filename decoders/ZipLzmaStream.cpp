#include "decoders/ZipLzmaStream.h"

#include <zlib.h>

int ZipLzmaStep(lzma_stream& stream, const uint8_t*& in, uint32_t& inLength, uint8_t*& out, uint32_t& outLength)
{
    stream.next_in = in;
    stream.avail_in = inLength;
    stream.next_out = out;
    stream.avail_out = outLength;
    const lzma_ret result = lzma_code(&stream, LZMA_RUN);
    const bool progress = stream.avail_in != inLength || stream.avail_out != outLength;
    in = stream.next_in;
    inLength = static_cast<uint32_t>(stream.avail_in);
    out = stream.next_out;
    outLength = static_cast<uint32_t>(stream.avail_out);
    switch (result) {
    case LZMA_STREAM_END: return Z_STREAM_END;
    case LZMA_OK: return progress ? Z_OK : Z_BUF_ERROR;
    case LZMA_BUF_ERROR: return Z_BUF_ERROR;
    case LZMA_MEM_ERROR:
    case LZMA_MEMLIMIT_ERROR: return Z_MEM_ERROR;
    default: return Z_DATA_ERROR;
    }
}
