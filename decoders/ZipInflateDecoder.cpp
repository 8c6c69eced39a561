#include "decoders/ZipInflateDecoder.h"

#include <zlib.h>

#include <algorithm>
#include <cstring>
#include <vector>

#include "storage/ZipStore.h"

CZipInflateDecoder::CZipInflateDecoder(ZipInflateBackend backendArg)
    : CZipCodecDecoder(ZipMakeRawInflater(backendArg), false), backend(backendArg)
{
}

bool CZipInflateDecoder::Init(CZipStore* storeArg, CZipEntryHeader* headerArg, uint32_t* keysArg)
{
    CZipCodecDecoder::Init(storeArg, headerArg, keysArg);
    start = Start();
    return true;
}

void CZipInflateDecoder::TakeStart()
{
    start.taken = true;
    // A spanned archive cannot be read twice from one position: zlib reads
    // it from the start, so there is nothing to go back to.
    if (backend != ZipInflateBackend::zlib && (!store->stream || store->SpanState() != 0)) {
        backend = ZipInflateBackend::zlib;
        Replace(ZipMakeRawInflater(backend));
    }
    if (backend == ZipInflateBackend::zlib) return;
    start.position = store->stream->GetPosition();
    start.compressedLeft = compressedLeft;
    if (encrypted && keys) std::memcpy(start.keys, keys, sizeof start.keys);
}

int CZipInflateDecoder::RestartWithZlib(uint64_t skip)
{
    backend = ZipInflateBackend::zlib;
    Replace(ZipMakeRawInflater(backend));
    store->stream->Seek(static_cast<int64_t>(start.position), CZipStream::begin);
    compressedLeft = start.compressedLeft;
    if (encrypted && keys) std::memcpy(keys, start.keys, sizeof start.keys);
    std::vector<uint8_t> scratch(static_cast<size_t>(std::min<uint64_t>(skip, 65536)));
    while (skip > 0) {
        uint8_t* out = scratch.data();
        uint32_t room = static_cast<uint32_t>(std::min<uint64_t>(skip, scratch.size()));
        const uint32_t want = room;
        const int result = Run(out, room);
        skip -= want - room;
        if (result != Z_OK) return skip == 0 && result == Z_STREAM_END ? Z_OK : result;
    }
    return Z_OK;
}

uint32_t CZipInflateDecoder::DecodeInto(uint8_t* buffer, uint32_t length)
{
    if (ended) return 0;
    if (!start.taken) TakeStart();
    uint8_t* out = buffer;
    uint32_t room = length;
    // The stream is decoded to its own end, whatever size the header gave.
    int result = Run(out, room);
    if (result != Z_OK && result != Z_STREAM_END && backend != ZipInflateBackend::zlib) {
        // zlib reads the entry again; the bytes of this call are among
        // those it passes over, so it fills the rest of the buffer.
        const uint32_t made = length - room;
        result = RestartWithZlib(static_cast<uint64_t>(delivered) + made);
        if (result == Z_OK) result = Run(out, room);
    }
    return Finish(result, length - room);
}
