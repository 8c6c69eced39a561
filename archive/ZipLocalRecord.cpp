#include "archive/ZipLocalRecord.h"

#include <vector>

#include "archive/ZipConstants.h"
#include "archive/ZipEntryHeader.h"
#include "storage/ZipStream.h"

using namespace ZipFormat;

namespace {

// The ZIP64 extra field (id 1) of a local header holds the uncompressed and
// the compressed size, in that order, each only where the fixed field says
// 0xFFFFFFFF.
void TakeZip64Sizes(const uint8_t* extra, uint32_t length, CZipLocalRecord& r)
{
    uint32_t at = 0;
    while (at + 4 <= length) {
        const uint16_t id = GetU16(extra + at);
        const uint16_t size = GetU16(extra + at + 2);
        const uint32_t body = at + 4;
        if (body + size > length) return;
        if (id == zip64ExtraId) {
            uint32_t p = body;
            for (uint32_t* field : {&r.uncompressedSize, &r.compressedSize}) {
                if (*field != 0xFFFFFFFFu) continue;
                if (p + 8 > body + size) return;
                // A value that needs 64 bits stays 0xFFFFFFFF: the entry is
                // then read as the central record says.
                if (GetU32(extra + p + 4) == 0) *field = GetU32(extra + p);
                p += 8;
            }
            return;
        }
        at = body + size;
    }
}

} // namespace

bool CZipLocalRecord::Read(CZipStream& stream, uint64_t position)
{
    uint8_t p[localRecordSize];
    stream.Seek(static_cast<int64_t>(position), CZipStream::begin);
    if (stream.Read(p, localRecordSize) != localRecordSize) return false;
    if (!HasSignature(p, localSignature)) return false;
    versionNeeded = GetU16(p + 4);
    flags = GetU16(p + 6);
    method = GetU16(p + 8);
    modTime = GetU16(p + 10);
    modDate = GetU16(p + 12);
    crc32 = GetU32(p + 14);
    compressedSize = GetU32(p + 18);
    uncompressedSize = GetU32(p + 22);
    nameLength = GetU16(p + 26);
    extraLength = GetU16(p + 28);
    dataStart = position + localRecordSize + nameLength + extraLength;
    if ((compressedSize == 0xFFFFFFFFu || uncompressedSize == 0xFFFFFFFFu) && extraLength > 0) {
        std::vector<uint8_t> extra(extraLength);
        stream.Seek(static_cast<int64_t>(position + localRecordSize + nameLength), CZipStream::begin);
        if (stream.Read(extra.data(), extraLength) == extraLength)
            TakeZip64Sizes(extra.data(), extraLength, *this);
    }
    return true;
}

bool CZipLocalRecord::DisagreesWith(const CZipEntryHeader& central) const
{
    if (nameLength != central.fileName.length()) return true;
    if (method != central.method) return true;
    if ((flags ^ central.flags) & flagsChecked) return true;
    if (flags & flagDataDescriptor) return false;
    return crc32 != central.crc32 || compressedSize != central.compressedSize ||
           uncompressedSize != central.uncompressedSize;
}

void CZipLocalRecord::ApplyTo(CZipEntryHeader& view) const
{
    view.method = method;
    view.flags = flags;
    // With a data descriptor the local sizes are placeholders: the central
    // ones are the best word on them.
    if (flags & flagDataDescriptor) return;
    view.crc32 = crc32;
    view.compressedSize = compressedSize;
    view.uncompressedSize = uncompressedSize;
}
