#include "decoders/ZipBzip2Codec.h"

#include <zlib.h>

CZipBzip2Codec::~CZipBzip2Codec()
{
    Release();
}

void CZipBzip2Codec::Release()
{
    if (ready) BZ2_bzDecompressEnd(&stream);
    ready = false;
}

bool CZipBzip2Codec::Start()
{
    Release();
    stream = bz_stream();
    // Not the small-memory mode: it halves the memory (about 2.3 MB instead
    // of 3.5 at most) at twice the time.
    ready = BZ2_bzDecompressInit(&stream, 0, 0) == BZ_OK;
    return ready;
}

bool CZipBzip2Codec::Reset(const CZipEntryHeader&)
{
    ended = false;
    betweenStreams = false;
    return Start();
}

int CZipBzip2Codec::Decode(const uint8_t*& in, uint32_t& inLength, uint8_t*& out, uint32_t& outLength)
{
    if (!ready) return Z_STREAM_ERROR;
    if (ended) return Z_STREAM_END;
    if (betweenStreams) {
        // Only a stream's start ("BZh" and the block size) goes on.
        if (inLength < 4 || in[0] != 'B' || in[1] != 'Z' || in[2] != 'h' || in[3] < '1' || in[3] > '9') {
            ended = true;
            return Z_STREAM_END;
        }
        if (!Start()) return Z_MEM_ERROR;
        betweenStreams = false;
    }
    stream.next_in = reinterpret_cast<char*>(const_cast<uint8_t*>(in));
    stream.avail_in = inLength;
    stream.next_out = reinterpret_cast<char*>(out);
    stream.avail_out = outLength;
    const int result = BZ2_bzDecompress(&stream);
    const bool progress = stream.avail_in != inLength || stream.avail_out != outLength;
    in += inLength - stream.avail_in;
    inLength = stream.avail_in;
    out += outLength - stream.avail_out;
    outLength = stream.avail_out;
    switch (result) {
    case BZ_STREAM_END:
        // All of the stream is out; the next call looks at what follows.
        betweenStreams = true;
        return Z_OK;
    case BZ_OK: return progress ? Z_OK : Z_BUF_ERROR;
    case BZ_MEM_ERROR: return Z_MEM_ERROR;
    default: return Z_DATA_ERROR;
    }
}
