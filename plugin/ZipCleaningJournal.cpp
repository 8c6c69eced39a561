#include "plugin/ZipCleaningJournal.h"

#include <algorithm>
#include <cstring>
#include <utility>
#include <vector>

#include "archive/ZipAddRequest.h"
#include "archive/ZipArchive.h"
#include "archive/ZipConstants.h"
#include "archive/ZipEntryExtent.h"
#include "errors/ZipException.h"
#include "storage/ZipReadWindow.h"
#include "storage/ZipStream.h"
#include "storage/ZipStreamIO.h"

using namespace ZipFormat;

namespace {

// The most a local header can add to what the central record tells: its own
// extra field and a data descriptor with signature.
constexpr uint64_t maxLocalSurplus = maxFieldLength + descriptorSize + descriptorSignatureSize;

} // namespace

bool CZipCleaningJournal::CanRewriteDirectory(const CZipArchive& archive)
{
    if (!archive.directory.endInfo.Rewritable()) return false;
    const CZipBuffer& comment = archive.directory.archiveComment;
    for (uint32_t i = 0; i + 4 <= comment.length(); ++i)
        if (HasSignature(comment.data() + i, ZipFormat::endSignature)) return false;
    return true;
}

bool CZipCleaningJournal::Prepare(CZipArchive& archive, CZipStream& stream)
{
    if (state != State::unchecked) return state == State::usable;
    CZipDirectory& directory = archive.directory;
    const CZipEndInfo& end = directory.endInfo;
    // Only an archive whose directory is still the one it was opened with
    // can be described by what is kept here.
    if (!end.directoryOnDisk || archive.store.SpanState() != 0 || !CanRewriteDirectory(archive)) {
        state = State::unusable;
        return false;
    }
    const uint32_t foreign = end.foreignBytes;
    const uint64_t dataEnd = end.directoryOffset;
    try {
        // The end record lies within the search window behind the
        // directory, so what is kept is about the size of the directory
        // already held in memory.
        const uint64_t start = dataEnd + foreign;
        const uint64_t length = stream.GetLength();
        if (length < start ||
            length - start > static_cast<uint64_t>(directory.GetDirectorySize(true)) + 2ull * endSearchWindow) {
            state = State::unusable;
            return false;
        }
        const uint32_t tailLength = static_cast<uint32_t>(length - start);
        CZipBuffer bytes(tailLength);
        if (tailLength && ZipReadAt(stream, start, bytes.data(), tailLength) != tailLength) return false;
        tail = std::move(bytes);
        tailStart = start;
        originalLength = length;
        TakeNames(archive);

        // An appended entry overwrites the bytes from the directory on: no
        // entry may reach into them.
        CZipReadWindow window(stream, foreign, dataEnd);
        for (int i = 0; i < directory.EntryCount(); ++i) {
            const CZipEntryHeader& h = *directory.GetHeader(i);
            const uint64_t offset = h.localHeaderOffset;
            if (offset >= dataEnd) {
                state = State::unusable;
                return false;
            }
            // Most entries end far enough in front of the directory to need
            // no look at their local header.
            const uint64_t least = offset + localRecordSize + h.fileName.length() + h.compressedSize;
            if (least + maxLocalSurplus <= dataEnd) continue;
            if (ZipEntryExtentEnd(window, h) > dataEnd) {
                state = State::unusable;
                return false;
            }
        }
    } catch (const CZipException&) {
        names.clear();
        return false;
    }
    if (!HostTakesWrites(archive, stream)) {
        names.clear();
        return false;
    }
    state = State::usable;
    return true;
}

bool CZipCleaningJournal::HostTakesWrites(CZipArchive& archive, CZipStream& stream)
{
    const CZipEndInfo& end = archive.directory.endInfo;
    // Without the end record in place the stream has been written already.
    if (writable || !end.directoryOnDisk || archive.store.SpanState() != 0) return true;
    try {
        ZipWriteAt(stream, end.endRecordOffset, endSignature, 1);
        writable = true;
    } catch (const CZipException&) {
    }
    return writable;
}

void CZipCleaningJournal::TakeNames(CZipArchive& archive)
{
    // The central records as stored, matched to the headers by their local
    // header offsets (which no two entries share).
    struct Record {
        uint32_t offset;
        std::string name;
        bool utf8;
    };
    std::vector<Record> records;
    uint32_t at = 0;
    CZipEntryHeader stored;
    for (int32_t size; (size = stored.ParseCentralRecord(tail.data() + at, tail.length() - at)) > 0;
         at += static_cast<uint32_t>(size))
        records.push_back(Record{stored.localHeaderOffset, stored.NameAsString(),
                                 (stored.flags & flagUtf8Name) != 0});
    std::sort(records.begin(), records.end(),
              [](const Record& a, const Record& b) { return a.offset < b.offset; });
    names.reserve(archive.directory.headerList.size());
    for (const auto& header : archive.directory.headerList) {
        auto found = std::lower_bound(records.begin(), records.end(), header->localHeaderOffset,
                                      [](const Record& r, uint32_t offset) { return r.offset < offset; });
        if (found == records.end() || found->offset != header->localHeaderOffset) continue;
        if (found->name.size() != header->fileName.length()) continue;
        names[header.get()] = StoredName{std::move(found->name), found->utf8};
    }
}

bool CZipCleaningJournal::Restore(CZipArchive& archive, CZipStream& stream)
{
    if (state != State::usable) return false;
    archive.store.bufferedBytes = 0;
    if (tail.length()) ZipWriteAt(stream, tailStart, tail.data(), tail.length());
    stream.SetLength(originalLength);
    stream.Flush();
    return true;
}

bool CZipCleaningJournal::Unchanged(CZipStream& stream)
{
    if (state != State::usable) return false;
    try {
        if (stream.GetLength() != originalLength) return false;
        const uint32_t length = tail.length();
        if (length == 0) return true;
        CZipBuffer now(length);
        return ZipReadAt(stream, tailStart, now.data(), length) == length &&
               std::memcmp(now.data(), tail.data(), length) == 0;
    } catch (const CZipException&) {
        return false;
    }
}

void CZipCleaningJournal::NameLike(const CZipEntryHeader* original, CZipAddRequest& request) const
{
    auto found = names.find(original);
    if (found == names.end()) return;
    request.archiveName = found->second.bytes;
    request.utf8Name = found->second.utf8;
}

void CZipCleaningJournal::Remember(const CZipEntryHeader* added, const CZipAddRequest& request)
{
    if (!request.archiveName.empty()) names[added] = StoredName{request.archiveName, request.utf8Name};
}

void CZipCleaningJournal::WriteDirectory(CZipArchive& archive)
{
    if (archive.store.SpanState() != 0) {
        archive.Flush();
        return;
    }
    archive.directory.WriteDirectoryAtEnd([this](const CZipEntryHeader& header) -> const std::string* {
        auto found = names.find(&header);
        return found != names.end() ? &found->second.bytes : nullptr;
    });
}
