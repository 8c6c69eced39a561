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
    ended = false;
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

uint32_t CZipInflateDecoder::DecodeInto(uint8_t* buffer, uint32_t length)
{
    if (ended) return 0;
    zstream.next_out = buffer;
    zstream.avail_out = length;
    uint32_t total = 0;
    // The stream is decoded to its own end, whatever size the header gave.
    while (zstream.avail_out > 0) {
        if (zstream.avail_in == 0 && compressedLeft > 0) {
            const uint32_t n = std::min(compressedLeft, inputBuffer.length());
            FetchBlock(inputBuffer.data(), n);
            compressedLeft -= n;
            zstream.next_in = inputBuffer.data();
            zstream.avail_in = n;
        }
        const uLong before = zstream.total_out;
        const int result = streamReady ? inflate(&zstream, Z_SYNC_FLUSH) : Z_STREAM_ERROR;
        total += static_cast<uint32_t>(zstream.total_out - before);
        if (result == Z_STREAM_END) {
            ended = true;
            return total;
        }
        if (result != Z_OK && result != Z_NEED_DICT) {
            damaged = true;
            ended = true;
            errorCode = CZipException::MapZlibError(result);
            // What was decoded before the damage still reaches the caller;
            // the close reports the error.
            if (total > 0) return total;
            ThrowZlibError(result);
        }
    }
    return total;
}
