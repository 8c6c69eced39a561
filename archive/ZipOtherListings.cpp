#include "archive/ZipOtherListings.h"

#include <algorithm>
#include <unordered_set>

#include "archive/ZipArchive.h"
#include "archive/ZipConstants.h"
#include "archive/ZipRecordReader.h"
#include "errors/ZipException.h"
#include "storage/ZipReadWindow.h"
#include "storage/ZipStream.h"
#include "storage/ZipStreamIO.h"

using namespace ZipFormat;

namespace {

// Large enough for the longest central record.
constexpr uint32_t kWindowSize = 4 * 65536;

// Positions of central records already read, so that no record is read
// twice however many end records point into the same bytes.
using RecordSet = std::unordered_set<uint64_t>;

// Central records from `at` on, as long as they parse and end by `limit`;
// at most `count` of them (the bytes bound them anyway). The position after
// the last one comes back in `at`.
std::vector<CZipEntryHeader> ReadRecords(CZipReadWindow& window, uint64_t& at, uint64_t limit, uint32_t count,
                                         RecordSet& seen)
{
    std::vector<CZipEntryHeader> records;
    try {
        while (records.size() < count && at + centralRecordSize <= limit) {
            if (!seen.insert(at).second) break;
            const uint8_t* fixed = window.Get(at, centralRecordSize);
            if (!fixed) break;
            const uint32_t size = ZipCentralRecordSize(fixed);
            if (size == 0 || at + size > limit) break;
            const uint8_t* whole = window.Get(at, size);
            if (!whole) break;
            CZipEntryHeader header;
            if (header.ParseCentralRecord(whole, size) != static_cast<int32_t>(size)) break;
            ConvertNameForm(header, true);
            records.push_back(std::move(header));
            at += size;
        }
    } catch (const CZipException&) {
        // A stream that cannot deliver the bytes ends the records there.
    }
    return records;
}

// The entries a set of records lists, their offsets counted from `shift`.
void AddListed(std::vector<CZipEntryHeader>& records, uint64_t shift, uint64_t directoryStart,
               std::vector<CZipUnlistedEntry>& out)
{
    std::sort(records.begin(), records.end(), [](const CZipEntryHeader& a, const CZipEntryHeader& b) {
        return a.localHeaderOffset < b.localHeaderOffset;
    });
    for (size_t i = 0; i < records.size(); ++i) {
        CZipUnlistedEntry e;
        e.localPosition = records[i].localHeaderOffset + shift;
        if (e.localPosition >= directoryStart) continue;
        e.dataLimit = directoryStart;
        for (size_t j = i + 1; j < records.size(); ++j)
            if (records[j].localHeaderOffset > records[i].localHeaderOffset) {
                e.dataLimit = std::min<uint64_t>(directoryStart, records[j].localHeaderOffset + shift);
                break;
            }
        e.view = std::move(records[i]);
        out.push_back(std::move(e));
    }
}

} // namespace

std::vector<CZipUnlistedEntry> ZipFindOtherListings(CZipArchive& archive)
{
    std::vector<CZipUnlistedEntry> out;
    if (!archive.store.stream || archive.store.SpanState() != 0) return out;
    CZipStream& stream = *archive.store.stream;
    const CZipEndInfo& own = archive.directory.endInfo;
    const uint64_t length = stream.GetLength();
    CZipReadWindow window(stream, 0, length, kWindowSize);

    RecordSet seen;
    // Records behind the ones the end record counts.
    const uint64_t ownStart = static_cast<uint64_t>(own.directoryOffset) + own.foreignBytes;
    uint64_t at = ownStart;
    for (const CZipHeaderPtr& header : archive.directory.headerList) at += header->GetRecordSize(false);
    const uint64_t ownEnd = at;
    if (archive.directory.EntryCount() == own.totalEntries && at < own.endRecordOffset) {
        std::vector<CZipEntryHeader> behind = ReadRecords(window, at, own.endRecordOffset, 0xFFFFFFFFu, seen);
        AddListed(behind, own.foreignBytes, static_cast<uint64_t>(own.directoryOffset) + own.foreignBytes, out);
    }

    // The other end records in the window the archive's own was found in.
    const uint64_t searchFrom = length > endSearchWindow ? length - endSearchWindow : 0;
    std::vector<uint64_t> candidates;
    CZipBuffer tail(static_cast<uint32_t>(length - searchFrom));
    if (ZipReadAt(stream, searchFrom, tail.data(), tail.length()) != tail.length()) return out;
    for (uint32_t i = 0; i + endRecordSize <= tail.length(); ++i)
        if (tail[i] == 0x50 && HasSignature(tail.data() + i, endSignature) && searchFrom + i != own.endRecordOffset)
            candidates.push_back(searchFrom + i);
    for (uint64_t candidate : candidates) {
        CZipRecordReader record(tail.data() + (candidate - searchFrom), endRecordSize);
        record.Skip(4 + 2 + 2 + 2);  // signature, disk numbers, entries on this disk
        const uint16_t total = record.U16();
        const uint32_t size = record.U32();
        const uint32_t offset = record.U32();
        if (total == 0 || static_cast<uint64_t>(offset) + size > candidate) continue;
        // Offsets that count from the archive's own start, or from the
        // stream's start.
        for (uint64_t shift : {candidate - (static_cast<uint64_t>(offset) + size), uint64_t{0}}) {
            uint64_t start = offset + shift;
            const uint64_t directoryStart = start;
            // The archive's own records are its own entries.
            if (directoryStart >= ownStart && directoryStart < ownEnd) continue;
            const size_t before = seen.size();
            std::vector<CZipEntryHeader> records = ReadRecords(window, start, candidate, total, seen);
            // A directory that breaks off is no directory, unless it ran into
            // records another end record's directory holds.
            const bool joined = records.size() < total && seen.size() - before == records.size() &&
                                seen.count(start) > 0 && start < candidate;
            if (records.size() != total && !joined) continue;
            AddListed(records, shift, directoryStart, out);
            break;
        }
    }
    return out;
}
