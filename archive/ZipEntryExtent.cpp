#include "archive/ZipEntryExtent.h"

#include "archive/ZipConstants.h"
#include "archive/ZipEntryHeader.h"
#include "errors/ZipException.h"
#include "storage/ZipStream.h"

using namespace ZipFormat;

namespace {
constexpr int ioAttempts = 3;
} // namespace

uint32_t ZipReadAt(CZipStream& stream, uint64_t position, uint8_t* buffer, uint32_t count)
{
    uint32_t got = 0;
    int failures = 0;
    while (got < count) {
        stream.Seek(static_cast<int64_t>(position + got), CZipStream::begin);
        const uint32_t n = stream.Read(buffer + got, count - got);
        if (n == 0 || n > count - got) {
            if (++failures >= ioAttempts) break;
            continue;
        }
        got += n;
    }
    return got;
}

void ZipWriteAt(CZipStream& stream, uint64_t position, const uint8_t* buffer, uint32_t count)
{
    for (int attempt = 1;; ++attempt) {
        try {
            stream.Seek(static_cast<int64_t>(position), CZipStream::begin);
            stream.Write(buffer, count);
            return;
        } catch (const CZipException&) {
            if (attempt >= ioAttempts) throw;
        }
    }
}

uint64_t ZipEntryExtentEnd(CZipStream& stream, uint32_t foreignBytes,
                           const CZipEntryHeader& header, uint64_t limit)
{
    const uint64_t offset = header.localHeaderOffset;
    if (offset + localRecordSize > limit) return offset + localRecordSize;
    uint8_t local[localRecordSize];
    if (ZipReadAt(stream, foreignBytes + offset, local, localRecordSize) != localRecordSize)
        ThrowZipException(ZipError::badZipFile, stream.GetFilePath());
    if (!HasSignature(local, localSignature)) return offset;

    uint64_t dataEnd = offset + localRecordSize + GetU16(local + 26) + GetU16(local + 28) +
                       header.compressedSize;
    if (header.flags & flagDataDescriptor) {
        bool signature = false;
        if (dataEnd + descriptorSignatureSize <= limit) {
            uint8_t lead[descriptorSignatureSize];
            if (ZipReadAt(stream, foreignBytes + dataEnd, lead, descriptorSignatureSize) !=
                descriptorSignatureSize)
                ThrowZipException(ZipError::badZipFile, stream.GetFilePath());
            signature = HasSignature(lead, descriptorSignature);
        }
        dataEnd += descriptorSize + (signature ? descriptorSignatureSize : 0);
    }
    return dataEnd;
}
