#include "archive/ZipUnlisted.h"

#include <algorithm>
#include <cstring>

#include "archive/ZipArchive.h"
#include "archive/ZipConstants.h"
#include "archive/ZipEntryExtent.h"
#include "archive/ZipLocalRecord.h"
#include "archive/ZipRecordReader.h"
#include "errors/ZipException.h"
#include "storage/ZipReadWindow.h"
#include "storage/ZipStream.h"

using namespace ZipFormat;

namespace {

// Whether a signature found in arbitrary bytes (a self-extractor's code,
// compressed data) starts something a ZIP reader would take for an entry.
// The version needed is no reason to pass content over: streaming readers
// extract whatever it says. A nameless one is taken where its sizes lead to
// data within the range or a descriptor gives them (7zz and bsdtar read it).
bool Plausible(const CZipLocalRecord& local, uint64_t to)
{
    if (local.dataStart > to) return false;
    if (!(local.method <= 20 || (local.method >= 93 && local.method <= 99))) return false;
    if (local.nameLength > 0) return true;
    return (local.flags & flagDataDescriptor) ||
           (local.compressedSize > 0 && local.dataStart + local.compressedSize <= to);
}

// Methods whose data carries its own end marker: how far such data really
// runs only its decoder knows.
bool EndsItself(const CZipLocalRecord& local)
{
    if (local.flags & flagEncrypted) return false;
    switch (local.method) {
    case methodDeflated:
    case methodDeflate64:
    case methodBzip2:
    case methodLzma:
    case methodZstd:
    case methodXz:
        return true;
    default: return false;
    }
}

bool ReadExactly(CZipStream& stream, uint64_t position, uint8_t* bytes, uint32_t count)
{
    stream.Seek(static_cast<int64_t>(position), CZipStream::begin);
    return stream.Read(bytes, count) == count;
}

// The size a data descriptor right in front of `limit` gives stored data
// that starts at dataStart, in any of its four forms (with or without its
// signature, 32- or 64-bit sizes); 0xFFFFFFFF where there is none.
uint64_t DescribedStoredSize(CZipStream& stream, uint64_t dataStart, uint64_t limit)
{
    constexpr uint32_t longest = descriptorSignatureSize + zip64DescriptorSize;
    if (limit < dataStart + descriptorSize) return zip64Marker32;
    const uint32_t span = static_cast<uint32_t>(std::min<uint64_t>(longest, limit - dataStart));
    uint8_t tail[longest];
    if (!ReadExactly(stream, limit - span, tail, span)) return zip64Marker32;
    for (const uint32_t form : {descriptorSignatureSize + descriptorSize, descriptorSignatureSize + zip64DescriptorSize,
                                descriptorSize, zip64DescriptorSize}) {
        if (form > span) continue;
        const uint8_t* p = tail + (span - form);
        CZipRecordReader fields(p, form);
        const bool signed_ = form == descriptorSignatureSize + descriptorSize ||
                             form == descriptorSignatureSize + zip64DescriptorSize;
        if (signed_ && !fields.Signature(descriptorSignature)) continue;
        fields.Skip(4);  // CRC-32
        const bool wide = form == zip64DescriptorSize || form == descriptorSignatureSize + zip64DescriptorSize;
        const uint64_t size = wide ? fields.U64() : fields.U32();
        const uint64_t at = limit - form;
        if (fields.Ok() && size == at - dataStart) return size;
    }
    return zip64Marker32;
}

} // namespace

CZipLocalWalk::CZipLocalWalk(CZipStream& streamArg, uint64_t from, uint64_t toArg)
    : stream(streamArg), scan(streamArg, from, toArg), to(toArg), covered(from)
{
}

bool CZipLocalWalk::Next(CZipUnlistedEntry& entry)
{
    for (;;) {
        const uint64_t position = scan.Next(covered);
        if (position + sizeof localSignature > to) return false;
        if (Take(position, entry)) return true;
        covered = position + 1;
    }
}

bool CZipLocalWalk::Take(uint64_t position, CZipUnlistedEntry& e)
{
    // The fixed record is judged from the bytes the search holds; only a
    // plausible one costs reads of its name and extra field.
    CZipLocalRecord local;
    const uint8_t* fixed = scan.Held(position, localRecordSize);
    if (fixed ? !local.Parse(fixed, position) : !local.Read(stream, position)) return false;
    if (!Plausible(local, to)) return false;
    CZipEntryHeader& view = e.view;
    view.fileName.Allocate(local.nameLength);
    if (local.nameLength == 0) {
        // A nameless entry: no buffer to fill.
    } else if (const uint8_t* name = scan.Held(position + localRecordSize, local.nameLength)) {
        std::memcpy(view.fileName.data(), name, local.nameLength);
    } else if (!ReadExactly(stream, position + localRecordSize, view.fileName.data(), local.nameLength)) {
        return false;
    }
    if (fixed) local.ReadExtra(stream, position);

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
    view.extraField.Release();
    view.comment.Release();
    ConvertNameForm(view, true);

    e.localPosition = position;
    uint64_t end = local.dataStart;
    const bool sized = !(local.flags & flagDataDescriptor) && local.compressedSize > 0 &&
                       local.compressedSize != zip64Marker32 && local.dataStart + local.compressedSize <= to;
    // A compressed size that says more than such data takes may cover the
    // entries behind it (bsdtar from a pipe reads them): those are searched
    // for from the data's start, and the decoder reads on to its own end.
    const bool ownEnd = sized && EndsItself(local);
    if (sized && !ownEnd) end = local.dataStart + local.compressedSize;
    // The next header behind the entry's own data ends it at the latest.
    e.dataLimit = scan.Next(std::max(end, local.dataStart));
    if (!sized && view.method == methodStored) {
        // Stored data without a size of its own runs to the next header, or
        // to the descriptor in front of it that gives its size.
        uint64_t size = e.dataLimit - local.dataStart;
        if (local.flags & flagDataDescriptor) {
            const uint64_t described = DescribedStoredSize(stream, local.dataStart, e.dataLimit);
            if (described != zip64Marker32) size = described;
        }
        view.compressedSize = static_cast<uint32_t>(std::min<uint64_t>(size, maxField32));
        view.uncompressedSize = view.compressedSize;
    } else if (!sized && local.dataStart + view.compressedSize > e.dataLimit) {
        view.compressedSize = static_cast<uint32_t>(e.dataLimit - local.dataStart);
    }
    covered = sized && !ownEnd ? end : local.dataStart;
    return true;
}

bool ZipFindListedLocalHeader(CZipStream& stream, uint32_t foreignBytes, uint32_t offset, uint64_t& position)
{
    uint8_t lead[sizeof localSignature];
    position = static_cast<uint64_t>(offset) + foreignBytes;
    if (ReadExactly(stream, position, lead, sizeof lead) && HasSignature(lead, localSignature)) return true;
    if (foreignBytes == 0) return false;
    position = offset;
    return ReadExactly(stream, position, lead, sizeof lead) && HasSignature(lead, localSignature);
}

std::vector<CZipUncoveredRange> ZipUncoveredRanges(CZipArchive& archive, const std::vector<uint64_t>& dataEnds,
                                                   std::vector<uint64_t>& listedAt)
{
    listedAt.clear();
    std::vector<CZipUncoveredRange> ranges;
    // A stream whose end record names a later disk is still searched: the
    // engine holds only this stream, and what it holds beyond the listed
    // entries is read as in a single file (a listed entry whose local header
    // is not where its record says covers nothing).
    if (!archive.store.stream) return ranges;
    CZipStream& stream = *archive.store.stream;
    const CZipEndInfo& endInfo = archive.directory.endInfo;
    const uint32_t foreign = endInfo.foreignBytes;
    const uint64_t directoryStart = static_cast<uint64_t>(endInfo.directoryOffset) + foreign;
    if (directoryStart > stream.GetLength()) return ranges;

    // What each listed entry covers, from its local header to where its
    // bytes end; sorted once, what lies between them (and between the last
    // one and the directory) is uncovered. So is what lies in front of the
    // archive: another archive joined in front of this one hides there as
    // well as a self-extractor's code.
    struct Extent {
        uint64_t start, end;
        int stored;
        uint64_t dataStart, declaredEnd;
    };
    std::vector<Extent> extents;
    CZipReadWindow window(stream, foreign, directoryStart - foreign);
    const std::vector<CZipHeaderPtr>& headers = archive.directory.headerList;
    for (size_t i = 0; i < headers.size(); ++i) {
        const CZipEntryHeader& header = *headers[i];
        Extent x{static_cast<uint64_t>(header.localHeaderOffset) + foreign, 0, -1, 0, 0};
        if (x.start >= directoryStart) continue;
        CZipLocalRecord local;
        try {
            const uint8_t* lead = window.Get(header.localHeaderOffset, localRecordSize);
            if (lead && local.Parse(lead, x.start)) {
                x.end = ZipEntryExtentEnd(window, header) + foreign;
            } else {
                // No local header at the offset the directory gives: where
                // one is at the offset counted from the stream's start, that
                // is the entry; else it covers nothing.
                uint64_t position = 0;
                if (!ZipFindListedLocalHeader(stream, foreign, header.localHeaderOffset, position) ||
                    position == x.start || !local.Read(stream, position))
                    continue;
                x.start = position;
                x.end = local.dataStart + header.compressedSize;
                if (header.flags & flagDataDescriptor) x.end += descriptorSignatureSize + descriptorSize;
            }
        } catch (const CZipException&) {
            continue;
        }
        uint64_t dataEnd = i < dataEnds.size() ? dataEnds[i] : 0;
        // Its data was read to somewhere else than its size says: it covers
        // up to there, and a descriptor that follows there.
        if (dataEnd >= local.dataStart && dataEnd != local.dataStart + header.compressedSize) {
            if ((header.flags & flagDataDescriptor) && dataEnd >= foreign && dataEnd < directoryStart) {
                const uint8_t* lead = nullptr;
                try {
                    lead = window.Get(dataEnd - foreign, descriptorSignatureSize);
                } catch (const CZipException&) {
                }
                const bool signature = lead && HasSignature(lead, descriptorSignature);
                dataEnd += descriptorSize + (signature ? descriptorSignatureSize : 0);
            }
            x.end = dataEnd;
        }
        if (header.method == methodStored && local.method == methodStored &&
            !((header.flags | local.flags) & (flagDataDescriptor | flagEncrypted))) {
            x.stored = static_cast<int>(i);
            x.dataStart = local.dataStart;
            x.declaredEnd = local.dataStart + header.compressedSize;
        }
        x.end = std::max(x.start, std::min(x.end, directoryStart));
        extents.push_back(x);
    }
    for (const Extent& x : extents) listedAt.push_back(x.start);
    std::sort(listedAt.begin(), listedAt.end());
    std::stable_sort(extents.begin(), extents.end(), [](const Extent& a, const Extent& b) { return a.start < b.start; });
    uint64_t cursor = 0;
    const Extent* last = nullptr;
    auto gap = [&](uint64_t to) {
        if (to <= cursor) return;
        CZipUncoveredRange r{cursor, to, -1, 0, 0, 0};
        if (last && last->stored >= 0 && last->end == cursor) {
            r.storedBefore = last->stored;
            r.storedLocal = last->start;
            r.storedDataStart = last->dataStart;
            r.storedDeclaredEnd = last->declaredEnd;
        }
        ranges.push_back(r);
    };
    for (const Extent& x : extents) {
        gap(x.start);
        if (x.end >= cursor) {
            cursor = x.end;
            last = &x;
        }
    }
    gap(directoryStart);
    // Behind the end record: another archive joined behind this one (or
    // quoted in its comment), whose entries every reader that takes the
    // later end record lists. Only while the stream is as it was read: once
    // a cure has appended copies over the old directory, what lies there is
    // this run's own writing.
    const uint64_t behindEnd = endInfo.endRecordOffset + endRecordSize;
    const uint64_t length = stream.GetLength();
    uint8_t signature[4] = {};
    if (endInfo.endRecordOffset >= directoryStart && behindEnd < length && length == endInfo.streamLength &&
        ReadExactly(stream, endInfo.endRecordOffset, signature, sizeof signature) &&
        HasSignature(signature, endSignature))
        ranges.push_back(CZipUncoveredRange{behindEnd, length, -1, 0, 0, 0});
    return ranges;
}

std::vector<std::pair<uint64_t, uint64_t>> ZipUncoveredRanges(CZipArchive& archive, const std::vector<uint64_t>& dataEnds)
{
    std::vector<uint64_t> listedAt;
    std::vector<std::pair<uint64_t, uint64_t>> ranges;
    for (const CZipUncoveredRange& r : ZipUncoveredRanges(archive, dataEnds, listedAt)) ranges.emplace_back(r.from, r.to);
    return ranges;
}
