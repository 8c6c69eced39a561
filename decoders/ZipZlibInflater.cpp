#include "decoders/ZipZlibInflater.h"

namespace {
// Raw deflate data with a 32 KiB window.
constexpr int kRawWindowBits = -15;
} // namespace

CZipZlibInflater::~CZipZlibInflater()
{
    Release();
}

void CZipZlibInflater::Release()
{
    if (ready) inflateEnd(&zstream);
    ready = false;
}

bool CZipZlibInflater::Reset(const CZipEntryHeader&)
{
    if (ready) return inflateReset(&zstream) == Z_OK;
    zstream = z_stream();
    zstream.zalloc = Z_NULL;
    zstream.zfree = Z_NULL;
    zstream.opaque = Z_NULL;
    ready = inflateInit2(&zstream, kRawWindowBits) == Z_OK;
    return ready;
}

int CZipZlibInflater::Decode(const uint8_t*& in, uint32_t& inLength, uint8_t*& out, uint32_t& outLength)
{
    if (!ready) return Z_STREAM_ERROR;
    zstream.next_in = const_cast<Bytef*>(in);
    zstream.avail_in = inLength;
    zstream.next_out = out;
    zstream.avail_out = outLength;
    const int result = inflate(&zstream, Z_SYNC_FLUSH);
    in = zstream.next_in;
    inLength = zstream.avail_in;
    out = zstream.next_out;
    outLength = zstream.avail_out;
    // A raw stream has no dictionary to ask for: keep going as zlib would.
    return result == Z_NEED_DICT ? Z_OK : result;
}
