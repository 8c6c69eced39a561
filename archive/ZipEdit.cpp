// The edit's bookkeeping, the replacements and the commit of the listed
// entries; the erasure of unlisted content is in ZipEditErase.cpp.
#include "archive/ZipEdit.h"

#include <algorithm>
#include <cstring>
#include <string>
#include <utility>
#include <vector>

#include "archive/ZipAddRequest.h"
#include "archive/ZipArchive.h"
#include "archive/ZipConstants.h"
#include "archive/ZipEntryExtent.h"
#include "archive/ZipExtraField.h"
#include "archive/ZipLocalRecord.h"
#include "errors/ZipException.h"
#include "platform/ZipAesPrimitives.h"
#include "storage/ZipReadWindow.h"
#include "storage/ZipRetry.h"
#include "storage/ZipStream.h"
#include "storage/ZipStreamIO.h"

using namespace ZipFormat;

namespace {

// The most a local header can add to what the central record tells: its own
// extra field and a data descriptor with signature.
constexpr uint64_t maxLocalSurplus = maxFieldLength + descriptorSize + descriptorSignatureSize;

// The WinZip AES block of a listed entry, from its central record or its
// local header (some writers put it into the local header only).
bool AesInfoOf(CZipArchive& archive, uint16_t index, const CZipEntryHeader& header, ZipAesInfo& info)
{
    if (ZipFindAesInfo(header.extraField.data(), header.extraField.length(), info)) return true;
    CZipLocalRecord local;
    try {
        if (archive.ReadLocalRecord(index, local) && local.hasAes) {
            info = local.aes;
            return true;
        }
    } catch (const CZipException&) {
    }
    return false;
}

} // namespace

CZipEdit::CZipEdit(CZipArchive& archiveArg) : archive(archiveArg), stream(*archiveArg.store.stream)
{
}

bool CZipEdit::CanRewriteDirectory() const
{
    if (!archive.directory.endInfo.Rewritable()) return false;
    const CZipBuffer& comment = archive.directory.archiveComment;
    for (uint32_t i = 0; i + 4 <= comment.length(); ++i)
        if (HasSignature(comment.data() + i, endSignature)) return false;
    return true;
}

bool CZipEdit::Prepare()
{
    if (state != State::unchecked) return state == State::usable;
    CZipDirectory& directory = archive.directory;
    const CZipEndInfo& end = directory.endInfo;
    // Only an archive whose directory is still the one it was opened with
    // can be described by what is kept here.
    if (!end.directoryOnDisk || archive.store.SpanState() != 0 || !CanRewriteDirectory()) {
        state = State::unusable;
        return false;
    }
    const uint32_t foreign = end.foreignBytes;
    const uint64_t dataEnd = end.directoryOffset;
    auto forgetNames = [&] {
        for (const auto& header : directory.headerList) header->storedName.Release();
    };
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
        TakeStoredNames();

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
        forgetNames();
        return false;
    }
    if (!HostTakesWrites()) {
        forgetNames();
        return false;
    }
    state = State::usable;
    return true;
}

bool CZipEdit::HostTakesWrites()
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

void CZipEdit::TakeStoredNames()
{
    // The central records as stored, matched to the headers by their local
    // header offsets (which no two entries share). A name held in memory
    // went through a code page conversion that not every name survives, so
    // a directory written anew takes these bytes.
    struct Record {
        uint32_t offset;
        uint32_t at;      // the name's bytes in the kept tail
        uint32_t length;
    };
    std::vector<Record> records;
    uint32_t at = 0;
    CZipEntryHeader stored;
    for (int32_t size; (size = stored.ParseCentralRecord(tail.data() + at, tail.length() - at)) > 0;
         at += static_cast<uint32_t>(size))
        records.push_back(Record{stored.localHeaderOffset, at + centralRecordSize, stored.fileName.length()});
    std::sort(records.begin(), records.end(),
              [](const Record& a, const Record& b) { return a.offset < b.offset; });
    for (const auto& header : archive.directory.headerList) {
        auto found = std::lower_bound(records.begin(), records.end(), header->localHeaderOffset,
                                      [](const Record& r, uint32_t offset) { return r.offset < offset; });
        if (found == records.end() || found->offset != header->localHeaderOffset) continue;
        if (found->length != header->fileName.length()) continue;
        header->storedName.Assign(tail.data() + found->at, found->length);
    }
}

void CZipEdit::NoteWrites()
{
    // The directory leaves the stream before anything else is written.
    if (!archive.directory.endInfo.directoryOnDisk) touched = true;
}

void CZipEdit::Replace(uint16_t index, CZipStream& content)
{
    if (!archive.directory.HasIndex(index)) return;
    const CZipEntryHeader& original = *archive.directory.GetHeader(index);
    ZipAesInfo aes;
    const bool aesEntry = original.method == methodAes;
    if (aesEntry && (!AesInfoOf(archive, index, original, aes) || !CZipAesPrimitives::Available())) {
        Delete(index);
        return;
    }
    if (!Prepare()) return;
    const std::string name = original.NameAsString();
    bool added = false;
    // A failed add has been taken back, so it can be tried again; after
    // that the old entry stays as it is.
    try {
        ZipRetry<CZipException>(ZipRetryWork::add, [&] {
            content.SeekToBegin();
            CZipAddRequest request(&content, name);
            if (!original.storedName.empty()) {
                request.archiveName.assign(reinterpret_cast<const char*>(original.storedName.data()),
                                           original.storedName.length());
                request.utf8Name = (original.flags & flagUtf8Name) != 0;
            }
            if (aesEntry)
                request.aes = aes;
            else if (!(original.flags & flagEncrypted))
                request.options |= CZipAddRequest::plainData;
            try {
                added = archive.AddEntry(request);
            } catch (...) {
                NoteWrites();
                throw;
            }
            NoteWrites();
            return true;
        });
    } catch (const CZipException&) {
        return;
    }
    // The old copy goes only when its replacement was really written (an
    // archive of 65535 entries refuses the add).
    if (!added) return;
    appended = true;
    Delete(index);
}

void CZipEdit::Delete(uint16_t index)
{
    // An entry read more than once may be condemned after later ones.
    const auto at = std::lower_bound(deletions.begin(), deletions.end(), index);
    if (at == deletions.end() || *at != index) deletions.insert(at, index);
}

bool CZipEdit::Commit(const std::vector<uint64_t>& dataEnds, const ReadingsOf& readings)
{
    // Only the condemned content's own bytes go; every listed entry stays
    // where its record says and reads as before.
    const bool erased = !erasures.empty() && EraseUnlisted(dataEnds, readings);
    const bool changed = FinishListed();
    return erased || changed;
}

bool CZipEdit::FinishListed()
{
    bool removed = false;
    // The engine learns of a change only when one reached the stream. Only
    // deleting writes in front of the directory; without it the bytes kept
    // from the directory on tell whether the stream is as it was.
    auto changed = [&]() { return removed || !Unchanged(); };
    // A host that takes no write gets nothing changed: deleting starts by
    // cutting the old directory off, which could then never be put back.
    if (!CanRewriteDirectory() || (!deletions.empty() && !HostTakesWrites())) deletions.clear();
    if (!deletions.empty()) {
        // Deletions alone need no undo, but the directory written after them
        // keeps every name as stored.
        Prepare();
        const int before = archive.GetCount();
        try {
            archive.RemoveEntries(deletions);
            // A multi-volume archive is never changed.
            removed = archive.GetCount() < before;
        } catch (...) {
            NoteWrites();
            if (archive.GetCount() == before) {
                // Refused before any byte moved: the verdicts cannot all be
                // carried out, so none is, and the archive stays unchanged.
                if (!touched || RollBack()) return false;
                WriteDirectory();
                return changed();
            }
            // Interrupted while moving: the directory now describes the
            // stream as it is.
            removed = true;
        }
    }
    if (removed || appended) {
        if (WriteDirectory()) return changed();
        if (!removed && RollBack()) return false;
        return changed();
    }
    // Replacements that were all taken back: the directory goes back as it
    // was.
    if (touched) {
        if (RollBack()) return false;
        WriteDirectory();
        return changed();
    }
    return false;
}

bool CZipEdit::RollBack()
{
    if (state != State::usable) return false;
    try {
        return ZipRetry<CZipException>(ZipRetryWork::finish, [&] {
            archive.store.bufferedBytes = 0;
            if (tail.length()) ZipWriteAt(stream, tailStart, tail.data(), tail.length());
            stream.SetLength(originalLength);
            stream.Flush();
            return true;
        });
    } catch (const CZipException&) {
        return false;
    }
}

bool CZipEdit::WriteDirectory()
{
    uint64_t dataEnd = 0;
    bool known = false;
    try {
        return ZipRetry<CZipException>(ZipRetryWork::finish, [&] {
            if (!known) {
                archive.store.FlushBuffer();
                dataEnd = stream.GetLength();
                known = true;
            } else {
                // A directory that broke off halfway is cut away and
                // written anew.
                archive.store.bufferedBytes = 0;
                stream.SetLength(dataEnd);
                archive.directory.endInfo.directoryOnDisk = false;
            }
            if (archive.store.SpanState() != 0)
                archive.Flush();
            else
                archive.directory.WriteDirectoryAtEnd();
            stream.Flush();
            return true;
        });
    } catch (const CZipException&) {
        return false;
    }
}

bool CZipEdit::Unchanged()
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
