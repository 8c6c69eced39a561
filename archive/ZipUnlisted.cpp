#include "archive/ZipUnlisted.h"

#include <algorithm>
#include <cstring>

#include "archive/ZipArchive.h"
#include "archive/ZipConstants.h"
#include "archive/ZipEntryExtent.h"
#include "archive/ZipLocalRecord.h"
#include "archive/ZipLocalScan.h"
#include "errors/ZipException.h"
#include "storage/ZipReadWindow.h"
#include "storage/ZipStream.h"

using namespace ZipFormat;

namespace {

// The local header's own word on the entry, named by its own name bytes.
bool ReadEntryAt(CZipStream& stream, uint64_t position, CZipLocalRecord& local, CZipEntryHeader& view)
{
    if (!local.Read(stream, position)) return false;
    view.fileName.Allocate(local.nameLength);
    if (local.nameLength > 0) {
        stream.Seek(static_cast<int64_t>(position + localRecordSize), CZipStream::begin);
        if (stream.Read(view.fileName.data(), local.nameLength) != local.nameLength) return false;
    }
    std::memcpy(view.signature, centralSignature, 4);
    view.versionNeeded = local.versionNeeded;
    view.modTime = local.modTime;
    view.modDate = local.modDate;
    // With a descriptor the sizes may be placeholders: the data then ends
    // where its stream does, or at the next header.
    view.method = local.method;
    view.flags = local.flags;
    view.crc32 = local.crc32;
    view.compressedSize = local.compressedSize;
    view.uncompressedSize = local.uncompressedSize;
    ConvertNameForm(view, true);
    return true;
}

// Whether a signature found in arbitrary bytes (a self-extractor's code,
// compressed data) starts something a ZIP reader would take for an entry.
bool Plausible(const CZipLocalRecord& local, uint64_t to)
{
    if ((local.versionNeeded & 0xFF) > 63 || local.nameLength == 0) return false;
    if (local.dataStart > to) return false;
    return local.method <= 20 || (local.method >= 93 && local.method <= 99);
}

} // namespace

std::vector<CZipUnlistedEntry> ZipFindLocalEntries(CZipStream& stream, uint64_t from, uint64_t to)
{
    std::vector<CZipUnlistedEntry> entries;
    const std::vector<uint64_t> found = ZipFindLocalHeaders(stream, from, to);
    uint64_t covered = from;
    for (size_t i = 0; i < found.size(); ++i) {
        // A header inside the data of an entry already taken is part of that
        // entry (an archive stored in it, say): it is scanned with it.
        if (found[i] < covered) continue;
        CZipUnlistedEntry e;
        CZipLocalRecord local;
        if (!ReadEntryAt(stream, found[i], local, e.view)) continue;
        if (!Plausible(local, to)) continue;
        e.localPosition = found[i];
        uint64_t end = local.dataStart;
        const bool sized = !(local.flags & flagDataDescriptor) && local.compressedSize > 0 &&
                           local.compressedSize != 0xFFFFFFFFu &&
                           local.dataStart + local.compressedSize <= to;
        if (sized) end = local.dataStart + local.compressedSize;
        // The next header behind the entry's own data ends it at the latest.
        const auto next = std::lower_bound(found.begin() + static_cast<std::ptrdiff_t>(i) + 1, found.end(),
                                           std::max(end, local.dataStart));
        e.dataLimit = next == found.end() ? to : *next;
        if (!sized && e.view.method == methodStored) {
            // Stored data without a size of its own runs to the next header.
            e.view.compressedSize = static_cast<uint32_t>(std::min<uint64_t>(e.dataLimit - local.dataStart, 0xFFFFFFFFu));
            e.view.uncompressedSize = e.view.compressedSize;
        } else if (!sized && local.dataStart + e.view.compressedSize > e.dataLimit) {
            e.view.compressedSize = static_cast<uint32_t>(e.dataLimit - local.dataStart);
        }
        covered = sized ? end : local.dataStart;
        entries.push_back(std::move(e));
    }
    return entries;
}

std::vector<std::pair<uint64_t, uint64_t>> ZipUncoveredRanges(CZipArchive& archive)
{
    std::vector<std::pair<uint64_t, uint64_t>> ranges;
    if (!archive.store.stream || archive.store.SpanState() != 0) return ranges;
    CZipStream& stream = *archive.store.stream;
    const CZipEndInfo& end = archive.directory.endInfo;
    const uint64_t foreign = end.foreignBytes;
    const uint64_t directoryStart = static_cast<uint64_t>(end.directoryOffset) + foreign;
    if (directoryStart > stream.GetLength()) return ranges;

    // Listed entries are in stream order; what lies between them (and
    // between the last one and the directory) is uncovered. So is what lies
    // in front of the archive: another archive joined in front of this one
    // hides there as well as a self-extractor's code.
    CZipReadWindow window(stream, end.foreignBytes, directoryStart - foreign);
    uint64_t cursor = 0;
    auto gap = [&](uint64_t to) {
        if (to > cursor) ranges.emplace_back(cursor, to);
    };
    for (const CZipHeaderPtr& header : archive.directory.headerList) {
        const uint64_t start = static_cast<uint64_t>(header->localHeaderOffset) + foreign;
        if (start >= directoryStart) break;
        gap(start);
        uint64_t extentEnd = start;
        try {
            extentEnd = ZipEntryExtentEnd(window, *header) + foreign;
        } catch (const CZipException&) {
        }
        cursor = std::max(cursor, std::min(extentEnd, directoryStart));
    }
    gap(directoryStart);
    return ranges;
}
