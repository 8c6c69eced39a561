#include "archive/ZipArchive.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>

#include "archive/ZipAesEncryption.h"
#include "archive/ZipConstants.h"
#include "archive/ZipCrypto.h"
#include "archive/ZipLocalRecord.h"
#include "archive/ZipNames.h"
#include "archive/ZipPath.h"
#include "archive/ZipWildcard.h"
#include "errors/ZipException.h"
#include "platform/ZipAttributes.h"
#include "platform/ZipFileSystem.h"

using namespace ZipFormat;

CZipTransferState::CZipTransferState() : zstream()
{
    zstream.zalloc = &CZipArchive::TrackedAlloc;
    zstream.zfree = &CZipArchive::TrackedFree;
    zstream.opaque = nullptr;
}

CZipTransferState::~CZipTransferState() = default;

CZipArchive::CZipArchive()
    : caseSensitive(namesCaseSensitive), compareNames(GetNameCompare(namesCaseSensitive))
{
    directory.store = &store;
    transfer.zstream.opaque = trackAllocations ? &trackedBlocks : nullptr;
    entryState = 0;
}

CZipArchive::~CZipArchive()
{
    ReleaseTrackedBlocks();
}

// ---- tracked allocator ----

voidpf CZipArchive::TrackedAlloc(voidpf opaque, uInt items, uInt size)
{
    void* block = std::calloc(items, size);
    if (block && opaque) {
        try {
            static_cast<std::list<void*>*>(opaque)->push_back(block);
        } catch (...) {
            std::free(block);
            return Z_NULL;
        }
    }
    return block;
}

void CZipArchive::TrackedFree(voidpf opaque, voidpf address)
{
    if (opaque) {
        auto* blocks = static_cast<std::list<void*>*>(opaque);
        auto it = std::find(blocks->begin(), blocks->end(), address);
        if (it != blocks->end()) blocks->erase(it);
    }
    std::free(address);
}

void CZipArchive::ReleaseTrackedBlocks()
{
    for (void* block : trackedBlocks) std::free(block);
    trackedBlocks.clear();
}

// ---- state and opening ----

bool CZipArchive::IsClosed(bool archive) const
{
    if (archive) return store.currentVolume == -1;
    return store.stream == nullptr || store.stream->IsClosed();
}

void CZipArchive::Open(const char* path, int mode, int32_t volumeSize)
{
    if (!IsClosed(true)) return;
    store.Open(path, mode, volumeSize);
    OpenCommon(mode);
}

void CZipArchive::Open(CZipStream& stream, int mode)
{
    if (!IsClosed(true) || mode < openExisting || mode > create) return;
    store.OpenStream(&stream, mode);
    OpenCommon(mode);
}

void CZipArchive::OpenWithoutDirectory(CZipStream& stream)
{
    if (!IsClosed(true)) return;
    store.OpenStream(&stream, openExisting);
    OpenCommon(create);
    // One stream is one volume.
    store.AdoptLastDisk(0);
}

void CZipArchive::OpenCommon(int mode)
{
    password.Release();
    entryState = 0;
    directory.Forget(true);
    directory.Reset();
    systemId = localSystemId;
    rootPath.clear();
    if (mode == openExisting || mode == openReadOnly) {
        directory.ReadDirectory();
        if (directory.EntryCount() > 0) {
            int first = directory.GetHeader(0)->GetSystemId();
            if (IsSupportedSystem(first)) systemId = first;
        }
    }
}

// ---- entry information ----

int CZipArchive::GetCount() const
{
    return directory.EntryCount();
}

CZipEntryHeader* CZipArchive::HeaderAt(int index) const
{
    int i = static_cast<uint16_t>(index);
    return directory.HasIndex(i) ? directory.GetHeader(i) : nullptr;
}

bool CZipArchive::ReadLocalRecord(uint16_t index, CZipLocalRecord& local)
{
    if (!directory.HasIndex(index) || !store.stream) return false;
    const CZipEntryHeader* header = directory.GetHeader(index);
    const uint32_t foreign = directory.endInfo.foreignBytes;
    if (local.Read(*store.stream, static_cast<uint64_t>(header->localHeaderOffset) + foreign)) return true;
    // A directory whose offset is wrong makes every local header look
    // shifted by the same bytes: the entry is looked for at its offset
    // counted from the stream's start, as unzip does.
    return foreign > 0 && local.Read(*store.stream, header->localHeaderOffset);
}

bool CZipArchive::GetFileInfo(CZipEntryHeader& out, int index) const
{
    if (IsClosed(true)) return false;
    CZipEntryHeader* header = HeaderAt(index);
    if (!header) return false;
    out = *header;
    return true;
}

std::string CZipArchive::GetArchivePath() const
{
    if (IsClosed(false)) return {};
    return store.stream->GetFilePath();
}

void CZipArchive::FindMatches(const char* pattern, std::vector<uint16_t>& out, bool fullPath)
{
    if (IsClosed(true)) return;
    CWildcard wildcard;
    wildcard.Assign(pattern ? pattern : "", caseSensitive);
    for (int i = 0; i < directory.EntryCount(); ++i) {
        std::string name = directory.GetHeader(i)->NameAsString();
        if (!fullPath) {
            TrimLeftSeparators(name);
            name = CZipPath(name).NameWithExtension();
        }
        if (wildcard.Matches(name)) out.push_back(static_cast<uint16_t>(i));
    }
}

std::string CZipArchive::GetExtractedName(const char* entryName, const char* path, bool fullPath,
                                          const char* newName) const
{
    std::string result = path ? path : "";
    std::string name = newName ? newName : (entryName ? entryName : "");
    if (name.empty()) return result;
    if (!result.empty()) EnsureTrailingSeparator(result);
    TrimLeftSeparators(name);
    CZipPath parts(name);
    if (fullPath) {
        result += parts.JoinDirectoryAndName();
        return result;
    }
    std::string full = parts.ParentPath();
    std::string fileName = parts.NameWithExtension();
    if (!full.empty() && !fileName.empty()) full += '\\';
    full += fileName;
    if (!rootPath.empty() && StripLeadingDirectory(rootPath, full, compareNames))
        result += full;
    else
        result += fileName;
    return result;
}

// ---- password ----

bool CZipArchive::SetPassword(const char* text)
{
    if (entryState != 0) return false;
    if (!text) {
        password.Release();
        return true;
    }
    password.Assign(text, static_cast<uint32_t>(std::strlen(text)));
    for (uint32_t i = 0; i < password.length(); ++i)
        if (password[i] >= 0x80) {
            password.Release();
            return false;
        }
    return true;
}

std::string CZipArchive::GetPassword() const
{
    return std::string(reinterpret_cast<const char*>(password.data()), password.length());
}

void CZipArchive::InitKeys()
{
    ZipCrypto::InitKeys(keys, password.data(), password.length());
}

bool CZipArchive::CheckEncryptionHeader()
{
    const CZipEntryHeader* header = directory.currentHeader;
    if (!header) return false;
    uint8_t bytes[encryptionHeaderSize];
    store.Read(bytes, encryptionHeaderSize, true);
    for (uint8_t& b : bytes) ZipCrypto::DecryptByte(keys, b);
    uint8_t check = (header->flags & flagDataDescriptor)
                        ? static_cast<uint8_t>(header->modTime >> 8)
                        : static_cast<uint8_t>(header->crc32 >> 24);
    return bytes[encryptionHeaderSize - 1] == check;
}

// ---- settings ----

bool CZipArchive::SetSystemId(int id)
{
    if (IsClosed(true) || entryState == 1) return false;
    if (!IsSupportedSystem(id)) return false;
    systemId = id;
    return true;
}

void CZipArchive::SetAutoFlush(bool enable)
{
    if (IsClosed(true) || store.SpanState() != 0) return;
    autoFlush = enable;
}

void CZipArchive::SetRootPath(const char* path)
{
    if (IsClosed(true) || entryState != 0) return;
    rootPath = path ? path : "";
    TrimRightSeparators(rootPath);
}

void CZipArchive::SetTempPath(const char* path, bool createDirectory)
{
    tempPath = path ? path : "";
    TrimRightSeparators(tempPath);
    if (path && createDirectory && !tempPath.empty()) MakeDirectoryTree(tempPath.c_str());
}

void CZipArchive::SetCallback(CZipActionCallback* callback, int kinds)
{
    for (int kind = 1; kind <= callbackAll; kind <<= 1) {
        if (!(kinds & kind)) continue;
        if (callback)
            callbacks[kind] = callback;
        else
            callbacks.erase(kind);
    }
}

CZipActionCallback* CZipArchive::GetCallback(int kind)
{
    auto it = callbacks.find(kind);
    if (it == callbacks.end()) return nullptr;
    it->second->kind = kind;
    return it->second;
}

void CZipArchive::SetCaseSensitivity(bool enable)
{
    caseSensitive = enable;
    compareNames = GetNameCompare(enable);
}

// ---- comments ----

std::string CZipArchive::GetGlobalComment() const
{
    if (IsClosed(true)) return {};
    const CZipBuffer& c = directory.archiveComment;
    return std::string(reinterpret_cast<const char*>(c.data()), c.length());
}

bool CZipArchive::SetGlobalComment(const char* text)
{
    if (IsClosed(true) || store.SpanState() == -1 || !directory.endInfo.Rewritable()) return false;
    uint32_t length = text ? static_cast<uint32_t>(std::strlen(text)) : 0;
    // The end record holds the length in 16 bits.
    if (length > maxFieldLength) return false;
    directory.archiveComment.Assign(text, length);
    directory.MarkDirectoryChanged();
    if (autoFlush) Flush();
    return true;
}

bool CZipArchive::SetFileComment(int index, const char* text)
{
    if (IsClosed(true) || store.SpanState() == -1 || !directory.endInfo.Rewritable()) return false;
    CZipEntryHeader* header = HeaderAt(index);
    if (!header) return false;
    uint32_t length = text ? static_cast<uint32_t>(std::strlen(text)) : 0;
    if (length > maxFieldLength) return false;
    header->comment.Assign(text, length);
    directory.MarkDirectoryChanged();
    if (autoFlush) Flush();
    return true;
}

// ---- writing back ----

void CZipArchive::Flush()
{
    if (IsClosed(true)) return;
    const int spanState = store.SpanState();
    if (spanState == -1 || !directory.endInfo.Rewritable()) return;
    directory.WriteDirectory(GetCallback(callbackSave));
    store.FlushBuffer();
    store.Flush();
    if (spanState == 1) store.CompleteSpan();
}

void CZipArchive::ThrowError(int code, bool zlibCode) const
{
    ThrowError(zlibCode ? CZipException::MapZlibError(code) : code, ZipReason::none);
}

void CZipArchive::ThrowError(int code, ZipReason reason, uint64_t offset) const
{
    std::string path;
    if (!IsClosed(true) && store.stream) path = store.stream->GetFilePath();
    ThrowZipException(code, path, reason, offset);
}

void CZipArchive::CheckZlibResult(int result) const
{
    if (result != Z_OK && result != Z_NEED_DICT) ThrowError(result, true);
}
