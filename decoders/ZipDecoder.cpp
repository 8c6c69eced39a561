#include "decoders/ZipDecoder.h"

#include <algorithm>
#include <cstring>

#include "archive/ZipCrc32.h"
#include "archive/ZipCrypto.h"
#include "archive/ZipEntryHeader.h"
#include "decoders/ZipAesDecryption.h"
#include "errors/ZipException.h"
#include "storage/ZipStore.h"

namespace {

// Size of the traditional encryption header in front of encrypted data.
constexpr uint32_t kEncryptionHeaderSize = 12;

} // namespace

CZipDecoder::CZipDecoder() = default;

CZipDecoder::~CZipDecoder() = default;

bool CZipDecoder::Init(CZipStore* storeArg, CZipEntryHeader* headerArg, uint32_t* keysArg)
{
    store = storeArg;
    header = headerArg;
    compressedLeft = header->compressedSize;
    uncompressedLeft = header->uncompressedSize;
    delivered = 0;
    damaged = false;
    errorCode = 0;
    stopReason = ZipStopReason::none;
    encrypted = (header->flags & 1u) != 0;
    crc = 0;
    inputExhausted = false;
    readAheadPosition = 0;
    readAheadCount = 0;
    aes = nullptr;
    if (encrypted) {
        // A size below the encryption header's own would wrap round and let
        // the decoder read the rest of the archive as this entry's data.
        compressedLeft = compressedLeft >= kEncryptionHeaderSize
                             ? compressedLeft - kEncryptionHeaderSize
                             : 0;
    }
    inputGranted = compressedLeft;
    inputBuffer.Allocate(inputBufferSize);
    keys = keysArg;
    return true;
}

uint32_t CZipDecoder::Read(uint8_t* buffer, uint32_t length)
{
    if (!buffer || length == 0) return 0;
    // The count must not wrap: an entry ends at what 32 bits can say.
    const uint32_t room = 0xFFFFFFFFu - delivered;
    const uint32_t n = DecodeInto(buffer, std::min(length, room));
    delivered += n;
    if (delivered == 0xFFFFFFFFu && stopReason == ZipStopReason::none) stopReason = ZipStopReason::outputLimit;
    uncompressedLeft = n >= uncompressedLeft ? 0 : uncompressedLeft - n;
    UpdateCrc(buffer, n);
    return n;
}

void CZipDecoder::AllowInputUpTo(uint32_t available)
{
    if (!FollowsOwnEnd()) return;
    if (encrypted) available = available >= kEncryptionHeaderSize ? available - kEncryptionHeaderSize : 0;
    if (available > compressedLeft) {
        inputGranted += available - compressedLeft;
        compressedLeft = available;
    }
}

uint32_t CZipDecoder::DataLength() const
{
    uint32_t unused = 0;
    if (damaged || !ReachedOwnEnd(unused)) return 0;
    const uint32_t taken = inputGranted - compressedLeft;
    if (unused > taken) return 0;
    return (encrypted ? kEncryptionHeaderSize : 0) + taken - unused;
}

void CZipDecoder::UpdateCrc(const uint8_t* bytes, uint32_t n)
{
    crc = ZipCrc32(crc, bytes, n);
}

void CZipDecoder::DecryptFetched(uint8_t* bytes, uint32_t n)
{
    if (aes) {
        // The system's cryptography failing is not the data's fault, but
        // nothing past it can be read.
        if (!aes->Decrypt(bytes, n)) ThrowZipException(ZipError::generic, "");
    } else if (encrypted) {
        ZipCrypto::DecryptBlock(keys, bytes, n);
    }
}

uint32_t CZipDecoder::TakeReadAhead(uint8_t* buffer, uint32_t n)
{
    const uint32_t ahead = std::min(readAheadCount, n);
    if (ahead > 0) {
        std::memcpy(buffer, inputBuffer.data() + readAheadPosition, ahead);
        readAheadPosition += ahead;
        readAheadCount -= ahead;
    }
    return ahead;
}

void CZipDecoder::FetchBlock(uint8_t* buffer, uint32_t n)
{
    const uint32_t ahead = TakeReadAhead(buffer, n);
    const uint32_t rest = n - ahead;
    if (rest == 0) return;
    store->Read(buffer + ahead, rest, false);
    DecryptFetched(buffer + ahead, rest);
}

uint32_t CZipDecoder::FetchAvailable(uint8_t* buffer, uint32_t n)
{
    // A spanned archive goes on in the next volume: the storage knows how.
    if (!store->stream || store->SpanState() != 0) {
        FetchBlock(buffer, n);
        return n;
    }
    uint32_t got = TakeReadAhead(buffer, n);
    while (got < n) {
        const uint32_t r = store->stream->Read(buffer + got, n - got);
        if (r == 0) break;
        DecryptFetched(buffer + got, r);
        got += r;
    }
    return got;
}

uint32_t CZipDecoder::FetchUpToEnd(uint8_t* buffer, uint32_t n)
{
    const uint32_t got = FetchAvailable(buffer, n);
    if (got == n || store->stream->GetPosition() >= store->stream->GetLength()) return got;
    FetchBlock(buffer + got, n - got);
    return n;
}

void CZipDecoder::RefillReadAhead()
{
    const uint32_t want = std::min(compressedLeft, inputBuffer.length());
    uint8_t* block = inputBuffer.data();
    // Take what the stream has; only a read that brings nothing at all goes
    // through the storage, which raises the archive's error for a short
    // archive (or for a missing volume).
    uint32_t got = store->stream ? store->stream->Read(block, want) : 0;
    if (got == 0) got = store->Read(block, 1, false);
    got = std::min(got, want);
    DecryptFetched(block, got);
    readAheadPosition = 0;
    readAheadCount = got;
}

uint8_t CZipDecoder::FetchByte()
{
    if (compressedLeft == 0) return 0xFF;
    if (readAheadCount == 0) RefillReadAhead();
    const uint8_t b = inputBuffer[readAheadPosition];
    ++readAheadPosition;
    --readAheadCount;
    --compressedLeft;
    return b;
}

