// Writing the central directory back: finishing a new entry's local record,
// the central records and the end record, and turning a spanned archive that
// fitted on its first volume into an ordinary one.
#include <cstring>

#include "archive/ZipActionCallback.h"
#include "archive/ZipConstants.h"
#include "archive/ZipDirectory.h"
#include "archive/ZipRecordReader.h"
#include "errors/ZipException.h"
#include "storage/ZipFileMapping.h"
#include "storage/ZipStore.h"

using namespace ZipFormat;

void CZipDirectory::FinishNewEntry()
{
    CZipEntryHeader* header = currentHeader;
    if (!header) return;
    const bool spanned = store->SpanState() != 0;
    const bool encrypted = (header->flags & flagEncrypted) != 0;

    uint8_t record[descriptorSignatureSize + descriptorSize];
    uint8_t* values = record;
    uint32_t size = descriptorSize;
    if (header->flags & flagDataDescriptor) {
        if (spanned || encrypted) {
            std::memcpy(record, descriptorSignature, 4);
            values = record + descriptorSignatureSize;
            size += descriptorSignatureSize;
        }
    } else {
        store->FlushBuffer();
        store->stream->Seek(static_cast<int64_t>(header->localHeaderOffset) + localDescriptorOffset,
                            CZipStream::begin);
    }
    header->StoreDescriptor(values);
    header->localHeaderOffset -= endInfo.foreignBytes;
    store->Write(record, size, true);

    if (!spanned) {
        if (encrypted) {
            // The local header of an encrypted entry carries the final values
            // too, not only the descriptor behind its data.
            store->FlushBuffer();
            store->stream->Seek(static_cast<int64_t>(header->localHeaderOffset) +
                                    endInfo.foreignBytes + localDescriptorOffset,
                                CZipStream::begin);
            store->Write(values, descriptorSize, true);
        }
        store->FlushBuffer();
    }
    currentHeader = nullptr;
}

uint32_t CZipDirectory::GetDirectorySize(bool withHeaders) const
{
    uint32_t size = endRecordSize + static_cast<uint16_t>(archiveComment.length());
    if (withHeaders)
        for (const auto& header : headerList) size += header->GetRecordSize(false);
    return size;
}

uint32_t CZipDirectory::WriteEndRecord()
{
    const uint16_t commentLength = static_cast<uint16_t>(archiveComment.length());
    const uint32_t size = endRecordSize + commentLength;
    CZipBuffer record(size);
    CZipRecordWriter w(record.data(), size);
    w.Bytes(ZipFormat::endSignature, 4);
    w.U16(endInfo.diskNumber);
    w.U16(endInfo.diskWithDirectory);
    w.U16(endInfo.entriesOnThisDisk);
    w.U16(endInfo.totalEntries);
    w.U32(endInfo.directorySize);
    w.U32(endInfo.directoryOffset);
    w.U16(commentLength);
    w.Bytes(archiveComment.data(), commentLength);
    store->Write(record.data(), size, true);
    return size;
}

void CZipDirectory::SetDirectoryStart(uint64_t streamPosition)
{
    // An empty directory gets offset 0 and the archive starts where it
    // does: readers take only an offset of 0 for an archive without entries
    // (any other sends them looking for a first central record), and no
    // entry is left whose offsets count from an earlier start. Volumes of a
    // spanned archive count from their own start anyway.
    if (endInfo.totalEntries == 0 && store->SpanState() == 0) {
        endInfo.foreignBytes = static_cast<uint32_t>(streamPosition);
        endInfo.directoryOffset = 0;
    } else {
        endInfo.directoryOffset = static_cast<uint32_t>(streamPosition - endInfo.foreignBytes);
    }
}

void CZipDirectory::StoreHeaders(CZipActionCallback* callback, bool oneVolume)
{
    endInfo.entriesOnThisDisk = 0;
    endInfo.diskWithDirectory = static_cast<uint16_t>(store->currentVolume);
    SetDirectoryStart(store->stream->GetPosition() + store->bufferedBytes);
    if (endInfo.totalEntries == 0) return;

    if (callback) {
        callback->Init(nullptr, nullptr);
        callback->SetTotal(endInfo.totalEntries);
    }
    int abortCode = 0;
    int32_t volume = store->currentVolume;
    for (size_t i = 0; i < headerList.size(); ++i) {
        CZipEntryHeader& header = *headerList[i];
        // Names are written in archive form and kept in local form, also when
        // the write throws: the header stays in the list and is used again.
        struct NameRestorer {
            CZipEntryHeader& header;
            CZipBuffer localName;
            ~NameRestorer() { header.fileName = std::move(localName); }
        } restorer{header, header.fileName};
        if (!header.storedName.empty())
            header.fileName = header.storedName;
        else
            ConvertNameForm(header, false);
        endInfo.directorySize += header.WriteCentralRecord(*store);

        if (store->currentVolume == volume) {
            ++endInfo.entriesOnThisDisk;
        } else {
            endInfo.entriesOnThisDisk = 1;
            if (i == 0) {
                endInfo.directoryOffset = 0;
                endInfo.diskWithDirectory = static_cast<uint16_t>(store->currentVolume);
            }
            volume = store->currentVolume;
        }
        if (callback && i % directoryCallbackStep == 0 && !callback->Callback(directoryCallbackStep)) {
            if (oneVolume) {
                if (store->SpanState() == 0)
                    store->bufferedBytes = 0;
                else
                    store->FlushBuffer();
                store->stream->SetLength(static_cast<uint64_t>(endInfo.directoryOffset) +
                                         endInfo.foreignBytes);
                abortCode = ZipError::abortedSafely;
            } else {
                abortCode = ZipError::abortedAction;
            }
            break;
        }
    }
    if (callback) callback->CallbackEnd();
    if (abortCode) ThrowError(abortCode);
}

void CZipDirectory::WriteDirectory(CZipActionCallback* callback)
{
    if (endInfo.directoryOnDisk) return;
    const int spanState = store->SpanState();
    if (spanState == 0) {
        store->FlushBuffer();
        // A directory that only lost its match with the headers (a changed
        // comment) is replaced now, where the new one goes.
        if (staleDirectoryOnDisk) CutDirectoryOnDisk();
        store->stream->SeekToEnd();
    }
    endInfo.totalEntries = static_cast<uint16_t>(headerList.size());
    endInfo.directorySize = 0;
    bool collapsed = false;

    if (spanState != 0 && store->currentVolume == 0) {
        uint32_t room = store->FreeInVolume();
        // What the directory and end record need, less what the collapse
        // gives back: 16 bytes per dropped descriptor and the span marker.
        uint32_t need = GetDirectorySize(true) - 16u * endInfo.totalEntries - spanMarkerSize;
        if (room >= need) {
            if (store->bytesInVolume == 0 &&
                store->writeBuffer.length() - store->bufferedBytes >= need) {
                collapsed = CollapseToSingleVolume(true);
            } else {
                store->FlushBuffer();
                collapsed = CollapseToSingleVolume(false);
            }
        }
    }

    try {
        StoreHeaders(callback, collapsed || spanState == 0);
        endInfo.diskNumber = static_cast<uint16_t>(store->currentVolume);
        uint32_t size = WriteEndRecord();
        if (collapsed && store->currentVolume != 0) ThrowError(ZipError::badZipFile, ZipReason::writtenAcrossVolumes);
        if (store->currentVolume != endInfo.diskNumber) {
            // The end record ran onto a new volume: it must describe that
            // volume, so it is taken back and written again.
            endInfo.diskNumber = static_cast<uint16_t>(store->currentVolume);
            if (endInfo.totalEntries) {
                endInfo.entriesOnThisDisk = 0;
            } else {
                endInfo.diskWithDirectory = static_cast<uint16_t>(store->currentVolume);
                endInfo.directoryOffset = 0;
            }
            if (store->bufferedBytes >= size) {
                store->bufferedBytes -= size;
            } else {
                store->FlushBuffer();
                store->bytesInVolume -= size;
                store->stream->SeekToBegin();
            }
            WriteEndRecord();
        }
        endInfo.directoryOnDisk = true;
        // The records written are all the list holds: nothing lies behind.
        endInfo.recordsEnd = endInfo.directoryTail = 0;
    } catch (...) {
        if (collapsed) {
            try {
                store->CompleteSpan();
            } catch (const CZipException&) {
                // The first failure is the one worth reporting.
            }
            endInfo.diskNumber = 0;
        }
        throw;
    }
}

void CZipDirectory::WriteDirectoryAtEnd()
{
    store->FlushBuffer();
    store->stream->SeekToEnd();
    endInfo.totalEntries = static_cast<uint16_t>(headerList.size());
    endInfo.directorySize = 0;
    StoreHeaders(nullptr, true);
    // A stream that is not spanned is volume 0 whatever was read.
    endInfo.diskNumber = 0;
    endInfo.diskWithDirectory = 0;
    WriteEndRecord();
    store->FlushBuffer();
    endInfo.directoryOnDisk = true;
    endInfo.recordsEnd = endInfo.directoryTail = 0;
    staleDirectoryOnDisk = false;
}

namespace {

// The collapse over the volume's bytes in memory: [span marker][local
// header, data, 16-byte descriptor]... becomes an ordinary archive of the
// new length. False when the headers do not describe these bytes (then
// nothing has been changed).
bool CollapseImage(std::vector<CZipHeaderPtr>& headers, uint8_t* start,
                   uint32_t end, uint32_t& newLength)
{
    if (end < spanMarkerSize) return false;
    // Check everything first, so that a refusal leaves the bytes untouched.
    uint32_t previous = spanMarkerSize;
    for (size_t i = 0; i < headers.size(); ++i) {
        const CZipEntryHeader& h = *headers[i];
        uint32_t next = i + 1 < headers.size() ? headers[i + 1]->localHeaderOffset : end;
        uint32_t dropped = (h.flags & flagEncrypted) ? 0 : descriptorSignatureSize + descriptorSize;
        if (h.localHeaderOffset < previous || next > end ||
            next - h.localHeaderOffset < h.GetRecordSize(true) + dropped)
            return false;
        previous = next;
    }

    uint32_t shift = spanMarkerSize;
    uint32_t out = 0;
    for (size_t i = 0; i < headers.size(); ++i) {
        CZipEntryHeader& h = *headers[i];
        uint8_t* source = start + h.localHeaderOffset;
        uint32_t dropped = 0;
        if (!(h.flags & flagEncrypted)) {
            h.flags = static_cast<uint16_t>(h.flags & ~flagDataDescriptor);
            PutU16(source + localFlagsOffset, h.flags);
            dropped = descriptorSignatureSize + descriptorSize;
        }
        h.StoreDescriptor(source + localDescriptorOffset);
        uint32_t next = i + 1 < headers.size() ? headers[i + 1]->localHeaderOffset : end;
        uint32_t length = next - h.localHeaderOffset - dropped;
        std::memmove(start + out, source, length);
        h.localHeaderOffset -= shift;
        shift += dropped;
        out += length;
    }
    newLength = out;
    return true;
}

} // namespace

bool CZipDirectory::CollapseToSingleVolume(bool inBuffer)
{
    if (inBuffer) {
        uint32_t length = 0;
        if (!CollapseImage(headerList, store->writeBuffer.data(), store->bufferedBytes, length))
            return false;
        store->bufferedBytes = length;
        return true;
    }
    // The volume's bytes are in its file: rewrite it through a memory view.
    if (store->stream != &store->diskStream) return false;
    uint32_t length = 0;
    {
        CZipFileMapping mapping;
        if (!mapping.Map(&store->diskStream)) return false;
        if (!CollapseImage(headerList, mapping.View(), mapping.MappedLength(), length)) return false;
        mapping.Unmap();
    }
    store->bytesInVolume = length;
    store->stream->SetLength(length);
    // The directory goes right behind the collapsed data.
    store->stream->SeekToEnd();
    return true;
}
