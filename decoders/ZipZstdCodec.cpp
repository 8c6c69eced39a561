#include "decoders/ZipZstdCodec.h"

#include <zlib.h>

namespace {
// Windows up to 128 MiB, as the zstd tool accepts without being told more;
// a frame asking for a larger one is refused rather than allocated.
constexpr int kWindowLogMax = 27;

// A frame's first four bytes, little-endian: Zstandard's, or those of a
// skippable frame (0x184D2A50 to 0x184D2A5F).
bool StartsFrame(const uint8_t* p, uint32_t n)
{
    if (n < 4) return false;
    const uint32_t magic = p[0] | (p[1] << 8) | (p[2] << 16) | (static_cast<uint32_t>(p[3]) << 24);
    return magic == 0xFD2FB528u || (magic & 0xFFFFFFF0u) == 0x184D2A50u;
}
} // namespace

CZipZstdCodec::~CZipZstdCodec()
{
    ZSTD_freeDCtx(context);
}

bool CZipZstdCodec::Reset(const CZipEntryHeader&)
{
    if (!context) context = ZSTD_createDCtx();
    if (!context) return false;
    ZSTD_DCtx_reset(context, ZSTD_reset_session_and_parameters);
    ZSTD_DCtx_setParameter(context, ZSTD_d_windowLogMax, kWindowLogMax);
    ended = false;
    betweenFrames = false;
    return true;
}

int CZipZstdCodec::Decode(const uint8_t*& in, uint32_t& inLength, uint8_t*& out, uint32_t& outLength)
{
    if (!context) return Z_STREAM_ERROR;
    if (ended) return Z_STREAM_END;
    if (betweenFrames) {
        // Only a frame's start goes on; anything else is not this entry's.
        if (!StartsFrame(in, inLength)) {
            ended = true;
            return Z_STREAM_END;
        }
        betweenFrames = false;
    }
    ZSTD_inBuffer input = {in, inLength, 0};
    ZSTD_outBuffer output = {out, outLength, 0};
    const size_t result = ZSTD_decompressStream(context, &output, &input);
    in += input.pos;
    inLength -= static_cast<uint32_t>(input.pos);
    out += output.pos;
    outLength -= static_cast<uint32_t>(output.pos);
    if (ZSTD_isError(result))
        return ZSTD_getErrorCode(result) == ZSTD_error_memory_allocation ? Z_MEM_ERROR : Z_DATA_ERROR;
    if (result == 0) {
        // A frame has ended and all of it is out; the next call looks at
        // what follows.
        betweenFrames = true;
        return Z_OK;
    }
    return input.pos > 0 || output.pos > 0 ? Z_OK : Z_BUF_ERROR;
}
