#include "plugin/ZipHostStream.h"

#include <cerrno>

#include "errors/ZipException.h"

namespace {
// The adapter's growth step: the memory block is never used, but the stream
// family is built alike.
constexpr uint32_t kHostGrowStep = 1024;
} // namespace

CZipHostStream::CZipHostStream(VFStream* hostStream, unsigned int baseLow, int baseHigh,
                               VFDecodeCallback* decodeCallback)
    : CZipMemStream(kHostGrowStep),
      callback(decodeCallback),
      host(hostStream),
      baseOffset(static_cast<int64_t>((static_cast<uint64_t>(static_cast<uint32_t>(baseHigh)) << 32) |
                                      baseLow))
{
}

CZipHostStream::~CZipHostStream() = default;

uint64_t CZipHostStream::HostSeek(int64_t offset, int origin)
{
    unsigned long long newPosition = 0;
    uint64_t bits = static_cast<uint64_t>(offset);
    host->Seek(static_cast<unsigned int>(bits & 0xFFFFFFFFu), static_cast<int>(static_cast<uint32_t>(bits >> 32)),
               origin, &newPosition);
    return newPosition;
}

bool CZipHostStream::Open(const char*, uint32_t, bool)
{
    return true;
}

void CZipHostStream::Close() {}

void CZipHostStream::Flush() {}

uint64_t CZipHostStream::GetPosition()
{
    return HostSeek(0, current) - static_cast<uint64_t>(baseOffset);
}

uint64_t CZipHostStream::Seek(int64_t offset, int origin)
{
    // No caller uses the result; it is the new position relative to the base.
    switch (origin) {
    case begin:
        return HostSeek(static_cast<int64_t>(static_cast<uint64_t>(baseOffset) + static_cast<uint64_t>(offset)),
                        begin) -
               static_cast<uint64_t>(baseOffset);
    case current:
    case end:
        return HostSeek(offset, origin) - static_cast<uint64_t>(baseOffset);
    default:
        // An unknown origin reaches no host; without a host call there is no
        // position to report.
        return ~uint64_t(0);
    }
}

uint64_t CZipHostStream::GetLength()
{
    uint64_t here = HostSeek(0, current);
    uint64_t endPosition = HostSeek(0, end);
    HostSeek(static_cast<int64_t>(here), begin);
    return endPosition - static_cast<uint64_t>(baseOffset);
}

void CZipHostStream::SetLength(uint64_t newLength)
{
    uint64_t size = static_cast<uint64_t>(baseOffset) + newLength;
    // The host's status has no way back through this interface; the caller
    // sees the effect through GetLength.
    host->SetSize(static_cast<unsigned int>(size & 0xFFFFFFFFu), static_cast<unsigned int>(size >> 32));
}

uint64_t CZipHostStream::SeekToBegin()
{
    return HostSeek(baseOffset, begin) - static_cast<uint64_t>(baseOffset);
}

uint64_t CZipHostStream::SeekToEnd()
{
    return HostSeek(0, end) - static_cast<uint64_t>(baseOffset);
}

std::string CZipHostStream::GetFilePath()
{
    return std::string();
}

uint32_t CZipHostStream::Read(void* buffer, uint32_t count)
{
    if (callback != nullptr && callback->IsStopRequested()) return 0;
    unsigned int got = 0;
    if (host->Read(buffer, count, &got) != 0) return 0;
    if (got == 0xFFFFFFFFu) return 0;
    // A host that claims more than was asked for would have the caller
    // believe in bytes the buffer cannot hold.
    return got > count ? count : got;
}

void CZipHostStream::Write(const void* buffer, uint32_t count)
{
    const auto* bytes = static_cast<const uint8_t*>(buffer);
    while (count > 0) {
        unsigned int written = 0;
        host->Write(bytes, count, &written);
        // A write that took part of the bytes goes on with the rest (a host
        // may take a large write in pieces); one that takes nothing ends the
        // writing, as a full device or a stream at the engine's size limit.
        if (written == 0) ThrowZipException(ENOSPC, "");
        if (written > count) written = count;
        count -= written;
        bytes += written;
    }
}

bool CZipHostStream::IsClosed()
{
    return false;
}
