// Deleting entries in place: the removed entries' bytes are squeezed out by
// moving every run of kept entries down once, the stream is cut once, and
// the headers leave the directory in one pass. The central directory is
// written afterwards by Flush.
//
// The archive is the user's data, so the operation is built to leave a
// describable stream whatever happens:
// - everything that could make the moves destroy a kept entry (a kept
//   entry whose bytes reach into what is moved away or cut, wherever it
//   lies; offsets that do not rise, or lie at or past the data's end) is
//   checked before any byte moves; then nothing is changed at all;
// - a failed read or write during a move is retried a few times;
// - the runs are moved a transfer buffer at a time from the front, small
//   neighbouring runs sharing one read and one write, so that deleting many
//   small entries does not cost a read and a write per entry;
// - if a move still fails, the headers are set to where each kept entry's
//   bytes are intact (moved, or still at the old place), an entry torn in
//   both places leaves the directory, and the exception goes on, so that the
//   directory written next describes the stream.
#include <algorithm>
#include <cstring>
#include <memory>
#include <vector>

#include "archive/ZipArchive.h"
#include "archive/ZipConstants.h"
#include "archive/ZipEntryExtent.h"
#include "errors/ZipException.h"
#include "storage/ZipReadWindow.h"
#include "storage/ZipStream.h"
#include "storage/ZipStreamIO.h"

using namespace ZipFormat;

namespace {

// How far a forward move got, in archive offsets: the destination holds a
// complete copy of the source bytes below copiedEnd; destination bytes
// below touchedEnd may have been overwritten.
struct MoveProgress {
    uint64_t copiedEnd = 0;
    uint64_t touchedEnd = 0;
};

// One run of consecutive kept entries and the shift that closes the gap of
// the removed entries in front of it.
struct KeptRun {
    uint32_t start;   // offset of the run's first local header
    uint32_t end;     // offset of the next removed entry, or the data's end
    uint32_t shift;
    size_t first;     // the run's entries in the header list: [first, last)
    size_t last;
};

void MoveBytes(CZipArchive& archive, uint32_t start, uint32_t end, uint32_t shift,
               CZipActionCallback* callback, bool backwards)
{
    if (end <= start || shift == 0) return;
    // The destination must lie inside the 32-bit offsets of the format.
    if (backwards ? static_cast<uint64_t>(end) + shift > 0xFFFFFFFFull : shift > start)
        archive.ThrowError(ZipError::internal);

    CZipStream& stream = *archive.store.stream;
    const uint64_t foreign = archive.directory.endInfo.foreignBytes;
    CZipBuffer ownBuffer;
    CZipBuffer* buffer = &archive.transfer.buffer;
    if (buffer->empty()) {
        ownBuffer.Allocate(archive.transfer.bufferSize ? archive.transfer.bufferSize
                                                       : transferBufferSize);
        buffer = &ownBuffer;
    }
    const uint32_t chunkSize = std::min(end - start, buffer->length());

    while (start < end) {
        const uint32_t n = std::min(chunkSize, end - start);
        const uint32_t from = backwards ? end - n : start;
        const uint32_t got = ZipReadAt(stream, foreign + from, buffer->data(), n);
        // Moving towards the end needs whole chunks: a short read from the
        // back would move the wrong bytes.
        if (got == 0 || (backwards && got < n)) break;
        const uint64_t to = backwards ? static_cast<uint64_t>(from) + shift : from - shift;
        ZipWriteAt(stream, foreign + to, buffer->data(), got);
        if (backwards)
            end -= got;
        else
            start += got;
        if (callback && !callback->Callback(got)) archive.ThrowError(ZipError::abortedAction);
    }
    if (start != end) archive.ThrowError(ZipError::internal);
}

// Moves every run down by its shift in one pass from the front, through the
// transfer buffer. Runs are taken a buffer at a time; runs that lie within
// one buffer's reach (the many small entries between small deleted ones)
// share its read and its write, with the deleted bytes between them left
// out. Their destinations follow one another without a gap, and each lies
// at or below bytes already read, so nothing unread is overwritten.
void MoveRuns(CZipArchive& archive, const std::vector<KeptRun>& runs, CZipActionCallback* callback,
              MoveProgress& progress)
{
    if (runs.empty()) return;
    CZipStream& stream = *archive.store.stream;
    const uint64_t foreign = archive.directory.endInfo.foreignBytes;
    uint8_t* buffer = archive.transfer.buffer.data();
    const uint32_t size = archive.transfer.buffer.length();

    size_t r = 0;
    uint64_t from = runs[0].start;
    progress.copiedEnd = from;
    progress.touchedEnd = from - runs[0].shift;
    while (r < runs.size()) {
        const uint64_t reach = from + size;
        size_t last = r;
        while (last + 1 < runs.size() && runs[last + 1].start < reach) ++last;
        const uint64_t to = std::min<uint64_t>(reach, runs[last].end);
        const uint32_t count = static_cast<uint32_t>(to - from);
        if (ZipReadAt(stream, foreign + from, buffer, count) != count)
            archive.ThrowError(ZipError::internal);

        uint32_t kept = 0;
        for (size_t q = r; q <= last; ++q) {
            const uint64_t a = std::max<uint64_t>(from, runs[q].start);
            const uint64_t b = std::min<uint64_t>(to, runs[q].end);
            if (a - from != kept) std::memmove(buffer + kept, buffer + (a - from), static_cast<size_t>(b - a));
            kept += static_cast<uint32_t>(b - a);
        }
        const uint64_t destination = from - runs[r].shift;
        progress.touchedEnd = std::max<uint64_t>(progress.touchedEnd, destination + kept);
        ZipWriteAt(stream, foreign + destination, buffer, kept);

        if (to >= runs[last].end) {
            r = last + 1;
            from = r < runs.size() ? runs[r].start : to;
        } else {
            r = last;
            from = to;
        }
        progress.copiedEnd = from;
        if (callback && !callback->Callback(kept)) archive.ThrowError(ZipError::abortedAction);
    }
}

// Removes the flagged headers from the directory and its name index in one
// pass, and gives the others their new offsets.
void CompactDirectory(CZipDirectory& directory, const std::vector<uint8_t>& removed,
                      const std::vector<uint32_t>& offsets)
{
    auto& list = directory.headerList;
    const size_t count = list.size();
    std::vector<int> newPosition(count, -1);
    size_t kept = 0;
    for (size_t i = 0; i < count; ++i) {
        if (removed[i]) {
            if (directory.currentHeader == list[i].get()) directory.currentHeader = nullptr;
            continue;
        }
        newPosition[i] = static_cast<int>(kept);
        list[i]->localHeaderOffset = offsets[i];
        if (kept != i) list[kept] = std::move(list[i]);
        ++kept;
    }

    if (directory.nameIndexOn) {
        bool consistent = true;
        size_t w = 0;
        for (CZipNameIndexEntry entry : directory.nameIndex) {
            if (entry.index >= count) {
                consistent = false;
                continue;
            }
            const int position = newPosition[entry.index];
            if (position < 0) continue;
            entry.index = static_cast<uint16_t>(position);
            directory.nameIndex[w++] = entry;
        }
        directory.nameIndex.resize(w);
        list.resize(kept);
        if (!consistent || directory.nameIndex.size() != kept)
            directory.BuildNameIndex(directory.indexCaseSensitive);
    } else {
        list.resize(kept);
    }
}

} // namespace

void CZipArchive::MoveBlock(uint32_t start, uint32_t end, uint32_t shift,
                            CZipActionCallback* callback, bool backwards)
{
    MoveBytes(*this, start, end, shift, callback, backwards);
}

void CZipArchive::RemoveEntries(std::vector<uint16_t>& indices)
{
    if (IsClosed(true) || store.SpanState() != 0 || !directory.endInfo.Rewritable() || entryState != 0 ||
        indices.empty())
        return;
    std::sort(indices.begin(), indices.end());
    indices.erase(std::unique(indices.begin(), indices.end()), indices.end());
    auto& list = directory.headerList;
    const size_t count = list.size();
    std::vector<uint16_t> wanted(indices.begin(),
                                 std::lower_bound(indices.begin(), indices.end(), count));
    if (wanted.empty()) return;

    CZipStream& stream = *store.stream;
    const uint64_t foreign = directory.endInfo.foreignBytes;
    // Where the entries' data ends: the directory's place, or the stream's
    // end once the directory is off the stream.
    uint64_t end;
    if (directory.endInfo.directoryOnDisk || directory.staleDirectoryOnDisk) {
        end = directory.endInfo.directoryOffset;
    } else {
        store.FlushBuffer();
        const uint64_t length = stream.GetLength();
        end = length > foreign ? length - foreign : 0;
    }
    if (end > 0xFFFFFFFFull) ThrowError(ZipError::internal);

    std::vector<uint8_t> removed(count, 0);
    for (uint16_t i : wanted) removed[i] = 1;
    const size_t first = wanted.front();

    CZipActionCallback* listing = GetCallback(callbackDeleteList);
    if (listing) {
        listing->Init(nullptr, nullptr);
        listing->SetTotal(static_cast<uint32_t>(count));
    }

    // Every check comes before the first byte moves. The bytes from the
    // first removed entry on are moved or cut away: a kept entry in front
    // of it must end there, and every kept entry behind it must end within
    // its run, where the next removed entry (or the data's end) cuts. From
    // the entry in front of the first removed one on, offsets must rise, so
    // that the runs hold what the moves take them to hold. Local headers are
    // read only where an entry could reach its limit, in ascending order
    // through one window, so the whole check is linear in the entries.
    CZipReadWindow window(stream, directory.endInfo.foreignBytes, end);
    const size_t checkFrom = first > 0 ? first - 1 : first;
    const uint64_t firstCut = list[first]->localHeaderOffset;
    size_t cut = 0;  // the next removed entry, in wanted
    for (size_t i = 0; i < count; ++i) {
        if (listing && i >= checkFrom && i % directoryCallbackStep == 0 &&
            !listing->Callback(directoryCallbackStep))
            ThrowError(ZipError::abortedSafely);
        const CZipEntryHeader& header = *list[i];
        const uint64_t offset = header.localHeaderOffset;
        if (i >= checkFrom) {
            const uint64_t slotEnd = i + 1 < count ? list[i + 1]->localHeaderOffset : end;
            if (offset >= slotEnd) ThrowError(ZipError::badZipFile, ZipReason::entriesOverlap, offset);
        }
        if (removed[i]) continue;
        while (cut < wanted.size() && wanted[cut] < i) ++cut;
        const uint64_t limit = i < first               ? firstCut
                               : cut < wanted.size() ? list[wanted[cut]]->localHeaderOffset
                                                       : end;
        // The most a local header can add: its name and extra field, and a
        // data descriptor with signature.
        const uint64_t most = offset + localRecordSize + 2ull * maxFieldLength + header.compressedSize +
                              descriptorSignatureSize + descriptorSize;
        if (most > limit && ZipEntryExtentEnd(window, header) > limit)
            ThrowError(ZipError::badZipFile, ZipReason::entriesOverlap, offset);
    }
    if (listing) listing->CallbackEnd();

    std::vector<KeptRun> runs;
    std::vector<uint32_t> offsets(count);
    for (size_t i = 0; i < count; ++i) offsets[i] = list[i]->localHeaderOffset;
    uint64_t shift = 0;
    uint64_t toMove = 0;
    bool pending = false;
    for (size_t i = first; i < count; ++i) {
        const uint32_t offset = offsets[i];
        const uint32_t next = i + 1 < count ? offsets[i + 1] : static_cast<uint32_t>(end);
        if (removed[i]) {
            if (pending) {
                runs.back().end = offset;
                runs.back().last = i;
                toMove += offset - runs.back().start;
                pending = false;
            }
            shift += next - offset;
        } else if (!pending) {
            runs.push_back(KeptRun{offset, 0, static_cast<uint32_t>(shift), i, 0});
            pending = true;
        }
    }
    if (pending) {
        runs.back().end = static_cast<uint32_t>(end);
        runs.back().last = count;
        toMove += end - runs.back().start;
    }

    CZipActionCallback* moving = GetCallback(callbackDelete);
    if (moving) {
        moving->Init(nullptr, nullptr);
        moving->SetTotal(static_cast<uint32_t>(toMove));
    }

    transfer.buffer.Allocate(transfer.bufferSize ? transfer.bufferSize : transferBufferSize);
    struct BufferRelease {
        CZipBuffer& buffer;
        ~BufferRelease() { buffer.Release(); }
    } release{transfer.buffer};
    // From here on the stream changes.
    directory.DiscardWrittenDirectory();

    MoveProgress progress;
    try {
        MoveRuns(*this, runs, moving, progress);
        if (moving) moving->CallbackEnd();
    } catch (...) {
        // Describe what the stream holds now: an entry whose bytes were all
        // copied is at its new place; one whose old place no write reached
        // is still there; one torn in both places leaves the directory.
        // Behind the last entry that stays, the stream holds only leftovers:
        // it is cut there, so that the directory written next follows the
        // entries directly.
        uint64_t used = runs.empty() ? end : runs.front().start - runs.front().shift;
        for (const KeptRun& run : runs) {
            for (size_t i = run.first; i < run.last; ++i) {
                const uint64_t next = i + 1 < run.last ? offsets[i + 1] : run.end;
                if (next <= progress.copiedEnd) {
                    offsets[i] -= run.shift;
                    used = std::max<uint64_t>(used, next - run.shift);
                } else if (offsets[i] < progress.touchedEnd) {
                    removed[i] = 1;
                } else {
                    used = std::max<uint64_t>(used, next);
                }
            }
        }
        CompactDirectory(directory, removed, offsets);
        try {
            stream.SetLength(foreign + used);
        } catch (...) {
        }
        throw;
    }

    for (const KeptRun& run : runs)
        for (size_t i = run.first; i < run.last; ++i) offsets[i] -= run.shift;
    CompactDirectory(directory, removed, offsets);
    if (shift > 0) stream.SetLength(foreign + end - shift);
    if (autoFlush) Flush();
}
