// The edit's erasure of content that no central record lists: the content's
// own bytes are overwritten with zeros where they lie. Nothing else moves,
// and nothing outside the stretch of unlisted bytes the content lies in is
// touched: no listed entry's local header, data or descriptor, no directory
// or end record, no other entry found by its local header. Every kept listed
// entry whose data could reach into an erased stretch is read before and
// after; where its reading changed, the original bytes are put back.
#include <algorithm>
#include <cstring>
#include <utility>
#include <vector>

#include "archive/ZipArchive.h"
#include "archive/ZipConstants.h"
#include "archive/ZipEdit.h"
#include "archive/ZipLocalRecord.h"
#include "archive/ZipUnlisted.h"
#include "errors/ZipException.h"
#include "storage/ZipBuffer.h"
#include "storage/ZipStream.h"
#include "storage/ZipStreamIO.h"

using namespace ZipFormat;

namespace {

// What is kept of the bytes a kept entry's reading could depend on, so that
// they can be put back; more than this and the stretch stays as it is.
constexpr uint64_t kMaxKeptOriginal = 64ull << 20;

using Range = std::pair<uint64_t, uint64_t>;

// Writes zeros over [from, to); true when any of them landed. Only bytes
// that really changed count: a host may claim writes it never keeps.
bool Zero(CZipStream& stream, uint64_t from, uint64_t to)
{
    static const uint8_t zeros[4096] = {};
    bool landed = false;
    for (uint64_t at = from; at < to;) {
        const uint32_t n = static_cast<uint32_t>(std::min<uint64_t>(sizeof zeros, to - at));
        try {
            ZipWriteAt(stream, at, zeros, n);
            uint8_t check[sizeof zeros];
            if (ZipReadAt(stream, at, check, n) != n || std::memcmp(check, zeros, n) != 0) break;
        } catch (const CZipException&) {
            break;
        }
        landed = true;
        at += n;
    }
    return landed;
}

} // namespace

bool CZipEdit::EraseUnlisted(const std::vector<uint64_t>& dataEnds, const ReadingsOf& readings)
{
    const std::vector<Erasure> todo = std::move(erasures);
    erasures.clear();
    // Entries deleted or replaced need no care. Once an entry was appended,
    // the bytes from the old directory on were overwritten: nothing there is
    // erased.
    std::vector<bool> kept(archive.directory.headerList.size(), true);
    for (uint16_t index : deletions)
        if (index < kept.size()) kept[index] = false;
    const bool structuresGone = touched || appended;

    std::vector<Range> gaps;
    std::vector<std::pair<uint64_t, uint16_t>> listed;  // local header position, index
    uint64_t length = 0;
    const CZipEndInfo& end = archive.directory.endInfo;
    const uint64_t directoryStart = static_cast<uint64_t>(end.directoryOffset) + end.foreignBytes;
    try {
        length = stream.GetLength();
        gaps = ZipUncoveredRanges(archive, dataEnds);
    } catch (const CZipException&) {
        return false;
    }
    for (size_t i = 0; i < archive.directory.headerList.size() && i <= maxEntries; ++i)
        listed.emplace_back(static_cast<uint64_t>(archive.directory.headerList[i]->localHeaderOffset) + end.foreignBytes,
                            static_cast<uint16_t>(i));
    std::sort(listed.begin(), listed.end());

    // Each content's own bytes, cut at the end of the stretch of unlisted
    // bytes it lies in.
    std::vector<Range> regions;
    for (const Erasure& c : todo) {
        const uint64_t start = c.localPosition;
        uint64_t limit = 0;
        if (start < directoryStart) {
            auto after = std::upper_bound(gaps.begin(), gaps.end(), Range(start, ~uint64_t(0)));
            if (after == gaps.begin() || start >= std::prev(after)->second) continue;
            limit = std::prev(after)->second;
        } else if (!structuresGone && end.endRecordOffset >= directoryStart &&
                   start >= end.endRecordOffset + endRecordSize) {
            // Behind the end record: its comment, or bytes trailing it.
            limit = length;
        } else {
            // Inside the directory or the end record, or where an appended
            // entry now lies.
            continue;
        }
        limit = std::min(limit, c.nextKnown > start ? c.nextKnown : limit);
        auto nextListed = std::upper_bound(listed.begin(), listed.end(), std::make_pair(start, uint16_t(0xFFFF)));
        if (nextListed != listed.end()) limit = std::min(limit, nextListed->first);
        if (start < directoryStart) limit = std::min(limit, directoryStart);

        CZipLocalRecord local;
        try {
            if (!local.Read(stream, start)) continue;
        } catch (const CZipException&) {
            continue;
        }
        uint64_t stop = std::max<uint64_t>(local.dataStart, c.readEnd);
        // The data as far as its header sizes it, never past where it could go.
        stop = std::max(stop, std::min<uint64_t>(local.dataStart + c.declaredSize, std::max(c.dataLimit, local.dataStart)));
        if ((c.flags & flagDataDescriptor) && stop + descriptorSize <= limit) {
            uint8_t d[descriptorSignatureSize + descriptorSize];
            uint32_t got = 0;
            try {
                got = ZipReadAt(stream, stop, d, sizeof d);
            } catch (const CZipException&) {
                // Nothing is known of its end: it stays as it is.
                continue;
            }
            if (got == sizeof d && HasSignature(d, descriptorSignature))
                stop += sizeof d;
            else if (got >= 4 && (d[0] | d[1] << 8 | d[2] << 16 | static_cast<uint32_t>(d[3]) << 24) == c.crc)
                stop += descriptorSize;
        }
        stop = std::min(stop, limit);
        if (stop > start) regions.emplace_back(start, stop);
    }
    if (regions.empty()) return false;

    // The kept listed entries whose reading could reach into a region: from
    // their local header up to the next listed one (or the directory). A
    // region never crosses a listed local header, so the regions a window
    // holds are those that start in it: a run of the sorted regions.
    std::sort(regions.begin(), regions.end());
    struct Watched {
        uint16_t index;
        uint64_t windowStart;
        size_t first, last;  // the regions [first, last)
        std::vector<Reading> before;
    };
    std::vector<Watched> watched;
    uint64_t next = directoryStart;
    std::vector<uint64_t> windowEnd(listed.size());
    for (size_t i = listed.size(); i-- > 0;) {
        windowEnd[i] = std::min(next, directoryStart);
        if (i > 0 && listed[i - 1].first < listed[i].first) next = listed[i].first;
    }
    for (size_t i = 0; i < listed.size(); ++i) {
        const uint16_t index = listed[i].second;
        if (index >= kept.size() || !kept[index] || listed[i].first >= directoryStart) continue;
        const size_t first = static_cast<size_t>(
            std::lower_bound(regions.begin(), regions.end(), Range(listed[i].first, 0)) - regions.begin());
        size_t last = first;
        while (last < regions.size() && regions[last].first < windowEnd[i]) ++last;
        if (last == first) continue;
        watched.push_back({index, listed[i].first, first, last, readings(index)});
    }

    // The original bytes of every region a watched entry could read; a
    // region too large to keep is left alone.
    std::vector<CZipBuffer> originals(regions.size());
    std::vector<bool> skip(regions.size(), false);
    uint64_t keptBytes = 0;
    for (const Watched& w : watched) {
        for (size_t r = w.first; r < w.last; ++r) {
            if (skip[r] || originals[r].length() > 0) continue;
            const uint64_t size = regions[r].second - regions[r].first;
            if (keptBytes + size > kMaxKeptOriginal) {
                skip[r] = true;
                continue;
            }
            originals[r].Allocate(static_cast<uint32_t>(size));
            bool read = false;
            try {
                read = ZipReadAt(stream, regions[r].first, originals[r].data(), originals[r].length()) == size;
            } catch (const CZipException&) {
            }
            if (!read) {
                skip[r] = true;
                continue;
            }
            keptBytes += size;
        }
    }

    // Every local header first, so that no reader finds a condemned entry
    // once its first write has landed; then the rest.
    std::vector<bool> erasedRegion(regions.size(), false);
    for (size_t r = 0; r < regions.size(); ++r)
        if (!skip[r])
            erasedRegion[r] = Zero(stream, regions[r].first, std::min(regions[r].second, regions[r].first + localRecordSize));
    for (size_t r = 0; r < regions.size(); ++r)
        if (erasedRegion[r] && regions[r].first + localRecordSize < regions[r].second)
            Zero(stream, regions[r].first + localRecordSize, regions[r].second);

    // A kept entry that reads differently now gets the bytes of its window
    // back (once for entries that share a window).
    uint64_t restoredWindow = ~uint64_t(0);
    for (const Watched& w : watched) {
        if (w.windowStart == restoredWindow || readings(w.index) == w.before) continue;
        restoredWindow = w.windowStart;
        for (size_t r = w.first; r < w.last; ++r) {
            if (!erasedRegion[r]) continue;
            try {
                ZipWriteAt(stream, regions[r].first, originals[r].data(), originals[r].length());
                erasedRegion[r] = false;
            } catch (const CZipException&) {
            }
        }
    }
    return std::find(erasedRegion.begin(), erasedRegion.end(), true) != erasedRegion.end();
}
