// Opening one entry's local data and changing the header list. Finding
// the end record lives in ZipDirectoryEnd.cpp, reading the directory in
// ZipDirectoryRead.cpp, writing it back in ZipDirectoryWrite.cpp, looking
// entries up by name in ZipDirectoryLookup.cpp.
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
