#include "decoders/ZipInflateDecoder.h"

#include <algorithm>
#include <string>

#include "errors/ZipException.h"
#include "storage/ZipStore.h"

namespace {
// Raw deflate data with a 32 KiB window.
constexpr int kRawWindowBits = -15;
} // namespace

CZipInflateDecoder::CZipInflateDecoder() : zstream() {}

CZipInflateDecoder::~CZipInflateDecoder()
{
    End();
}

bool CZipInflateDecoder::Init(CZipStore* storeArg, CZipEntryHeader* headerArg, uint32_t* keysArg)
{
    CZipDecoder::Init(storeArg, headerArg, keysArg);
    End();
    zstream = z_stream();
    zstream.zalloc = Z_NULL;
    zstream.zfree = Z_NULL;
    zstream.opaque = Z_NULL;
    // A failed start leaves the stream without state; the first inflate then
    // answers with zlib's stream error, which becomes the entry's error.
    streamReady = inflateInit2(&zstream, kRawWindowBits) == Z_OK;
    zstream.total_out = 0;
    zstream.avail_in = 0;
    zstream.next_in = inputBuffer.data();
    return true;
}

void CZipInflateDecoder::End()
{
    if (streamReady) inflateEnd(&zstream);
    streamReady = false;
}

void CZipInflateDecoder::ThrowZlibError(int result) const
{
    std::string path;
    if (store && store->stream) path = store->stream->GetFilePath();
    ThrowZipException(CZipException::MapZlibError(result), path);
}

uint32_t CZipInflateDecoder::Read(uint8_t* buffer, uint32_t length)
{
    zstream.next_out = buffer;
    zstream.avail_out = std::min(length, uncompressedLeft);
    uint32_t total = 0;
    // A read that can deliver nothing still runs the inflater over what is
    // left, so that the deflate stream is seen to its end.
    const bool drain = zstream.avail_out == 0 && compressedLeft > 0;
    while (zstream.avail_out > 0 || (drain && compressedLeft > 0)) {
        if (zstream.avail_in == 0 && compressedLeft > 0) {
            const uint32_t n = std::min(compressedLeft, inputBuffer.length());
            FetchBlock(inputBuffer.data(), n);
            compressedLeft -= n;
            zstream.next_in = inputBuffer.data();
            zstream.avail_in = n;
        }
        const uLong before = zstream.total_out;
        uint8_t* const from = zstream.next_out;
        const int result = streamReady ? inflate(&zstream, Z_SYNC_FLUSH) : Z_STREAM_ERROR;
        const uint32_t produced = static_cast<uint32_t>(zstream.total_out - before);
        UpdateCrc(from, produced);
        uncompressedLeft -= produced;
        total += produced;
        if (result == Z_STREAM_END) return total;
        if (result != Z_OK && result != Z_NEED_DICT) ThrowZlibError(result);
    }
    return total;
}
