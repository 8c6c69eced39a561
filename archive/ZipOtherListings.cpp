#include "archive/ZipOtherListings.h"

#include <algorithm>
#include <iterator>
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

// Central records are read through a window of this size (and a record
// longer than it on its own), so that a stop request is asked at least this
// often; the end signatures are searched in chunks of the same size.
constexpr uint32_t kWindowSize = 65536;

// Positions of central records already read, so that no record is read
// twice however many end records point into the same bytes.
using RecordSet = std::unordered_set<uint64_t>;

// The search's bytes: what the window and the signature search read. Past
// the budget, or once a read fails where the stream has the bytes (a stop
// request, a host fault), the search ends with what it found.
struct Search {
    CZipStream& stream;
    CZipReadWindow window;
    uint64_t budget;
    uint64_t chunkBytes = 0;
    bool ended = false;
    bool Spent() const { return ended || window.BytesRead() + chunkBytes > budget; }
};

// Central records from `at` on, as long as they parse and end by `limit`;
// at most `count` of them (the bytes bound them anyway). The position after
// the last one comes back in `at`.
std::vector<CZipEntryHeader> ReadRecords(Search& search, uint64_t& at, uint64_t limit, uint32_t count,
                                         RecordSet& seen)
{
    std::vector<CZipEntryHeader> records;
    CZipBuffer longRecord;
    try {
        while (records.size() < count && at + centralRecordSize <= limit && !search.Spent()) {
            if (!seen.insert(at).second) break;
            const uint8_t* fixed = search.window.Get(at, centralRecordSize);
            if (!fixed) break;
            const uint32_t size = ZipCentralRecordSize(fixed);
            if (size == 0 || at + size > limit) break;
            const uint8_t* whole = nullptr;
            if (size <= kWindowSize) {
                whole = search.window.Get(at, size);
            } else {
                longRecord.Allocate(size);
                search.chunkBytes += size;
                if (ZipReadAt(search.stream, at, longRecord.data(), size) != size) {
                    search.ended = true;
                    break;
                }
                whole = longRecord.data();
            }
            if (!whole) break;
            CZipEntryHeader header;
            if (header.ParseCentralRecord(whole, size) != static_cast<int32_t>(size)) break;
            ConvertNameForm(header, true);
            records.push_back(std::move(header));
            at += size;
        }
    } catch (const CZipException&) {
        // Only bytes the stream holds are asked for: it failed to deliver.
        search.ended = true;
    }
    return records;
}

// The entries a set of records lists, their offsets counted from `shift`;
// each entry's data goes on at most to the next local header another record
// names. Records naming one local header give one entry: the one that says
// the most data lies there (the first listed of those), so that a folder's
// record cannot stand for a file's content under the same header.
void AddListed(std::vector<CZipEntryHeader>& records, uint64_t shift, uint64_t directoryStart,
               std::vector<CZipUnlistedEntry>& out)
{
    std::stable_sort(records.begin(), records.end(), [](const CZipEntryHeader& a, const CZipEntryHeader& b) {
        return a.localHeaderOffset < b.localHeaderOffset;
    });
    uint64_t nextLocal = directoryStart;  // where the next greater offset's local header lies
    std::vector<CZipUnlistedEntry> found;
    for (size_t i = records.size(); i-- > 0;) {
        const uint64_t position = records[i].localHeaderOffset + shift;
        const bool firstOfOffset = i == 0 || records[i - 1].localHeaderOffset != records[i].localHeaderOffset;
        if (firstOfOffset && position < directoryStart) {
            size_t best = i;
            for (size_t j = i + 1; j < records.size() && records[j].localHeaderOffset == records[i].localHeaderOffset; ++j)
                if (records[j].compressedSize > records[best].compressedSize) best = j;
            CZipUnlistedEntry e;
            e.localPosition = position;
            e.dataLimit = std::min(directoryStart, nextLocal);
            e.view = std::move(records[best]);
            found.push_back(std::move(e));
        }
        if (firstOfOffset) nextLocal = position;
    }
    std::move(found.rbegin(), found.rend(), std::back_inserter(out));
}

// Records behind the ones read into the header list, up to where the
// directory must end.
void RecordsBehind(CZipArchive& archive, Search& search, RecordSet& seen, std::vector<CZipUnlistedEntry>& out)
{
    const CZipEndInfo& own = archive.directory.endInfo;
    const uint64_t ownStart = static_cast<uint64_t>(own.directoryOffset) + own.foreignBytes;
    const uint64_t ownEnd = std::max(ownStart, own.recordsEnd);
    if (!own.directoryOnDisk || ownEnd >= own.directoryTail) return;
    uint64_t at = ownEnd;
    std::vector<CZipEntryHeader> behind = ReadRecords(search, at, own.directoryTail, 0xFFFFFFFFu, seen);
    AddListed(behind, own.foreignBytes, ownStart, out);
}

} // namespace

std::vector<CZipUnlistedEntry> ZipFindRecordsBehind(CZipArchive& archive)
{
    std::vector<CZipUnlistedEntry> out;
    if (!archive.store.stream || archive.store.SpanState() != 0) return out;
    CZipStream& stream = *archive.store.stream;
    const uint64_t length = stream.GetLength();
    Search search{stream, CZipReadWindow(stream, 0, length, kWindowSize),
                  endSearchWorkFactor * length + endSearchWorkFixed};
    RecordSet seen;
    RecordsBehind(archive, search, seen, out);
    return out;
}

std::vector<CZipUnlistedEntry> ZipFindOtherListings(CZipArchive& archive)
{
    std::vector<CZipUnlistedEntry> out;
    if (!archive.store.stream || archive.store.SpanState() != 0) return out;
    CZipStream& stream = *archive.store.stream;
    const CZipEndInfo& own = archive.directory.endInfo;
    const uint64_t length = stream.GetLength();
    Search search{stream, CZipReadWindow(stream, 0, length, kWindowSize),
                  endSearchWorkFactor * length + endSearchWorkFixed};

    RecordSet seen;
    RecordsBehind(archive, search, seen, out);
    const uint64_t ownStart = static_cast<uint64_t>(own.directoryOffset) + own.foreignBytes;
    const uint64_t ownEnd = std::max(ownStart, own.recordsEnd);

    // The other end records: in front of the archive's first entry (a stub,
    // archives joined in front), and from the end of the stream's last
    // 64 KiB or the archive's end record, whichever comes first, to the end
    // (the comment, bytes appended behind). Other places lie inside listed
    // entries' data and are their content.
    uint64_t front = ownStart;
    for (const CZipHeaderPtr& header : archive.directory.headerList)
        front = std::min(front, static_cast<uint64_t>(header->localHeaderOffset) + own.foreignBytes);
    const uint64_t tail = std::min(length > endSearchWindow ? length - endSearchWindow : 0, own.endRecordOffset);
    const std::pair<uint64_t, uint64_t> regions[] = {{0, std::min(front, tail)}, {tail, length}};
    CZipBuffer chunk(kWindowSize);
    for (const auto& region : regions) {
        for (uint64_t from = region.first; from + endRecordSize <= region.second && !search.Spent();) {
            // Chunks overlap by an end record less one byte, so that every
            // record lies whole in one of them.
            const uint32_t count = static_cast<uint32_t>(std::min<uint64_t>(kWindowSize, region.second - from));
            search.chunkBytes += count;
            if (ZipReadAt(stream, from, chunk.data(), count) != count) return out;
            for (uint32_t i = 0; i + endRecordSize <= count && !search.Spent(); ++i) {
                const uint64_t candidate = from + i;
                if (chunk[i] != 0x50 || !HasSignature(chunk.data() + i, endSignature) ||
                    candidate == own.endRecordOffset)
                    continue;
                CZipRecordReader record(chunk.data() + i, endRecordSize);
                record.Skip(4 + 2 + 2 + 2);  // signature, disk numbers, entries on this disk
                const uint16_t total = record.U16();
                const uint32_t size = record.U32();
                const uint32_t offset = record.U32();
                if (total == 0 || static_cast<uint64_t>(offset) + size > candidate) continue;
                // Offsets that count from the archive's own start, or from
                // the stream's start.
                for (uint64_t shift : {candidate - (static_cast<uint64_t>(offset) + size), uint64_t{0}}) {
                    uint64_t start = offset + shift;
                    const uint64_t directoryStart = start;
                    // The archive's own records are its own entries.
                    if (directoryStart >= ownStart && directoryStart < ownEnd) continue;
                    const size_t before = seen.size();
                    std::vector<CZipEntryHeader> records = ReadRecords(search, start, candidate, total, seen);
                    // A directory that breaks off is no directory, unless it ran
                    // into records another end record's directory holds.
                    const bool joined = records.size() < total && seen.size() - before == records.size() &&
                                        seen.count(start) > 0 && start < candidate;
                    if (records.size() != total && !joined) continue;
                    AddListed(records, shift, directoryStart, out);
                    break;
                }
            }
            if (from + count >= region.second) break;
            from += count - (endRecordSize - 1);
        }
    }
    return out;
}
