#include "plugin/ZipHostListing.h"

#include <cstring>

#include "archive/ZipConstants.h"
#include "archive/ZipExtraField.h"
#include "archive/ZipLocalRecord.h"
#include "archive/ZipOtherListings.h"
#include "archive/ZipUnlisted.h"
#include "plugin/ZipArchiveOpen.h"

using namespace ZipFormat;

namespace {

// The stream offsets are those of the host stream: position 0 of `stream`
// lies at `base` there.
ZipHostEntry HostEntry(const CZipEntryHeader& header, uint64_t localPosition, uint64_t base)
{
    ZipHostEntry e;
    // WantEntry gets the name as a C string: a NUL in it ends it there.
    e.name = header.NameAsString().c_str();
    e.method = header.method;
    e.flags = header.flags;
    e.crc32 = header.crc32;
    e.compressedSize = header.compressedSize;
    e.uncompressedSize = header.uncompressedSize;
    e.localOffset = localPosition + base;
    e.directory = header.IsDirectory();
    e.encrypted = (header.flags & flagEncrypted) != 0;
    e.decoded = ZipReadsEntry(header);
    // AE-2 keeps no CRC: the authentication code checks the data instead.
    ZipAesInfo aes;
    if (header.method == methodAes &&
        ZipFindAesInfo(header.extraField.data(), header.extraField.length(), aes) && aes.version == 2) {
        e.checkable = false;
        e.aesStrength = aes.strength;
    }
    return e;
}

uint32_t U32(const uint8_t* p)
{
    return static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 | static_cast<uint32_t>(p[2]) << 16 |
           static_cast<uint32_t>(p[3]) << 24;
}

// A data descriptor that ends right where the entry's data must end (at
// the next header found): its CRC and sizes, when its compressed size
// leads back to the data's start. Both the 32-bit and ZIP64 forms, with or
// without the signature.
bool DescriptorBefore(CZipStream& stream, uint64_t dataStart, uint64_t dataLimit, ZipHostEntry& e)
{
    static const uint32_t forms[] = {16, 12, 24, 20};
    for (uint32_t size : forms) {
        if (dataLimit < dataStart + size) continue;
        const uint64_t at = dataLimit - size;
        uint8_t bytes[24];
        stream.Seek(static_cast<int64_t>(at), CZipStream::begin);
        if (stream.Read(bytes, size) != size) return false;
        const bool signed_ = size == 16 || size == 24;
        if (signed_ && !HasSignature(bytes, descriptorSignature)) continue;
        const uint8_t* p = bytes + (signed_ ? 4 : 0);
        const bool wide = size >= 20;
        const uint64_t compressed = wide ? U32(p + 4) | static_cast<uint64_t>(U32(p + 8)) << 32 : U32(p + 4);
        const uint64_t uncompressed = wide ? U32(p + 12) | static_cast<uint64_t>(U32(p + 16)) << 32 : U32(p + 8);
        if (dataStart + compressed != at) continue;
        e.crc32 = U32(p);
        e.compressedSize = compressed;
        e.uncompressedSize = uncompressed;
        return true;
    }
    return false;
}

} // namespace

ZipHostListing ZipListForHost(VFStream* host, uint64_t base)
{
    ZipHostListing listing;
    if (!host) return listing;
    try {
        CZipHostStream stream(host, static_cast<unsigned int>(base), static_cast<int>(base >> 32), nullptr);
        CZipOpenedArchive opened = ZipOpenArchive(stream);
        listing.reason = opened.reason;
        listing.reasonOffset = opened.reasonOffset == kZipNoOffset ? kZipNoOffset : opened.reasonOffset + base;
        if (!opened.archive) return listing;
        const uint64_t at = static_cast<uint64_t>(stream.Base());
        if (opened.volumePiece) {
            listing.opening = ZipHostOpening::volumePiece;
            return listing;
        }
        if (opened.withoutDirectory) {
            listing.opening = ZipHostOpening::localHeaders;
            listing.archiveStart = at;
            return listing;
        }
        listing.opening = opened.countedFromStreamStart ? ZipHostOpening::directoryFromStart : ZipHostOpening::directory;
        CZipArchiveEx& archive = *opened.archive;
        const CZipEndInfo& end = archive.directory.endInfo;
        listing.archiveStart = at + end.foreignBytes;
        listing.directoryStart = at + end.foreignBytes + end.directoryOffset;
        // Every record the directory holds, in its order; headers in memory
        // hold the names in local form, as the walk hands them over.
        listing.entries.reserve(archive.directory.headerList.size());
        for (const CZipHeaderPtr& header : archive.directory.headerList)
            listing.entries.push_back(
                HostEntry(*header, static_cast<uint64_t>(header->localHeaderOffset) + end.foreignBytes, at));
        // The records past the header list's reach (a count that wrapped,
        // more than 65,535 entries) are the directory's too.
        for (const CZipUnlistedEntry& e : ZipFindRecordsBehind(archive))
            listing.entries.push_back(HostEntry(e.view, e.localPosition, at));
        // Offsets counted from the stream's start leave the stub in front of
        // the first entry uncounted: the archive starts at its first entry.
        if (opened.countedFromStreamStart)
            for (const ZipHostEntry& e : listing.entries)
                if (e.localOffset > base && (listing.archiveStart == at || e.localOffset < listing.archiveStart))
                    listing.archiveStart = e.localOffset;
    } catch (...) {
        listing.entries.clear();
        listing.opening = ZipHostOpening::none;
    }
    return listing;
}

std::vector<ZipHostEntry> ZipLocalEntriesForHost(VFStream* host, uint64_t base)
{
    std::vector<ZipHostEntry> entries;
    if (!host) return entries;
    try {
        CZipHostStream stream(host, static_cast<unsigned int>(base), static_cast<int>(base >> 32), nullptr);
        CZipLocalWalk walk(stream, 0, stream.GetLength());
        CZipUnlistedEntry found;
        while (walk.Next(found)) {
            ZipHostEntry e = HostEntry(found.view, found.localPosition, base);
            if (found.view.flags & flagDataDescriptor) {
                CZipLocalRecord local;
                e.checkable = local.Read(stream, found.localPosition) &&
                              DescriptorBefore(stream, local.dataStart, found.dataLimit, e);
            }
            entries.push_back(std::move(e));
        }
    } catch (...) {
    }
    return entries;
}
