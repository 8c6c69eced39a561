// Reading the central directory, opening one entry's local data and
// changing the header list. Writing the directory back lives in
// ZipDirectoryWrite.cpp, looking entries up by name in ZipDirectoryLookup.cpp.
#include "archive/ZipDirectory.h"

#include <algorithm>
#include <cstring>
#include <new>

#include "archive/ZipConstants.h"
#include "archive/ZipRecordReader.h"
#include "errors/ZipException.h"
#include "storage/ZipStore.h"

using namespace ZipFormat;

CZipDirectory::CZipDirectory() : compareNames(CompareNamesCollateNoCase) {}

CZipDirectory::~CZipDirectory()
{
    // The pooled headers go before the blocks that hold them.
    DeleteAllHeaders();
}

void CZipHeaderDeleter::operator()(CZipEntryHeader* header) const
{
    if (pooled)
        header->~CZipEntryHeader();
    else
        delete header;
}

CZipHeaderPtr CZipDirectory::NewPooledHeader(uint32_t wanted)
{
    constexpr uint32_t blockEntries = 1024;
    if (blockUsed == blockCapacity) {
        blockCapacity = std::max<uint32_t>(1, std::min(wanted, blockEntries));
        headerBlocks.emplace_back(new unsigned char[blockCapacity * sizeof(CZipEntryHeader)]);
        blockUsed = 0;
    }
    void* place = headerBlocks.back().get() + static_cast<size_t>(blockUsed++) * sizeof(CZipEntryHeader);
    return CZipHeaderPtr(new (place) CZipEntryHeader(), CZipHeaderDeleter{true});
}

void CZipDirectory::ThrowError(int code, ZipReason reason, uint64_t offset) const
{
    std::string path;
    if (store && store->stream) path = store->stream->GetFilePath();
    ThrowZipException(code, path, reason, offset);
}

uint64_t CZipDirectory::LocateEndRecord()
{
    CZipStream& stream = *store->stream;
    // The whole length: cut to 32 bits, the end of a stream past 4 GiB would
    // be looked for at some place near its start.
    const uint64_t length = stream.GetLength();
    // A signature starting in front of the limit; its bytes may reach 3 past it.
    uint64_t top = endSearchLimit >= length ? length : std::min(length, endSearchLimit + 3);
    // Chunks overlap by 3 bytes, so a chunk must be longer than that to make
    // progress.
    const uint32_t chunkSize =
        static_cast<uint32_t>(std::max(searchBufferSize, minSearchBufferSize));
    if (searchChunk.length() != chunkSize) {
        searchChunk.Allocate(chunkSize);
        searchChunkLength = 0;
    }
    while (top >= 4) {
        // The bytes [from, top), from the chunk read last time where it holds them.
        uint64_t from;
        const uint8_t* p;
        if (searchChunkLength && top >= searchChunkStart + 4 && top <= searchChunkStart + searchChunkLength) {
            from = searchChunkStart;
            p = searchChunk.data();
        } else {
            from = top > chunkSize ? top - chunkSize : 0;
            const uint32_t count = static_cast<uint32_t>(top - from);
            searchChunkLength = 0;
            stream.Seek(static_cast<int64_t>(from), CZipStream::begin);
            if (stream.Read(searchChunk.data(), count) < count)
                ThrowError(ZipError::badZipFile, ZipReason::tailUnreadable, from);
            searchChunkStart = from;
            searchChunkLength = count;
            p = searchChunk.data();
        }
        const uint32_t count = static_cast<uint32_t>(top - from);
        for (uint32_t i = count - 4 + 1; i-- > 0;)
            if (p[i] == 0x50 && HasSignature(p + i, ZipFormat::endSignature)) return from + i;
        // Everything from `from` on has been searched but a record's first
        // three bytes.
        if (from == 0) break;
        top = from + 3;
    }
    ThrowError(ZipError::cdirNotFound, ZipReason::endRecordMissing);
}

uint64_t CZipDirectory::ReadZip64EndRecord()
{
    tookZip64Values = false;
    CZipStream& stream = *store->stream;
    const uint64_t endAt = endInfo.endRecordOffset;
    if (endAt < zip64LocatorSize + zip64EndRecordSize) return endAt;
    const uint64_t locatorAt = endAt - zip64LocatorSize;
    auto readAt = [&](uint64_t at, uint8_t* bytes, uint32_t count) {
        stream.Seek(static_cast<int64_t>(at), CZipStream::begin);
        return stream.Read(bytes, count) == count;
    };
    uint8_t locator[zip64LocatorSize];
    if (!readAt(locatorAt, locator, zip64LocatorSize)) return endAt;
    CZipRecordReader locatorFields(locator, zip64LocatorSize);
    if (!locatorFields.Signature(zip64LocatorSignature)) return endAt;
    locatorFields.Skip(4);  // disk holding the ZIP64 end record
    const uint64_t statedRecordAt = locatorFields.U64();

    // The record lies right in front of its locator. Its usual size is
    // tried first; one with extensible data is found through the offset
    // the locator gives (exact only without bytes in front of the archive).
    uint8_t record[zip64EndRecordSize];
    CZipRecordReader fields(record, zip64EndRecordSize);
    uint64_t recordAt = locatorAt - zip64EndRecordSize;
    auto endsAtLocator = [&](uint64_t at) {
        if (!readAt(at, record, zip64EndRecordSize)) return false;
        fields = CZipRecordReader(record, zip64EndRecordSize);
        return fields.Signature(zip64EndSignature) &&
               fields.U64() == locatorAt - at - zip64EndRecordTail;
    };
    if (!endsAtLocator(recordAt)) {
        recordAt = statedRecordAt;
        if (recordAt > locatorAt - zip64EndRecordSize || !endsAtLocator(recordAt)) return endAt;
    }

    fields.Skip(4);  // versions made by and needed
    const uint64_t diskNumber = fields.U32();
    const uint64_t diskWithDirectory = fields.U32();
    const uint64_t entriesOnThisDisk = fields.U64();
    const uint64_t totalEntries = fields.U64();
    const uint64_t directorySize = fields.U64();
    const uint64_t directoryOffset = fields.U64();
    // Each field of the end record either holds the value itself (a count
    // as the low 16 bits of a larger one), or is marked as all ones and
    // takes the ZIP64 value. Where a value disagrees, the ZIP64 record is
    // taken first, as readers that know ZIP64 take it; when its directory
    // does not hold up, the end record is tried again with its own values
    // (the signatures may be in a file name, say). The disk fields are
    // claims only: what the stream holds is read whatever they say.
    auto agrees = [](uint64_t field, uint64_t marker, uint64_t value) {
        return field == marker || field == (value & marker);
    };
    const bool agreeing = agrees(endInfo.totalEntries, zip64Marker16, totalEntries) &&
                          agrees(endInfo.directorySize, zip64Marker32, directorySize) &&
                          agrees(endInfo.directoryOffset, zip64Marker32, directoryOffset);
    if (!agreeing && classicValuesOnly) return endAt;
    tookZip64Values = !agreeing;
    // The engine's fields are 32 bits (16 for disks): an archive that needs
    // more is refused. A count past 16 bits is read as far as the header
    // list goes; the records behind are the directory's all the same.
    auto take16 = [&](uint16_t& field, uint64_t value) {
        if (field != zip64Marker16) return;
        if (value > zip64Marker16) ThrowError(ZipError::badZipFile, ZipReason::zip64ValueTooLarge, recordAt);
        field = static_cast<uint16_t>(value);
    };
    auto take32 = [&](uint32_t& field, uint64_t value) {
        if (value > maxField32) ThrowError(ZipError::badZipFile, ZipReason::zip64ValueTooLarge, recordAt);
        field = static_cast<uint32_t>(value);
    };
    take16(endInfo.diskNumber, diskNumber);
    take16(endInfo.diskWithDirectory, diskWithDirectory);
    // Kept only for the record: nothing depends on it.
    if (endInfo.entriesOnThisDisk == zip64Marker16 && entriesOnThisDisk < zip64Marker16)
        endInfo.entriesOnThisDisk = static_cast<uint16_t>(entriesOnThisDisk);
    endInfo.totalEntries = static_cast<uint16_t>(std::min<uint64_t>(totalEntries, maxEntries));
    take32(endInfo.directorySize, directorySize);
    take32(endInfo.directoryOffset, directoryOffset);
    return recordAt;
}

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
    endInfo.beyond32Bits = stream.GetLength() > maxField32;
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

    // The directory is read in large pieces and parsed in memory. Only bytes
    // the stream really holds are read, and never more than one piece is
    // held, so a damaged size or count cannot make us allocate beyond what
    // the archive itself justifies.
    const uint64_t length = stream.GetLength();
    const uint64_t imageEnd = std::min<uint64_t>(start + endInfo.directorySize, std::max(length, start));
    const uint32_t total = endInfo.totalEntries;
    endSearchWork += imageEnd - start;
    CZipBuffer piece(static_cast<uint32_t>(std::min<uint64_t>(directoryPieceSize, imageEnd - start)));
    headerList.reserve(std::min<uint64_t>(total, (imageEnd - start) / centralRecordSize + 1));

    stream.Seek(static_cast<int64_t>(start), CZipStream::begin);
    uint64_t next = start;  // stream offset of the first byte not yet in the piece
    uint32_t held = 0;      // bytes in the piece
    uint32_t used = 0;      // bytes of the piece already parsed
    bool inOrder = true;
    for (uint32_t i = 0; i < total; ++i) {
        // Never more headers in one block than the bytes left could hold.
        const uint64_t recordAt = next - (held - used);
        const uint64_t bytesLeft = length > recordAt ? length - recordAt : 0;
        CZipHeaderPtr header =
            NewPooledHeader(static_cast<uint32_t>(std::min<uint64_t>(total - i, bytesLeft / centralRecordSize + 1)));
        int32_t size = header->ParseCentralRecord(piece.data() + used, held - used);
        if (size == 0 && next < imageEnd && piece.length() > 0) {
            // Move what is left to the front and fill up the piece.
            std::memmove(piece.data(), piece.data() + used, held - used);
            held -= used;
            used = 0;
            uint32_t count = static_cast<uint32_t>(std::min<uint64_t>(piece.length() - held, imageEnd - next));
            store->Read(piece.data() + held, count, true);
            held += count;
            next += count;
            size = header->ParseCentralRecord(piece.data(), held);
        }
        if (size < 0) ThrowError(ZipError::badZipFile, ZipReason::centralRecordBroken, recordAt);
        if (size > 0) {
            used += static_cast<uint32_t>(size);
        } else {
            // Longer than a piece, or running on past the stated directory
            // size: read this one record straight from the stream.
            stream.Seek(static_cast<int64_t>(next - (held - used)), CZipStream::begin);
            if (!header->ReadCentralRecord(*store))
                ThrowError(ZipError::badZipFile,
                           HasSignature(header->signature, centralSignature) ? ZipReason::recordCrossesVolume
                                                                             : ZipReason::centralRecordBroken,
                           recordAt);
            next = stream.GetPosition();
            held = used = 0;
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
    endInfo.recordsEnd = next - (held - used);

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
        int32_t size = header->ParseCentralRecord(piece.data() + used, held - used);
        if (size == 0 && next < imageEnd && piece.length() > 0) {
            std::memmove(piece.data(), piece.data() + used, held - used);
            held -= used;
            used = 0;
            uint32_t count = static_cast<uint32_t>(std::min<uint64_t>(piece.length() - held, imageEnd - next));
            store->Read(piece.data() + held, count, true);
            held += count;
            next += count;
            size = header->ParseCentralRecord(piece.data(), held);
        }
        if (size <= 0 || moreEnd + static_cast<uint32_t>(size) > imageEnd) {
            left = true;
            break;
        }
        used += static_cast<uint32_t>(size);
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

void CZipDirectory::OpenEntryData(uint16_t index)
{
    if (!HasIndex(index)) ThrowError(ZipError::badZipFile, ZipReason::noSuchEntry);
    currentHeader = headerList[index].get();
    // An entry said to start on another volume is read all the same when
    // its local header is found at its offset in this stream; otherwise
    // that volume is out of reach.
    const bool elsewhere = currentHeader->diskStart != store->currentVolume;
    uint16_t extraLength = 0;
    bool found = false;
    bool signatureFound = false;
    const uint64_t localAt = static_cast<uint64_t>(currentHeader->localHeaderOffset) + endInfo.foreignBytes;
    try {
        store->stream->Seek(static_cast<int64_t>(localAt), CZipStream::begin);
        found = currentHeader->VerifyLocalRecord(*store, extraLength, &signatureFound);
    } catch (const CZipException&) {
        if (!elsewhere) throw;
    }
    if (!found) {
        if (elsewhere) store->CheckVolume(currentHeader->diskStart);
        ThrowError(ZipError::badZipFile,
                   signatureFound ? ZipReason::localHeaderDisagrees : ZipReason::localHeaderMissing, localAt);
    }
    openedLocalExtra.Release();
    if (extraLength) {
        int32_t volume = store->currentVolume;
        openedLocalExtra.Allocate(extraLength);
        store->Read(openedLocalExtra.data(), extraLength, true);
        if (volume != store->currentVolume) ThrowError(ZipError::badZipFile, ZipReason::recordCrossesVolume, localAt);
    }
}

void CZipDirectory::CloseEntryData(bool afterError)
{
    if (!currentHeader) return;
    openedLocalExtra.Release();
    if (!afterError && (currentHeader->flags & flagDataDescriptor)) {
        uint8_t descriptor[zip64DescriptorSize];
        store->Read(descriptor, descriptorSignatureSize, false);
        if (!HasSignature(descriptor, descriptorSignature))
            store->stream->Seek(-static_cast<int64_t>(descriptorSignatureSize), CZipStream::current);
        store->Read(descriptor, descriptorSize, false);
        if (!currentHeader->CompareDescriptor(descriptor)) {
            // The ZIP64 form, with 8-byte sizes.
            store->Read(descriptor + descriptorSize, zip64DescriptorSize - descriptorSize, false);
            if (!currentHeader->CompareDescriptor(descriptor, true))
                ThrowError(ZipError::badZipFile, ZipReason::descriptorDisagrees);
        }
    }
    currentHeader = nullptr;
}

CZipEntryHeader* CZipDirectory::AddHeader(const CZipEntryHeader& templ, int index)
{
    CZipHeaderPtr copy(new CZipEntryHeader(templ));
    CZipEntryHeader* header = copy.get();
    currentHeader = header;

    bool replacing = HasIndex(index);
    uint64_t replacedAt = 0;
    if (replacing) {
        replacedAt = static_cast<uint64_t>(headerList[static_cast<size_t>(index)]->localHeaderOffset) +
                     endInfo.foreignBytes;
        RemoveHeader(headerList[static_cast<size_t>(index)].get(), index, false);
        headerList.insert(headerList.begin() + index, std::move(copy));
    } else {
        headerList.push_back(std::move(copy));
        index = EntryCount() - 1;
    }
    if (nameIndexOn) InsertIntoNameIndex(header, static_cast<uint16_t>(index));
    DiscardWrittenDirectory();
    if (replacing)
        store->stream->Seek(static_cast<int64_t>(replacedAt), CZipStream::begin);
    else
        store->stream->SeekToEnd();
    // Where the local record will go (an absolute stream position, like the
    // value the record writer sets), so that an entry whose writing fails
    // before its local record is out is still taken off at the right place.
    header->diskStart = static_cast<uint16_t>(store->currentVolume);
    header->localHeaderOffset =
        static_cast<uint32_t>(store->stream->GetPosition()) + store->bufferedBytes;
    return header;
}

void CZipDirectory::RemoveHeader(CZipEntryHeader* header, int index, bool adjustIndexes)
{
    if (index == -1) {
        for (size_t i = 0; i < headerList.size(); ++i)
            if (headerList[i].get() == header) {
                index = static_cast<int>(i);
                break;
            }
    }
    if (!header) {
        if (!HasIndex(index)) return;
        header = headerList[static_cast<size_t>(index)].get();
    }
    if (nameIndexOn) {
        // Names need not be unique (a cured entry is appended under its old
        // name): find this very header among the equal names, so the index
        // never keeps a pointer to a destroyed header.
        std::string name = header->NameAsString();
        int found = SearchNameIndex(name.c_str());
        size_t position = nameIndex.size();
        if (found >= 0) {
            size_t lo = static_cast<size_t>(found), hi = lo;
            while (lo > 0 && CompareWithIndexed(name.c_str(), lo - 1) == 0) --lo;
            while (hi + 1 < nameIndex.size() && CompareWithIndexed(name.c_str(), hi + 1) == 0) ++hi;
            for (size_t i = lo; i <= hi; ++i)
                if (nameIndex[i].header == header) position = i;
        }
        if (position == nameIndex.size())
            for (size_t i = 0; i < nameIndex.size(); ++i)
                if (nameIndex[i].header == header) position = i;
        if (position < nameIndex.size()) {
            uint16_t removed = nameIndex[position].index;
            nameIndex.erase(nameIndex.begin() + static_cast<std::ptrdiff_t>(position));
            if (adjustIndexes)
                for (CZipNameIndexEntry& entry : nameIndex)
                    if (entry.index > removed) --entry.index;
        }
    }
    if (!HasIndex(index)) return;
    if (currentHeader == header) currentHeader = nullptr;
    headerList.erase(headerList.begin() + index);
}

void CZipDirectory::RemoveLastHeader(CZipEntryHeader* header, int index)
{
    if (index == -1) {
        if (headerList.empty()) return;
        index = EntryCount() - 1;
        if (!header) header = headerList.back().get();
    }
    if (!header) {
        if (!HasIndex(index)) return;
        header = headerList[static_cast<size_t>(index)].get();
    }
    // An entry still being written holds an absolute position; a finished
    // one is relative to the archive start.
    uint64_t cutAt = header == currentHeader
                         ? header->localHeaderOffset
                         : static_cast<uint64_t>(header->localHeaderOffset) + endInfo.foreignBytes;
    RemoveHeader(header, index, true);
    store->FlushBuffer();
    store->stream->SetLength(cutAt);
    endInfo.directoryOnDisk = false;
    staleDirectoryOnDisk = false;
}

void CZipDirectory::DeleteAllHeaders()
{
    nameIndex.clear();
    currentHeader = nullptr;
    headerList.clear();
    headerBlocks.clear();
    blockUsed = blockCapacity = 0;
}

void CZipDirectory::Forget(bool all)
{
    currentHeader = nullptr;
    if (!all) return;
    DeleteAllHeaders();
    archiveComment.Release();
}

void CZipDirectory::Reset()
{
    endInfo.directoryOnDisk = false;
    staleDirectoryOnDisk = false;
    endInfo.endRecordOffset = 0;
    endInfo.foreignBytes = 0;
    endInfo.claimsMultiVolume = false;
    endInfo.beyond32Bits = false;
    currentHeader = nullptr;
    archiveComment.Release();
}

void CZipDirectory::CutDirectoryOnDisk()
{
    store->stream->SetLength(static_cast<uint64_t>(endInfo.directoryOffset) + endInfo.foreignBytes);
    endInfo.directoryOnDisk = false;
    staleDirectoryOnDisk = false;
}

void CZipDirectory::DiscardWrittenDirectory()
{
    // The last volume of an existing spanned archive, and an archive that
    // must not be rewritten, keep their directory whatever is asked.
    if (store->SpanState() < 0 || !endInfo.Rewritable()) return;
    if (endInfo.directoryOnDisk || staleDirectoryOnDisk)
        CutDirectoryOnDisk();
    else
        store->FlushBuffer();
}

void CZipDirectory::MarkDirectoryChanged()
{
    if (endInfo.directoryOnDisk) {
        endInfo.directoryOnDisk = false;
        staleDirectoryOnDisk = true;
    } else if (!staleDirectoryOnDisk) {
        store->FlushBuffer();
    }
}
