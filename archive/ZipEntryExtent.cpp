#include "archive/ZipEntryExtent.h"

#include "archive/ZipConstants.h"
#include "archive/ZipEntryHeader.h"
#include "archive/ZipReadWindow.h"
#include "archive/ZipRecordReader.h"
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

uint64_t ZipEntryExtentEnd(CZipReadWindow& window, const CZipEntryHeader& header)
{
    const uint64_t offset = header.localHeaderOffset;
    const uint8_t* local = window.Get(offset, localRecordSize);
    if (!local) return offset + localRecordSize;
    CZipRecordReader fields(local, localRecordSize);
    if (!fields.Signature(localSignature)) return offset;
    fields.Skip(10);              // versions, flags, method, time and date
    fields.Skip(descriptorSize);  // CRC-32 and sizes
    const uint16_t nameLength = fields.U16();
    const uint16_t extraLength = fields.U16();

    uint64_t dataEnd = offset + localRecordSize + nameLength + extraLength + header.compressedSize;
    if (header.flags & flagDataDescriptor) {
        const uint8_t* lead = window.Get(dataEnd, descriptorSignatureSize);
        const bool signature = lead && HasSignature(lead, descriptorSignature);
        dataEnd += descriptorSize + (signature ? descriptorSignatureSize : 0);
    }
    return dataEnd;
}
