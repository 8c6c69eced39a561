#include "decoders/ZipInflateDecoder.h"

#include <zlib.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "errors/ZipException.h"
#include "storage/ZipStore.h"

CZipInflateDecoder::CZipInflateDecoder(ZipInflateBackend backendArg)
    : backend(backendArg), inflater(ZipMakeRawInflater(backendArg))
{
}

CZipInflateDecoder::~CZipInflateDecoder() = default;

bool CZipInflateDecoder::Init(CZipStore* storeArg, CZipEntryHeader* headerArg, uint32_t* keysArg)
{
    CZipDecoder::Init(storeArg, headerArg, keysArg);
    // A failed start leaves the inflater without state; the first decode
    // then answers with the stream error, which becomes the entry's error.
    inflaterReady = inflater->Reset();
    ended = false;
    start = Start();
    input = inputBuffer.data();
    inputLength = 0;
    return true;
}

void CZipInflateDecoder::ThrowZlibError(int result) const
{
    std::string path;
    if (store && store->stream) path = store->stream->GetFilePath();
    ThrowZipException(CZipException::MapZlibError(result), path);
}

void CZipInflateDecoder::TakeStart()
{
    start.taken = true;
    // A spanned archive cannot be read twice from one position: zlib reads
    // it from the start, so there is nothing to go back to.
    if (backend != ZipInflateBackend::zlib && (!store->stream || store->SpanState() != 0)) {
        backend = ZipInflateBackend::zlib;
        inflater = ZipMakeRawInflater(backend);
        inflaterReady = inflater->Reset();
    }
    if (backend == ZipInflateBackend::zlib) return;
    start.position = store->stream->GetPosition();
    start.compressedLeft = compressedLeft;
    if (encrypted && keys) std::memcpy(start.keys, keys, sizeof start.keys);
}

int CZipInflateDecoder::Run(uint8_t*& out, uint32_t& room)
{
    while (room > 0) {
        if (inputLength == 0 && compressedLeft > 0) {
            const uint32_t n = std::min(compressedLeft, inputBuffer.length());
            FetchBlock(inputBuffer.data(), n);
            compressedLeft -= n;
            input = inputBuffer.data();
            inputLength = n;
        }
        uint8_t* const before = out;
        const int result = inflaterReady ? inflater->Inflate(input, inputLength, out, room) : Z_STREAM_ERROR;
        if (result == Z_OK) continue;
        if (result != Z_STREAM_END && backend != ZipInflateBackend::zlib) {
            // What the fast back end made in the call that failed is not
            // trusted (it may reach past the damage): zlib makes it again.
            room += static_cast<uint32_t>(out - before);
            out = before;
        }
        return result;
    }
    return Z_OK;
}

int CZipInflateDecoder::RestartWithZlib(uint64_t skip)
{
    backend = ZipInflateBackend::zlib;
    inflater = ZipMakeRawInflater(backend);
    inflaterReady = inflater->Reset();
    store->stream->Seek(static_cast<int64_t>(start.position), CZipStream::begin);
    compressedLeft = start.compressedLeft;
    if (encrypted && keys) std::memcpy(keys, start.keys, sizeof start.keys);
    inputLength = 0;
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
    const uint32_t total = length - room;
    if (result == Z_OK) return total;
    ended = true;
    if (result == Z_STREAM_END) return total;
    damaged = true;
    errorCode = CZipException::MapZlibError(result);
    // What was decoded before the damage still reaches the caller; the
    // close reports the error.
    if (total > 0) return total;
    ThrowZlibError(result);
}
