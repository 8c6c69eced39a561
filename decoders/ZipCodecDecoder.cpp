#include "decoders/ZipCodecDecoder.h"

#include <zlib.h>

#include <algorithm>
#include <cstring>
#include <string>

#include "errors/ZipException.h"
#include "storage/ZipStore.h"

namespace {
constexpr uint32_t kStageSize = 65536;
// Compressed bytes a codec is handed at least, where the data has them, so
// that it can tell whether another stream starts behind one that ended.
constexpr uint32_t kLookahead = 16;
} // namespace

CZipCodecDecoder::CZipCodecDecoder(std::unique_ptr<CZipStreamCodec> codecArg, bool stagedArg)
    : codec(std::move(codecArg)), staged(stagedArg)
{
}

CZipCodecDecoder::~CZipCodecDecoder() = default;

bool CZipCodecDecoder::Init(CZipStore* storeArg, CZipEntryHeader* headerArg, uint32_t* keysArg)
{
    CZipDecoder::Init(storeArg, headerArg, keysArg);
    StartCodec();
    ended = false;
    declaredInput = compressedLeft;
    if (staged) stage.Allocate(kStageSize);
    stagePosition = 0;
    stageCount = 0;
    stageResult = Z_OK;
    return true;
}

void CZipCodecDecoder::Replace(std::unique_ptr<CZipStreamCodec> fresh)
{
    codec = std::move(fresh);
    StartCodec();
}

void CZipCodecDecoder::StartCodec()
{
    // A failed start leaves the codec without state; the first decode then
    // answers with the stream error, which becomes the entry's error.
    codecReady = codec->Reset(*header);
    input = inputBuffer.data();
    inputLength = 0;
    fetchedInput = 0;
}

int CZipCodecDecoder::Run(uint8_t*& out, uint32_t& room)
{
    while (room > 0) {
        // A codec of several streams gets a few bytes ahead (see
        // CZipStreamCodec::SpansStreams); the others are fetched for once
        // they have taken everything.
        const uint32_t ahead = codec->SpansStreams() ? kLookahead : 1;
        if (inputLength < ahead && compressedLeft > 0) {
            // The few bytes left go in front of the next block.
            if (inputLength > 0) std::memmove(inputBuffer.data(), input, inputLength);
            const uint32_t want = std::min(compressedLeft, inputBuffer.length() - inputLength);
            const uint32_t n = FetchUpToEnd(inputBuffer.data() + inputLength, want);
            if (n < want) {
                // The stream ended inside the declared data: the method had
                // only what was fetched, and where its data ends counts
                // from that, not from a size that reaches past the stream.
                inputGranted -= compressedLeft - n;
                compressedLeft = 0;
            } else {
                compressedLeft -= n;
            }
            fetchedInput += n;
            input = inputBuffer.data();
            inputLength += n;
        }
        uint8_t* const before = out;
        const int result = codecReady ? codec->Decode(input, inputLength, out, room) : Z_STREAM_ERROR;
        if (result == Z_OK) continue;
        if (result != Z_STREAM_END && !KeepsOutputOfFailedCall()) {
            room += static_cast<uint32_t>(out - before);
            out = before;
        }
        return result;
    }
    return Z_OK;
}

bool CZipCodecDecoder::ReachedOwnEnd(uint32_t& unused) const
{
    if (!ended || damaged || !codecReady || stageCount > 0) return false;
    uint32_t held = 0;
    if (!codec->UnusedInput(held)) return false;
    unused = inputLength + held;
    return true;
}

uint32_t CZipCodecDecoder::Finish(int result, uint32_t total)
{
    if (result == Z_OK) return total;
    ended = true;
    if (result == Z_STREAM_END) {
        // Bytes inside the entry's data that no stream took: what decoded
        // is handed over, and the entry is not what its records say.
        if (codec->SpansStreams() && fetchedInput - inputLength < declaredInput) Stop(ZipStopReason::bytesAfterEnd);
        return total;
    }
    Stop(codec->Message() ? ZipStopReason::library
         : result == Z_BUF_ERROR ? ZipStopReason::inputEnded
         : result == Z_MEM_ERROR ? ZipStopReason::outOfMemory
         : result == Z_DATA_ERROR ? ZipStopReason::invalidData
                                  : ZipStopReason::streamError);
    errorCode = CZipException::MapZlibError(result);
    // What was decoded before the damage still reaches the caller; the
    // close reports the error.
    if (total > 0) return total;
    std::string path;
    if (store && store->stream) path = store->stream->GetFilePath();
    ThrowZipException(errorCode, path);
}

uint32_t CZipCodecDecoder::DecodeStaged(uint8_t* buffer, uint32_t length)
{
    uint32_t total = 0;
    while (total < length) {
        if (stageCount == 0) {
            if (stageResult != Z_OK) break;
            uint8_t* out = stage.data();
            uint32_t room = stage.length();
            stageResult = Run(out, room);
            stagePosition = 0;
            stageCount = stage.length() - room;
            if (stageCount == 0) break;
        }
        const uint32_t n = std::min(stageCount, length - total);
        std::memcpy(buffer + total, stage.data() + stagePosition, n);
        stagePosition += n;
        stageCount -= n;
        total += n;
    }
    return total == length ? total : Finish(stageResult, total);
}

uint32_t CZipCodecDecoder::DecodeInto(uint8_t* buffer, uint32_t length)
{
    if (ended) return 0;
    if (staged) return DecodeStaged(buffer, length);
    uint8_t* out = buffer;
    uint32_t room = length;
    // The stream is decoded to its own end, whatever size the header gave.
    const int result = Run(out, room);
    return Finish(result, length - room);
}
