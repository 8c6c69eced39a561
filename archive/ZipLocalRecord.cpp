#include "archive/ZipLocalRecord.h"

#include <vector>

#include "archive/ZipConstants.h"
#include "archive/ZipEntryHeader.h"
#include "archive/ZipExtraField.h"
#include "archive/ZipRecordReader.h"
#include "storage/ZipStream.h"

using namespace ZipFormat;

namespace {

// The ZIP64 extra field (id 1) of a local header holds the uncompressed and
// the compressed size, in that order, each only where the fixed field says
// 0xFFFFFFFF.
void TakeZip64Sizes(const uint8_t* extra, uint32_t length, CZipLocalRecord& r)
{
    CZipRecordReader values(nullptr, 0);
    if (!ZipFindExtraBlock(extra, length, zip64ExtraId, values)) return;
    for (uint32_t* field : {&r.uncompressedSize, &r.compressedSize}) {
        if (*field != zip64Marker32) continue;
        const uint64_t value = values.U64();
        if (!values.Ok()) return;
        // A value that needs 64 bits stays 0xFFFFFFFF: the entry is then
        // read as the central record says.
        if (value <= maxField32) *field = static_cast<uint32_t>(value);
    }
}

} // namespace

bool CZipLocalRecord::Read(CZipStream& stream, uint64_t position)
{
    uint8_t p[localRecordSize];
    stream.Seek(static_cast<int64_t>(position), CZipStream::begin);
    if (stream.Read(p, localRecordSize) != localRecordSize) return false;
    if (!Parse(p, position)) return false;
    ReadExtra(stream, position);
    return true;
}

bool CZipLocalRecord::Parse(const uint8_t* p, uint64_t position)
{
    CZipRecordReader fields(p, localRecordSize);
    if (!fields.Signature(localSignature)) return false;
    versionNeeded = fields.U16();
    flags = fields.U16();
    method = fields.U16();
    modTime = fields.U16();
    modDate = fields.U16();
    crc32 = fields.U32();
    compressedSize = fields.U32();
    uncompressedSize = fields.U32();
    nameLength = fields.U16();
    extraLength = fields.U16();
    dataStart = position + localRecordSize + nameLength + extraLength;
    hasAes = false;
    return true;
}

bool CZipLocalRecord::NeedsExtra() const
{
    const bool zip64 = compressedSize == zip64Marker32 || uncompressedSize == zip64Marker32;
    return (zip64 || method == methodAes) && extraLength > 0;
}

void CZipLocalRecord::ReadExtra(CZipStream& stream, uint64_t position)
{
    if (!NeedsExtra()) return;
    const bool zip64 = compressedSize == zip64Marker32 || uncompressedSize == zip64Marker32;
    std::vector<uint8_t> extra(extraLength);
    stream.Seek(static_cast<int64_t>(position + localRecordSize + nameLength), CZipStream::begin);
    if (stream.Read(extra.data(), extraLength) == extraLength) {
        if (zip64) TakeZip64Sizes(extra.data(), extraLength, *this);
        hasAes = method == methodAes && ZipFindAesInfo(extra.data(), extraLength, aes);
    }
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
