// Finding the end record, and the ZIP64 end record it points to.
#include "archive/ZipDirectory.h"

#include <algorithm>
#include <cstring>

#include "archive/ZipConstants.h"
#include "archive/ZipRecordReader.h"
#include "errors/ZipException.h"
#include "storage/ZipStore.h"

using namespace ZipFormat;

uint64_t CZipDirectory::LocateEndRecord()
{
    CZipStream& stream = *store->stream;
    // The whole length: cut to 32 bits, the end of a stream past 4 GiB would
    // be looked for at some place near its start.
    const uint64_t length = stream.GetLength();
    // A signature starting in front of the limit; its bytes may reach 3 past it.
    uint64_t top = endSearchLimit >= length ? length : std::min(length, endSearchLimit + 3);
    // Chunks overlap by 3 bytes, so a chunk must be longer than that to make
    // progress.
    const uint32_t chunkSize =
        static_cast<uint32_t>(std::max(searchBufferSize, minSearchBufferSize));
    if (searchChunk.length() != chunkSize) {
        searchChunk.Allocate(chunkSize);
        searchChunkLength = 0;
    }
    while (top >= 4) {
        // The bytes [from, top), from the chunk read last time where it holds them.
        uint64_t from;
        const uint8_t* p;
        if (searchChunkLength && top >= searchChunkStart + 4 && top <= searchChunkStart + searchChunkLength) {
            from = searchChunkStart;
            p = searchChunk.data();
        } else {
            from = top > chunkSize ? top - chunkSize : 0;
            const uint32_t count = static_cast<uint32_t>(top - from);
            searchChunkLength = 0;
            stream.Seek(static_cast<int64_t>(from), CZipStream::begin);
            if (stream.Read(searchChunk.data(), count) < count)
                ThrowError(ZipError::badZipFile, ZipReason::tailUnreadable, from);
            searchChunkStart = from;
            searchChunkLength = count;
            p = searchChunk.data();
        }
        const uint32_t count = static_cast<uint32_t>(top - from);
        for (uint32_t i = count - 4 + 1; i-- > 0;)
            if (p[i] == 0x50 && HasSignature(p + i, ZipFormat::endSignature)) return from + i;
        // Everything from `from` on has been searched but a record's first
        // three bytes.
        if (from == 0) break;
        top = from + 3;
    }
    ThrowError(ZipError::cdirNotFound, ZipReason::endRecordMissing);
}

uint64_t CZipDirectory::ReadZip64EndRecord()
{
    tookZip64Values = false;
    CZipStream& stream = *store->stream;
    const uint64_t endAt = endInfo.endRecordOffset;
    if (endAt < zip64LocatorSize + zip64EndRecordSize) return endAt;
    const uint64_t locatorAt = endAt - zip64LocatorSize;
    auto readAt = [&](uint64_t at, uint8_t* bytes, uint32_t count) {
        stream.Seek(static_cast<int64_t>(at), CZipStream::begin);
        return stream.Read(bytes, count) == count;
    };
    uint8_t locator[zip64LocatorSize];
    if (!readAt(locatorAt, locator, zip64LocatorSize)) return endAt;
    CZipRecordReader locatorFields(locator, zip64LocatorSize);
    if (!locatorFields.Signature(zip64LocatorSignature)) return endAt;
    locatorFields.Skip(4);  // disk holding the ZIP64 end record
    const uint64_t statedRecordAt = locatorFields.U64();

    // The record lies right in front of its locator. Its usual size is
    // tried first; one with extensible data is found through the offset
    // the locator gives (exact only without bytes in front of the archive).
    uint8_t record[zip64EndRecordSize];
    CZipRecordReader fields(record, zip64EndRecordSize);
    uint64_t recordAt = locatorAt - zip64EndRecordSize;
    auto endsAtLocator = [&](uint64_t at) {
        if (!readAt(at, record, zip64EndRecordSize)) return false;
        fields = CZipRecordReader(record, zip64EndRecordSize);
        return fields.Signature(zip64EndSignature) &&
               fields.U64() == locatorAt - at - zip64EndRecordTail;
    };
    if (!endsAtLocator(recordAt)) {
        recordAt = statedRecordAt;
        if (recordAt > locatorAt - zip64EndRecordSize || !endsAtLocator(recordAt)) return endAt;
    }

    fields.Skip(4);  // versions made by and needed
    const uint64_t diskNumber = fields.U32();
    const uint64_t diskWithDirectory = fields.U32();
    const uint64_t entriesOnThisDisk = fields.U64();
    const uint64_t totalEntries = fields.U64();
    const uint64_t directorySize = fields.U64();
    const uint64_t directoryOffset = fields.U64();
    // Each field of the end record either holds the value itself (a count
    // as the low 16 bits of a larger one), or is marked as all ones and
    // takes the ZIP64 value. Where a value disagrees, the ZIP64 record is
    // taken first, as readers that know ZIP64 take it; when its directory
    // does not hold up, the end record is tried again with its own values
    // (the signatures may be in a file name, say). The disk fields are
    // claims only: what the stream holds is read whatever they say.
    auto agrees = [](uint64_t field, uint64_t marker, uint64_t value) {
        return field == marker || field == (value & marker);
    };
    const bool agreeing = agrees(endInfo.totalEntries, zip64Marker16, totalEntries) &&
                          agrees(endInfo.directorySize, zip64Marker32, directorySize) &&
                          agrees(endInfo.directoryOffset, zip64Marker32, directoryOffset);
    if (!agreeing && classicValuesOnly) return endAt;
    tookZip64Values = !agreeing;
    // The engine's fields are 32 bits (16 for disks): an archive that needs
    // more is refused. A count past 16 bits is read as far as the header
    // list goes; the records behind are the directory's all the same.
    auto take16 = [&](uint16_t& field, uint64_t value) {
        if (field != zip64Marker16) return;
        if (value > zip64Marker16) ThrowError(ZipError::badZipFile, ZipReason::zip64ValueTooLarge, recordAt);
        field = static_cast<uint16_t>(value);
    };
    auto take32 = [&](uint32_t& field, uint64_t value) {
        if (value > maxField32) ThrowError(ZipError::badZipFile, ZipReason::zip64ValueTooLarge, recordAt);
        field = static_cast<uint32_t>(value);
    };
    take16(endInfo.diskNumber, diskNumber);
    take16(endInfo.diskWithDirectory, diskWithDirectory);
    // Kept only for the record: nothing depends on it.
    if (endInfo.entriesOnThisDisk == zip64Marker16 && entriesOnThisDisk < zip64Marker16)
        endInfo.entriesOnThisDisk = static_cast<uint16_t>(entriesOnThisDisk);
    endInfo.totalEntries = static_cast<uint16_t>(std::min<uint64_t>(totalEntries, maxEntries));
    take32(endInfo.directorySize, directorySize);
    take32(endInfo.directoryOffset, directoryOffset);
    return recordAt;
}
