#pragma once
#include <cstdint>
#include <list>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include <zlib.h>

#include "archive/ZipActionCallback.h"
#include "archive/ZipConstants.h"
#include "archive/ZipDirectory.h"
#include "archive/ZipEntryHeader.h"
#include "storage/ZipBuffer.h"
#include "storage/ZipStore.h"

class CZipStream;
class CZipAddRequest;  // archive/ZipAddRequest.h
class CWildcard;       // archive/ZipWildcard.h
class CZipAesEncryption;  // archive/ZipAesEncryption.h
struct CZipLocalRecord;   // archive/ZipLocalRecord.h

// zlib stream, counters and buffer of the entry being read or written.
class CZipTransferState {
public:
    CZipTransferState();
    virtual ~CZipTransferState();
    CZipTransferState(const CZipTransferState&) = delete;
    CZipTransferState& operator=(const CZipTransferState&) = delete;

    z_stream zstream;
    // Reading: bytes of the entry still to deliver.
    uint32_t uncompressedLeft = 0;
    // Reading: compressed bytes still to read from storage; writing:
    // compressed bytes waiting in the buffer.
    uint32_t compressedBytes = 0;
    // Reading: CRC-32 of the bytes delivered so far.
    uint32_t runningCrc = 0;
    uint32_t bufferSize = 65536;
    // Allocated with bufferSize when an entry opens, released when it closes.
    CZipBuffer buffer;
};

// The object through which everything touches one archive: it owns the
// storage and the central directory, knows whether an archive and an entry
// are open, holds the password and keys, the transfer state of the open
// entry, and raises every error of the engine.
class CZipArchive {
public:
    using CWildcard = ::CWildcard;

    enum OpenMode { openExisting = 0, openReadOnly = 1, create = 2, createSpan = 3 };

    CZipArchive();
    virtual ~CZipArchive();
    CZipArchive(const CZipArchive&) = delete;
    CZipArchive& operator=(const CZipArchive&) = delete;

    // archive true: is no archive open? false: is the current stream unusable?
    bool IsClosed(bool archive = true) const;

    // Opening; both do nothing while an archive is open. Failures throw and
    // leave the object half open: the caller destroys it.
    void Open(const char* path, int mode = openExisting, int32_t volumeSize = 0);
    // The stream stays the caller's; modes 0, 1 and 2 only.
    void Open(CZipStream& stream, int mode = openExisting);
    // Opens the stream as an archive whose directory is missing or unusable:
    // no entry is listed, and its entries can only be found by their local
    // headers.
    void OpenWithoutDirectory(CZipStream& stream);

    // Entry information.
    int GetCount() const;
    // index is taken modulo 65536.
    bool GetFileInfo(CZipEntryHeader& out, int index) const;
    std::string GetArchivePath() const;
    void FindMatches(const char* pattern, std::vector<uint16_t>& out, bool fullPath = true);
    std::string GetExtractedName(const char* entryName, const char* path, bool fullPath,
                                 const char* newName = nullptr) const;

    // Password: 7-bit bytes only; refused while an entry is open.
    bool SetPassword(const char* text);
    std::string GetPassword() const;

    // Settings.
    bool SetSystemId(int id);
    void SetAutoFlush(bool enable);
    void SetIgnoreCrc(bool enable) { ignoreCrc = enable; }
    void SetRootPath(const char* path);
    void SetTempPath(const char* path, bool createDirectory = true);
    void SetCallback(CZipActionCallback* callback, int kinds = ZipFormat::callbackAll);
    CZipActionCallback* GetCallback(int kind);
    void SetCaseSensitivity(bool enable);

    // Comments. Changing one leaves the directory on the stream in place
    // until Flush writes the new one, so an unflushed archive stays valid.
    std::string GetGlobalComment() const;
    bool SetGlobalComment(const char* text);
    bool SetFileComment(int index, const char* text);

    // Writes the central directory and end record unless the stream already
    // holds them. Destruction never flushes.
    void Flush();

    // Errors: the storage stream's path is attached (empty while closed).
    [[noreturn]] void ThrowError(int code, bool zlibCode = false) const;
    [[noreturn]] void ThrowError(int code, ZipReason reason, uint64_t offset = kZipNoOffset) const;
    void CheckZlibResult(int result) const;

    // Traditional encryption on keys (keys from password; check of the 12
    // byte header at the storage's position against the current header).
    void InitKeys();
    bool CheckEncryptionHeader();

    // Appending an entry (archive/ZipArchiveAdd.cpp).
    bool AddEntry(CZipAddRequest& request);
    bool BeginNewEntry(CZipEntryHeader& templ, int level = -1);
    bool WriteEntryData(const void* buffer, uint32_t count);
    bool EndNewEntry(bool afterException = false);
    // Writes the transfer buffer's pending bytes out (encrypting them first
    // for an encrypted entry).
    void WriteTransferBuffer();

    // Deleting entries (archive/ZipArchiveRemove.cpp). indices is sorted in
    // place.
    void RemoveEntries(std::vector<uint16_t>& indices);
    void MoveBlock(uint32_t start, uint32_t end, uint32_t shift, CZipActionCallback* callback,
                   bool backwards);

    // zlib allocation pair; opaque, when not null, is the trackedBlocks list.
    static voidpf TrackedAlloc(voidpf opaque, uInt items, uInt size);
    static void TrackedFree(voidpf opaque, voidpf address);
    void ReleaseTrackedBlocks();

    // The directory's header at index (taken modulo 65536), or null.
    CZipEntryHeader* HeaderAt(int index) const;
    // The entry's local header as the stream holds it; false where there is
    // none at the entry's offset.
    bool ReadLocalRecord(uint16_t index, CZipLocalRecord& local);

    std::map<int, CZipActionCallback*> callbacks;  // not owned
    bool caseSensitive = false;
    ZipNameCompareFunction compareNames = nullptr;
    CZipTransferState transfer;
    CZipStore store;
    CZipDirectory directory;
    int8_t entryState = 0;  // 0 none, -1 open for reading, 1 open for writing
    bool autoFlush = false;
    bool ignoreCrc = false;
    std::string rootPath;
    std::string tempPath;
    int systemId = 0;
    std::list<void*> trackedBlocks;
    bool trackAllocations = true;
    CZipBuffer password;
    uint32_t keys[3] = {0, 0, 0};
    // The WinZip AES encryption of the entry being written, if it is one.
    std::unique_ptr<CZipAesEncryption> aesWriting;

protected:
    void OpenCommon(int mode);
};
