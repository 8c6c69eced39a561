// Reading the central directory into the header list.
#include "archive/ZipDirectory.h"

#include <algorithm>
#include <cstring>

#include "archive/ZipConstants.h"
#include "archive/ZipRecordReader.h"
#include "errors/ZipException.h"
#include "storage/ZipStore.h"

using namespace ZipFormat;

namespace {

// The directory's bytes, read in pieces of directoryPieceSize and parsed
// in memory. Only bytes the stream really holds are read, and never more
// than one piece is held, so a damaged size or count cannot make us
// allocate beyond what the archive itself justifies.
struct DirectoryPieces {
    DirectoryPieces(CZipStore& storeArg, uint64_t start, uint64_t imageEndArg)
        : store(storeArg),
          piece(static_cast<uint32_t>(std::min<uint64_t>(directoryPieceSize, imageEndArg - start))),
          imageEnd(imageEndArg),
          next(start)
    {
    }
    // The stream offset of the next record not yet parsed.
    uint64_t At() const { return next - (held - used); }
    // Parses the record at At() into header without passing it: its size,
    // 0 when it runs past what the piece can hold (or the stream), negative
    // when it is broken. A record cut by the piece's end moves to the front
    // and the piece is filled up behind it first.
    int32_t Parse(CZipEntryHeader& header)
    {
        int32_t size = header.ParseCentralRecord(piece.data() + used, held - used);
        if (size == 0 && next < imageEnd && piece.length() > 0) {
            std::memmove(piece.data(), piece.data() + used, held - used);
            held -= used;
            used = 0;
            const uint32_t count = static_cast<uint32_t>(std::min<uint64_t>(piece.length() - held, imageEnd - next));
            store.Read(piece.data() + held, count, true);
            held += count;
            next += count;
            size = header.ParseCentralRecord(piece.data(), held);
        }
        return size;
    }

    CZipStore& store;
    CZipBuffer piece;
    const uint64_t imageEnd;
    uint64_t next;      // stream offset of the first byte not yet in the piece
    uint32_t held = 0;  // bytes in the piece
    uint32_t used = 0;  // bytes of the piece already parsed
};

} // namespace

void CZipDirectory::ReadDirectory()
{
    // An end record whose directory does not hold up (a fake one in the
    // comment or in bytes appended behind the archive, however many) gives
    // way to the one in front of it, over the whole stream. Each byte is
    // searched once; what the failed tries read of comments and directories
    // is bounded by a multiple of the stream's length.
    endSearchLimit = ~uint64_t(0);
    endSearchWork = 0;
    searchChunkLength = 0;
    classicValuesOnly = false;
    const uint64_t length = store->stream->GetLength();
    const uint64_t budget = endSearchWorkFactor * length + endSearchWorkFixed;
    // What the rearmost end record gave is the archive's error when no other
    // one does better.
    std::unique_ptr<CZipException> first;
    for (;;) {
        try {
            ReadDirectoryOnce();
            return;
        } catch (const CZipException& e) {
            if (!first) first = std::make_unique<CZipException>(e);
            // A read that failed where the stream has the bytes (a stop
            // request, a host fault) ends the search, as does a piece of a
            // spanned set, which is what it is.
            const bool readFailed =
                e.reason == ZipReason::tailUnreadable ||
                (e.reason == ZipReason::endRecordCut && endInfo.endRecordOffset + endRecordSize <= length);
            // So does an archive that starts beyond what 32-bit offsets reach.
            if (e.code == ZipError::tooManyVolumes || e.code == ZipError::cdirNotFound || readFailed ||
                e.reason == ZipReason::archiveTooFarIn ||
                AdoptedSpannedDisk() || endInfo.endRecordOffset == 0 || endSearchWork > budget)
                throw CZipException(*first);
            const uint64_t at = endInfo.endRecordOffset;
            // ZIP64 values that disagree with the end record's own and give
            // no directory: the same end record with its own values.
            const bool again = tookZip64Values && !classicValuesOnly;
            classicValuesOnly = again;
            DeleteAllHeaders();
            archiveComment.Release();
            endInfo = CZipEndInfo();
            endSearchLimit = again ? at + 1 : at;
        }
    }
}

bool CZipDirectory::AdoptedSpannedDisk() const
{
    // Before a try has read its end record the storage does not know yet
    // whether it is spanned: an end record cut short by the stream's end (a
    // signature in the comment's last bytes) is no piece of a set.
    return store->SpanState() != 0 && store->currentVolume > 0;
}

void CZipDirectory::ReadDirectoryOnce()
{
    CZipStream& stream = *store->stream;
    endInfo.claimsMultiVolume = false;
    endInfo.streamLength = stream.GetLength();
    endInfo.beyond32Bits = endInfo.streamLength > maxField32;
    endInfo.endRecordOffset = LocateEndRecord();
    stream.Seek(static_cast<int64_t>(endInfo.endRecordOffset), CZipStream::begin);
    uint8_t record[endRecordSize];
    if (stream.Read(record, endRecordSize) < endRecordSize)
        ThrowError(ZipError::badZipFile, ZipReason::endRecordCut, endInfo.endRecordOffset);

    CZipRecordReader fields(record, endRecordSize);
    std::memcpy(endSignature, fields.Bytes(4), 4);
    endInfo.diskNumber = fields.U16();
    endInfo.diskWithDirectory = fields.U16();
    endInfo.entriesOnThisDisk = fields.U16();
    endInfo.totalEntries = fields.U16();
    endInfo.directorySize = fields.U32();
    endInfo.directoryOffset = fields.U32();
    uint16_t commentLength = fields.U16();
    // Where the directory must end: at the end record, or at the ZIP64
    // records in front of it.
    const uint64_t directoryTail = ReadZip64EndRecord();
    endInfo.directoryTail = directoryTail;
    endInfo.claimsMultiVolume = endInfo.diskNumber != 0 || endInfo.diskWithDirectory != 0;
    // An offset saturated to all ones with no ZIP64 record to give it: the
    // directory is taken to end where it must, its size back from there.
    if (endInfo.directoryOffset == zip64Marker32 && directoryTail == endInfo.endRecordOffset &&
        endInfo.directorySize != zip64Marker32 && endInfo.directorySize <= directoryTail)
        endInfo.directoryOffset = static_cast<uint32_t>(directoryTail - endInfo.directorySize);
    // What this try reads counts against the search.
    endSearchWork += endRecordSize;

    store->AdoptLastDisk(endInfo.diskNumber);
    const bool spanned = store->SpanState() != 0;
    // Summed in 64 bits: a size and offset that wrap past 4 GiB must not pass
    // for a directory that ends in front of the end record.
    const uint64_t directoryEnd =
        static_cast<uint64_t>(endInfo.directoryOffset) + endInfo.directorySize;
    if (!spanned && directoryTail < directoryEnd)
        ThrowError(ZipError::badZipFile, ZipReason::directoryOverlapsEndRecord, endInfo.endRecordOffset);

    if (commentLength) {
        endSearchWork += commentLength;
        archiveComment.Allocate(commentLength);
        stream.Seek(static_cast<int64_t>(endInfo.endRecordOffset) + endRecordSize, CZipStream::begin);
        if (stream.Read(archiveComment.data(), commentLength) < commentLength)
            ThrowError(ZipError::badZipFile, ZipReason::commentCut, endInfo.endRecordOffset + endRecordSize);
    }
    // No entries but a size: a count that wrapped at 65,536 when records
    // fill that size (checked once they are read).
    if (endInfo.totalEntries != 0 && endInfo.directorySize == 0)
        ThrowError(ZipError::badZipFile, ZipReason::countDisagreesWithSize, endInfo.endRecordOffset);

    endInfo.directoryOnDisk = true;
    staleDirectoryOnDisk = false;
    if (endInfo.diskWithDirectory == store->currentVolume) {
        // The last volume of a spanned set holds its directory at the offset
        // the end record gives.
        SetForeignBytes(spanned ? directoryEnd : directoryTail, directoryEnd);
        LoadCountedHeaders();
        return;
    }
    // The directory is said to lie on another volume. Where this stream
    // holds it all the same (a whole archive whose disk fields are wrong,
    // or volumes joined into one file), it is read as in a single file;
    // otherwise that volume is out of reach.
    if (directoryTail < directoryEnd) store->CheckVolume(endInfo.diskWithDirectory);
    SetForeignBytes(directoryTail, directoryEnd);
    try {
        LoadCountedHeaders();
    } catch (const CZipException&) {
        store->CheckVolume(endInfo.diskWithDirectory);
    }
}

void CZipDirectory::SetForeignBytes(uint64_t directoryTail, uint64_t directoryEnd)
{
    // Offsets are 32-bit, and so are the bytes in front of the archive: an
    // archive further into its stream is beyond what the engine addresses.
    if (directoryTail - directoryEnd > maxField32)
        ThrowError(ZipError::badZipFile, ZipReason::archiveTooFarIn, directoryTail);
    endInfo.foreignBytes = static_cast<uint32_t>(directoryTail - directoryEnd);
}

void CZipDirectory::LoadCountedHeaders()
{
    endInfo.recordsEnd = static_cast<uint64_t>(endInfo.directoryOffset) + endInfo.foreignBytes;
    if (endInfo.directorySize == 0) return;
    LoadHeaders();
    if (headerList.empty())
        ThrowError(ZipError::badZipFile, ZipReason::countDisagreesWithSize, endInfo.endRecordOffset);
}

void CZipDirectory::LoadHeaders()
{
    CZipStream& stream = *store->stream;
    const uint64_t start = static_cast<uint64_t>(endInfo.directoryOffset) + endInfo.foreignBytes;
    DeleteAllHeaders();

    const uint64_t length = stream.GetLength();
    const uint64_t imageEnd = std::min<uint64_t>(start + endInfo.directorySize, std::max(length, start));
    const uint32_t total = endInfo.totalEntries;
    endSearchWork += imageEnd - start;
    headerList.reserve(std::min<uint64_t>(total, (imageEnd - start) / centralRecordSize + 1));

    stream.Seek(static_cast<int64_t>(start), CZipStream::begin);
    DirectoryPieces pieces(*store, start, imageEnd);
    bool inOrder = true;
    for (uint32_t i = 0; i < total; ++i) {
        // Never more headers in one block than the bytes left could hold.
        const uint64_t recordAt = pieces.At();
        const uint64_t bytesLeft = length > recordAt ? length - recordAt : 0;
        CZipHeaderPtr header =
            NewPooledHeader(static_cast<uint32_t>(std::min<uint64_t>(total - i, bytesLeft / centralRecordSize + 1)));
        const int32_t size = pieces.Parse(*header);
        if (size < 0) ThrowError(ZipError::badZipFile, ZipReason::centralRecordBroken, recordAt);
        if (size > 0) {
            pieces.used += static_cast<uint32_t>(size);
        } else {
            // Longer than a piece, or running on past the stated directory
            // size: read this one record straight from the stream.
            stream.Seek(static_cast<int64_t>(pieces.At()), CZipStream::begin);
            if (!header->ReadCentralRecord(*store))
                ThrowError(ZipError::badZipFile,
                           HasSignature(header->signature, centralSignature) ? ZipReason::recordCrossesVolume
                                                                             : ZipReason::centralRecordBroken,
                           recordAt);
            pieces.next = stream.GetPosition();
            pieces.held = pieces.used = 0;
        }
        ConvertNameForm(*header, true);
        header->TakeZip64Values();
        if (header->diskStart != 0) endInfo.claimsMultiVolume = true;
        if (!headerList.empty()) {
            const CZipEntryHeader& last = *headerList.back();
            if (last.diskStart == header->diskStart &&
                last.localHeaderOffset == header->localHeaderOffset)
                ThrowError(ZipError::badZipFile, ZipReason::localHeaderShared, recordAt);
            if (last.diskStart > header->diskStart ||
                (last.diskStart == header->diskStart &&
                 last.localHeaderOffset > header->localHeaderOffset))
                inOrder = false;
        }
        headerList.push_back(std::move(header));
    }
    endInfo.recordsEnd = pieces.At();

    // The count is 16 bits and wraps past 65,535 entries (or says less than
    // the directory holds): records the directory's size still holds are
    // entries too, as far as the header list reaches. Any that cannot join
    // the list (no room, broken, sharing a local header) leave the rest to
    // be read apart, and the archive is then never rewritten.
    std::vector<CZipHeaderPtr> more;
    bool left = false;
    uint64_t moreEnd = endInfo.recordsEnd;
    while (moreEnd + centralRecordSize <= imageEnd) {
        if (headerList.size() + more.size() >= maxEntries) {
            left = true;
            break;
        }
        CZipHeaderPtr header = NewPooledHeader(static_cast<uint32_t>(
            std::min<uint64_t>(maxEntries - headerList.size() - more.size(), (imageEnd - moreEnd) / centralRecordSize + 1)));
        const int32_t size = pieces.Parse(*header);
        if (size <= 0 || moreEnd + static_cast<uint32_t>(size) > imageEnd) {
            left = true;
            break;
        }
        pieces.used += static_cast<uint32_t>(size);
        moreEnd += static_cast<uint32_t>(size);
        ConvertNameForm(*header, true);
        header->TakeZip64Values();
        more.push_back(std::move(header));
    }
    if (!more.empty()) {
        std::vector<std::pair<uint32_t, uint32_t>> starts;  // volume, offset
        starts.reserve(headerList.size() + more.size());
        for (const auto* list : {&headerList, &more})
            for (const CZipHeaderPtr& h : *list) starts.emplace_back(h->diskStart, h->localHeaderOffset);
        std::sort(starts.begin(), starts.end());
        if (std::adjacent_find(starts.begin(), starts.end()) == starts.end()) {
            for (CZipHeaderPtr& h : more) {
                if (h->diskStart != 0) endInfo.claimsMultiVolume = true;
                headerList.push_back(std::move(h));
            }
            endInfo.recordsEnd = moreEnd;
            inOrder = false;
        } else {
            left = true;
        }
        more.clear();
    }
    endInfo.recordsBeyondList = left;

    // Archives nearly always list their entries in order already.
    if (!inOrder) OrderHeaders();
    if (nameIndexOn) BuildNameIndex(indexCaseSensitive);
}

void CZipDirectory::OrderHeaders()
{
    auto before = [](const CZipHeaderPtr& a, const CZipHeaderPtr& b) {
        if (a->diskStart != b->diskStart) return a->diskStart < b->diskStart;
        return a->localHeaderOffset < b->localHeaderOffset;
    };
    if (!std::is_sorted(headerList.begin(), headerList.end(), before))
        std::sort(headerList.begin(), headerList.end(), before);
    // Two entries claiming the same local header cannot both be right.
    for (size_t i = 1; i < headerList.size(); ++i)
        if (!before(headerList[i - 1], headerList[i]))
            ThrowError(ZipError::badZipFile, ZipReason::localHeaderShared, headerList[i]->localHeaderOffset);
}
