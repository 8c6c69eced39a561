#pragma once
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "archive/ZipEndInfo.h"
#include "archive/ZipEntryHeader.h"
#include "archive/ZipNames.h"
#include "errors/ZipErrorReason.h"
#include "storage/ZipBuffer.h"

class CZipStore;
class CZipActionCallback;

// Name comparison used to order and search the name index: the entry's name
// against a NUL-terminated name, negative/0/positive like strcoll.
using ZipNameCompareFunction = ZipNameCompare;

// Headers read from an archive live in blocks owned by the directory (one
// allocation per block of entries instead of one per entry); headers added
// later are allocated alone. The deleter knows which it holds.
struct CZipHeaderDeleter {
    bool pooled = false;
    void operator()(CZipEntryHeader* header) const;
};
using CZipHeaderPtr = std::unique_ptr<CZipEntryHeader, CZipHeaderDeleter>;

struct CZipNameIndexEntry {
    CZipEntryHeader* header;  // not owned; points into headerList
    uint16_t index;           // that header's position in headerList
};

// The archive's central directory in memory: finds and reads the end record
// and all central records, keeps one header per entry in archive order (by
// volume, then local header offset), opens and closes one entry's local data
// at a time, and writes the directory and end record back.
class CZipDirectory {
public:
    CZipDirectory();
    virtual ~CZipDirectory();
    CZipDirectory(const CZipDirectory&) = delete;
    CZipDirectory& operator=(const CZipDirectory&) = delete;

    // Reading (archive open).
    // Reads the directory of the rearmost end record that yields one,
    // searching the whole stream; the directories of end records that fail
    // cost at most endSearchWorkFactor times the stream's length.
    void ReadDirectory();
    // The rearmost end record in front of endSearchLimit. Successive calls
    // with a falling limit examine each byte of the stream once.
    uint64_t LocateEndRecord();
    void LoadHeaders();
    void OrderHeaders();

    // One entry's local data.
    void OpenEntryData(uint16_t index);
    void CloseEntryData(bool afterError);
    void FinishNewEntry();

    // Changing the header list.
    CZipEntryHeader* AddHeader(const CZipEntryHeader& templ, int index);
    void RemoveHeader(CZipEntryHeader* header, int index, bool adjustIndexes);
    void RemoveLastHeader(CZipEntryHeader* header, int index);
    void DeleteAllHeaders();
    void Forget(bool all);
    void Reset();

    // Before new data goes to the stream: a directory still on the stream is
    // cut off (the new data starts where it began).
    void DiscardWrittenDirectory();
    // Only the directory's own contents changed (comments, names): the copy
    // on the stream stays until the next WriteDirectory replaces it, so an
    // archive whose changes are never flushed keeps a valid directory.
    void MarkDirectoryChanged();

    // Writing.
    void WriteDirectory(CZipActionCallback* callback);
    // The directory and end record of an archive that is not spanned,
    // written at the end of its stream whatever the stream holds (an old
    // directory is the caller's to cut away).
    void WriteDirectoryAtEnd();
    // Every header's central record; a header with a stored name gets that
    // name as it stands.
    void StoreHeaders(CZipActionCallback* callback, bool oneVolume);
    uint32_t WriteEndRecord();
    // Records where the directory about to be written starts, from the
    // stream position it is written at.
    void SetDirectoryStart(uint64_t streamPosition);
    uint32_t GetDirectorySize(bool withHeaders) const;
    bool CollapseToSingleVolume(bool inBuffer);

    // Lookup by name.
    int FindEntry(const char* name, bool caseSensitive, bool sporadic, bool nameOnly);
    void SetNameIndex(bool enable, bool caseSensitive);
    void BuildNameIndex(bool caseSensitive);
    void InsertIntoNameIndex(CZipEntryHeader* header, uint16_t index);
    int SearchNameIndex(const char* name) const;
    int CompareWithIndexed(const char* name, size_t position) const;
    void RenameEntry(uint16_t index, const char* name);

    bool HasIndex(int index) const { return index >= 0 && index < EntryCount(); }
    int EntryCount() const { return static_cast<int>(headerList.size()); }
    // The header at a valid index (HasIndex).
    CZipEntryHeader* GetHeader(int index) const { return headerList[static_cast<size_t>(index)].get(); }

    uint8_t endSignature[4] = {0, 0, 0, 0};
    CZipBuffer archiveComment;
    CZipBuffer openedLocalExtra;
    CZipEntryHeader* currentHeader = nullptr;  // not owned
    CZipStore* store = nullptr;                // not owned; set by the archive
    int searchBufferSize = 32768;
    // Only end records starting in front of this are looked at.
    uint64_t endSearchLimit = ~uint64_t(0);
    // Bytes of comments and directories read for end records tried so far.
    uint64_t endSearchWork = 0;
    std::vector<CZipHeaderPtr> headerList;
    std::vector<CZipNameIndexEntry> nameIndex;
    bool nameIndexOn = false;
    ZipNameCompareFunction compareNames;
    bool indexCaseSensitive = false;
    CZipEndInfo endInfo;
    // A directory that no longer matches the headers is still on the stream
    // (see MarkDirectoryChanged); it is cut before anything else is written.
    bool staleDirectoryOnDisk = false;

private:
    // The directory of the end record LocateEndRecord finds.
    void ReadDirectoryOnce();
    // The try read an end record that names a volume other than the first
    // and the storage took the stream for that piece of a spanned set.
    bool AdoptedSpannedDisk() const;
    // The headers of a directory with a size, or none; a size whose records
    // give no header is refused.
    void LoadCountedHeaders();
    [[noreturn]] void ThrowError(int code, ZipReason reason = ZipReason::none, uint64_t offset = kZipNoOffset) const;
    // A ZIP64 end record with its locator right in front of the end record:
    // fills the end record's fields stored as all ones from it and returns
    // its stream offset (the directory ends there). Without a usable one the
    // end record's own offset comes back.
    uint64_t ReadZip64EndRecord();
    // Set while an end record is tried again with its own values after the
    // ZIP64 values it disagrees with gave no directory.
    bool classicValuesOnly = false;
    bool tookZip64Values = false;
    // foreignBytes from where the directory ends in the stream and where the
    // archive's own offsets put its end.
    void SetForeignBytes(uint64_t directoryTail, uint64_t directoryEnd);
    void CutDirectoryOnDisk();
    // A default header in the current block; a new block, when needed, is
    // made for at most `wanted` headers.
    CZipHeaderPtr NewPooledHeader(uint32_t wanted);

    // The last chunk the end record search read, kept for the next call.
    CZipBuffer searchChunk;
    uint64_t searchChunkStart = 0;
    uint32_t searchChunkLength = 0;
    std::vector<std::unique_ptr<unsigned char[]>> headerBlocks;
    uint32_t blockUsed = 0;
    uint32_t blockCapacity = 0;
};
