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
    const uint32_t window = static_cast<uint32_t>(std::min<uint64_t>(length, endSearchWindow));
    // Chunks overlap by 3 bytes, so a chunk must be longer than that to make
    // progress.
    const uint32_t chunkSize =
        static_cast<uint32_t>(std::max(searchBufferSize, minSearchBufferSize));
    CZipBuffer buffer(std::min(chunkSize, std::max<uint32_t>(window, 1)));

    uint32_t done = 0;  // bytes of the window already searched
    while (done < window) {
        uint32_t upTo = std::min(done + chunkSize, window);
        uint32_t count = upTo - done;
        stream.Seek(-static_cast<int64_t>(upTo), CZipStream::end);
        if (stream.Read(buffer.data(), count) < count) ThrowError(ZipError::badZipFile, ZipReason::tailUnreadable, length - upTo);
        const uint8_t* p = buffer.data();
        for (uint32_t i = count >= 4 ? count - 4 + 1 : 0; i-- > 0;)
            if (p[i] == 0x50 && HasSignature(p + i, ZipFormat::endSignature) &&
                length - upTo + i < endSearchLimit)
                return length - upTo + i;
        // The whole window has been searched: stop, rather than searching
        // the last three bytes over and over.
        if (upTo == window) break;
        done = upTo - 3;
    }
    ThrowError(ZipError::cdirNotFound, ZipReason::endRecordMissing);
}

uint64_t CZipDirectory::ReadZip64EndRecord()
{
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
    // Each field of the end record either holds the value itself, which the
    // ZIP64 record must repeat (or it belongs to something else, such as a
    // file name that happens to hold the signatures), or is marked as all
    // ones and takes the ZIP64 value.
    auto agrees = [](uint64_t field, uint64_t marker, uint64_t value) {
        return field == marker || field == value;
    };
    if (!agrees(endInfo.diskNumber, zip64Marker16, diskNumber) ||
        !agrees(endInfo.diskWithDirectory, zip64Marker16, diskWithDirectory) ||
        !agrees(endInfo.totalEntries, zip64Marker16, totalEntries) ||
        !agrees(endInfo.directorySize, zip64Marker32, directorySize) ||
        !agrees(endInfo.directoryOffset, zip64Marker32, directoryOffset))
        return endAt;
    // The engine's fields are 32 bits (16 for disks and counts): an archive
    // that needs more is refused.
    auto take16 = [&](uint16_t& field, uint64_t value) {
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
    take16(endInfo.totalEntries, totalEntries);
    take32(endInfo.directorySize, directorySize);
    take32(endInfo.directoryOffset, directoryOffset);
    return recordAt;
}

void CZipDirectory::ReadDirectory()
{
    // An end record whose directory does not hold up (a fake one in the
    // comment or in bytes appended behind the archive) gives way to the one
    // in front of it. Few are tried: each try may read a whole directory.
    constexpr int maxTries = 16;
    endSearchLimit = ~uint64_t(0);
    // What the rearmost end record gave is the archive's error when no other
    // one does better.
    std::unique_ptr<CZipException> first;
    for (int tries = 1;; ++tries) {
        try {
            ReadDirectoryOnce();
            return;
        } catch (const CZipException& e) {
            if (!first) first = std::make_unique<CZipException>(e);
            // A piece of a spanned set is what it is.
            if (e.code == ZipError::tooManyVolumes || e.code == ZipError::cdirNotFound ||
                tries >= maxTries || store->SpanState() != 0 || endInfo.endRecordOffset == 0)
                throw CZipException(*first);
            endSearchLimit = endInfo.endRecordOffset;
            DeleteAllHeaders();
            archiveComment.Release();
            const uint64_t limit = endSearchLimit;
            endInfo = CZipEndInfo();
            endSearchLimit = limit;
        }
    }
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
    endInfo.claimsMultiVolume = endInfo.diskNumber != 0 || endInfo.diskWithDirectory != 0;

    store->AdoptLastDisk(endInfo.diskNumber);
    const bool spanned = store->SpanState() != 0;
    // Summed in 64 bits: a size and offset that wrap past 4 GiB must not pass
    // for a directory that ends in front of the end record.
    const uint64_t directoryEnd =
        static_cast<uint64_t>(endInfo.directoryOffset) + endInfo.directorySize;
    if (!spanned && directoryTail < directoryEnd)
        ThrowError(ZipError::badZipFile, ZipReason::directoryOverlapsEndRecord, endInfo.endRecordOffset);

    if (commentLength) {
        archiveComment.Allocate(commentLength);
        stream.Seek(static_cast<int64_t>(endInfo.endRecordOffset) + endRecordSize, CZipStream::begin);
        if (stream.Read(archiveComment.data(), commentLength) < commentLength)
            ThrowError(ZipError::badZipFile, ZipReason::commentCut, endInfo.endRecordOffset + endRecordSize);
    }
    if ((endInfo.directorySize == 0) != (endInfo.totalEntries == 0))
        ThrowError(ZipError::badZipFile, ZipReason::countDisagreesWithSize, endInfo.endRecordOffset);

    endInfo.directoryOnDisk = true;
    staleDirectoryOnDisk = false;
    if (endInfo.diskWithDirectory == store->currentVolume) {
        // The last volume of a spanned set holds its directory at the offset
        // the end record gives.
        SetForeignBytes(spanned ? directoryEnd : directoryTail, directoryEnd);
        if (endInfo.directorySize) LoadHeaders();
        return;
    }
    // The directory is said to lie on another volume. Where this stream
    // holds it all the same (a whole archive whose disk fields are wrong,
    // or volumes joined into one file), it is read as in a single file;
    // otherwise that volume is out of reach.
    if (directoryTail < directoryEnd) store->CheckVolume(endInfo.diskWithDirectory);
    SetForeignBytes(directoryTail, directoryEnd);
    try {
        if (endInfo.directorySize) LoadHeaders();
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
