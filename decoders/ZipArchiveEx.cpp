#include "decoders/ZipArchiveEx.h"

#include <algorithm>
#include <cctype>
#include <string>
#include <vector>

#include "archive/ZipConstants.h"
#include "archive/ZipLocalRecord.h"
#include "archive/ZipNames.h"
#include "archive/ZipPath.h"
#include "decoders/ZipAesDecryption.h"
#include "errors/ZipException.h"
#include "platform/ZipFileSystem.h"
#include "platform/ZipLinks.h"
#include "storage/ZipDiskStream.h"
#include "storage/ZipStream.h"

namespace {

// How an extracted file is created: written, others may read it, made anew.
constexpr uint32_t kExtractFileFlags =
    CZipStream::modeWrite | CZipStream::shareDenyWrite | CZipStream::modeCreate;

// Checks that target, built from an entry name below base, stays below base,
// and clears the way: a symbolic link at the target is removed (the file is
// written anew, not through the link), a link on the way there refuses the
// entry. False refuses the entry.
bool PrepareTarget(const char* base, const std::string& target, bool isDirectory)
{
    std::string prefix = base ? base : "";
    if (!prefix.empty()) EnsureTrailingSeparator(prefix);
    std::string relative;
    if (prefix.empty()) {
        relative = target;
        if (!relative.empty() && IsPathSeparator(relative[0])) return false;
    } else if (target.compare(0, prefix.size(), prefix) == 0) {
        relative = target.substr(prefix.size());
    } else if (target + '\\' == prefix) {
        relative.clear();  // the entry's name was empty: the target is base itself
    } else {
        return false;
    }
    if (relative.size() >= 2 && relative[1] == ':') return false;  // a drive
    if (relative.empty() && !isDirectory) return false;

    std::vector<std::string> components;
    std::string part;
    for (char c : relative) {
        if (IsPathSeparator(c)) {
            if (!part.empty()) components.push_back(part);
            part.clear();
        } else {
            part += c;
        }
    }
    if (!part.empty()) components.push_back(part);
    for (const std::string& component : components) {
        if (IsUnsafePathComponent(component)) return false;
    }

    std::string walked = prefix;
    for (size_t i = 0; i < components.size(); ++i) {
        walked += components[i];
        if (IsSymbolicLink(walked.c_str())) {
            if (i + 1 < components.size()) return false;
            if (!RemoveSymbolicLink(walked.c_str())) return false;
        }
        walked += '\\';
    }
    return true;
}

} // namespace

CZipArchiveEx::CZipArchiveEx() = default;

CZipArchiveEx::~CZipArchiveEx() = default;

bool CZipArchiveEx::OpenEntry(uint16_t index)
{
    if (!directory.HasIndex(index)) return false;
    if (store.SpanState() == 1) return false;
    if (entryState != 0) return false;

    transfer.buffer.Allocate(transfer.bufferSize);
    try {
        directory.OpenEntryData(index);
        entryDataStart = store.stream->GetPosition();
        StartDecoder(NextRecordStart(index));
    } catch (...) {
        // Nothing of this entry stays open: the next open starts afresh.
        ReleaseDecoder();
        directory.CloseEntryData(true);
        throw;
    }
    entryState = -1;
    return true;
}

bool CZipArchiveEx::OpenEntryAs(uint16_t index, const CZipEntryHeader& view, const CZipLocalRecord* local)
{
    if (!directory.HasIndex(index)) return false;
    const CZipEntryHeader* header = directory.GetHeader(index);
    CZipLocalRecord read;
    if (!local && ReadLocalRecord(index, read)) local = &read;
    // An entry said to start on another volume is read all the same when
    // its local header is found at its offset in this stream.
    if (!local && header->diskStart != store.currentVolume) store.CheckVolume(header->diskStart);
    return OpenEntryAt(static_cast<uint64_t>(header->localHeaderOffset) + directory.endInfo.foreignBytes,
                       view, NextRecordStart(index), local);
}

bool CZipArchiveEx::OpenEntryAt(uint64_t localPosition, const CZipEntryHeader& view, uint64_t dataLimit,
                                const CZipLocalRecord* local)
{
    if (!store.stream || store.SpanState() == 1) return false;
    if (entryState != 0) return false;

    CZipLocalRecord read;
    if (!local) {
        if (!read.Read(*store.stream, localPosition)) ThrowError(ZipError::badZipFile, ZipReason::localHeaderMissing, localPosition);
        local = &read;
    }
    const uint64_t dataStart = local->dataStart;
    transfer.buffer.Allocate(transfer.bufferSize);
    entryView = std::make_unique<CZipEntryHeader>(view);
    try {
        directory.currentHeader = entryView.get();
        store.stream->Seek(static_cast<int64_t>(dataStart), CZipStream::begin);
        entryDataStart = dataStart;
        StartDecoder(dataLimit, local->hasAes ? &local->aes : nullptr);
    } catch (...) {
        ReleaseDecoder();
        directory.CloseEntryData(true);
        entryView.reset();
        throw;
    }
    entryState = -1;
    return true;
}

void CZipArchiveEx::StartDecoder(uint64_t dataLimit, const ZipAesInfo* localAes)
{
    CZipEntryHeader* header = directory.currentHeader;
    if (header->method == ZipFormat::methodAes) {
        ZipAesInfo info;
        const bool described = ZipFindAesInfo(header->extraField.data(), header->extraField.length(), info);
        if (!described && !localAes) ThrowError(ZipError::badZipFile, ZipReason::aesExtraMissing);
        StartAesDecoder(described ? info : *localAes);
        return;
    }
    if (header->flags & ZipFormat::flagEncrypted) {
        if (password.length() == 0) ThrowError(ZipError::badPassword);
        InitKeys();
        if (!CheckEncryptionHeader()) ThrowError(ZipError::badPassword);
    }
    if (!CreateDecoder(header->method)) ThrowError(ZipError::badZipFile, ZipReason::methodUnsupported);
    decoder->Init(&store, header, keys);
    // Data may run past its declared size up to the next record, also where
    // the end record names a later disk: the limit lies in this stream.
    if (dataLimit > entryDataStart)
        decoder->AllowInputUpTo(static_cast<uint32_t>(std::min<uint64_t>(dataLimit - entryDataStart, 0xFFFFFFFFu)));
}

void CZipArchiveEx::StartAesDecoder(const ZipAesInfo& info)
{
    const CZipEntryHeader& header = *directory.currentHeader;
    if (info.method == ZipFormat::methodAes || !ZipReadsMethod(info.method) || !CZipAesPrimitives::Available())
        ThrowError(ZipError::badZipFile, ZipReason::methodUnsupported);
    if (password.length() == 0) ThrowError(ZipError::badPassword);
    if (header.compressedSize < info.Overhead()) ThrowError(ZipError::badZipFile, ZipReason::encryptedDataTooShort);
    uint8_t salt[16 + 2];
    const uint32_t saltLength = info.SaltLength();
    store.Read(salt, saltLength + 2, false);
    aes = std::make_unique<CZipAesDecryption>();
    if (!aes->Start(info, password.data(), password.length(), salt, salt + saltLength))
        ThrowError(ZipError::badPassword);
    // The decoder sees the real method over the encrypted data alone; the
    // encrypted length is fixed, so it is never followed past its size.
    aesView = std::make_unique<CZipEntryHeader>(header);
    aesView->method = info.method;
    aesView->flags = static_cast<uint16_t>(aesView->flags & ~ZipFormat::flagEncrypted);
    aesView->compressedSize = header.compressedSize - info.Overhead();
    aesCodePosition = entryDataStart + saltLength + 2 + aesView->compressedSize;
    // AE-2 entries carry no CRC: the authentication code stands for it.
    aesChecksCrc = info.version == 1;
    if (!CreateDecoder(info.method)) ThrowError(ZipError::badZipFile, ZipReason::methodUnsupported);
    decoder->Init(&store, aesView.get(), nullptr);
    decoder->SetAesDecryption(aes.get());
}

bool CZipArchiveEx::VerifyAesCode()
{
    // The part of the encrypted data the method did not need is
    // authenticated too.
    CZipBuffer rest(65536);
    for (uint32_t left = decoder->UnfetchedInput(); left > 0;) {
        const uint32_t n = store.stream->Read(rest.data(), std::min<uint32_t>(left, rest.length()));
        if (n == 0) ThrowError(ZipError::badZipFile, ZipReason::streamCut);
        aes->Authenticate(rest.data(), n);
        left -= n;
    }
    uint8_t code[10];
    store.stream->Seek(static_cast<int64_t>(aesCodePosition), CZipStream::begin);
    if (store.stream->Read(code, sizeof code) != sizeof code)
        ThrowError(ZipError::badZipFile, ZipReason::streamCut, aesCodePosition);
    return aes->Verify(code);
}

uint64_t CZipArchiveEx::OpenDataEnd() const
{
    // AES data ends at its fixed size, followed by the authentication code.
    if (!decoder || aes || entryState != -1 || store.SpanState() != 0) return 0;
    const uint32_t length = decoder->DataLength();
    return length ? entryDataStart + length : 0;
}

uint64_t CZipArchiveEx::NextRecordStart(uint16_t index) const
{
    const CZipEndInfo& end = directory.endInfo;
    const uint32_t own = directory.GetHeader(index)->localHeaderOffset;
    uint64_t next = static_cast<uint64_t>(end.directoryOffset) + end.foreignBytes;
    // Headers are in stream order: the next one with a later local header is
    // where this entry's bytes end at the latest.
    for (int i = index + 1; i < directory.EntryCount(); ++i) {
        const uint32_t offset = directory.GetHeader(i)->localHeaderOffset;
        if (offset > own) {
            next = std::min<uint64_t>(next, static_cast<uint64_t>(offset) + end.foreignBytes);
            break;
        }
    }
    if (end.endRecordOffset > 0) next = std::min<uint64_t>(next, end.endRecordOffset);
    return next;
}

uint32_t CZipArchiveEx::ReadEntry(void* buffer, uint32_t length)
{
    if (entryState != -1 || !buffer || length == 0 || !decoder) return 0;
    return decoder->Read(static_cast<uint8_t*>(buffer), length);
}

int CZipArchiveEx::FinishReading(const char* path)
{
    int result = 1;
    const CZipEntryHeader& entry = *directory.currentHeader;
    // Damage the method names (a zlib error after some output) is reported
    // here, once the caller has every byte decoded before it.
    if (decoder->ErrorCode() != 0) ThrowError(decoder->ErrorCode());
    if (decoder->Delivered() < entry.uncompressedSize || decoder->Damaged()) {
        result = -1;
    } else {
        // A wrong authentication code is reported as a CRC mismatch: the
        // caller has the content all the same. Where CRCs are not checked,
        // the content is still not the entry the archive was written with.
        if (aes && !VerifyAesCode()) {
            if (!ignoreCrc) ThrowError(ZipError::badCrc);
            result = -1;
        }
        if (!ignoreCrc && (!aes || aesChecksCrc) && decoder->Crc() != entry.crc32) ThrowError(ZipError::badCrc);
        // More bytes than the header announced: the caller has them all,
        // but the entry is not what its header says.
        if (decoder->Delivered() != entry.uncompressedSize) result = -1;
    }
    decoder->End();
    if (path) {
        const CZipEntryHeader& header = *directory.currentHeader;
        if (!WriteModificationTime(path, header.GetModificationTime()))
            result = -2;
        else if (!WriteFileAttributes(path, header.LocalAttributes()))
            result = -2;
    }
    return result;
}

void CZipArchiveEx::ReleaseEntry(bool afterException)
{
    ReleaseDecoder();
    // Whatever the descriptor check finds, the entry ends here.
    struct EntryEnd {
        CZipArchiveEx& archive;
        ~EntryEnd()
        {
            archive.entryState = 0;
            archive.transfer.buffer.Release();
            archive.ReleaseTrackedBlocks();
        }
    } end{*this};

    // An entry read as something other than its records say has no
    // descriptor to check.
    if (entryView) {
        directory.CloseEntryData(true);
        entryView.reset();
        return;
    }
    CZipEntryHeader* header = directory.currentHeader;
    if (!afterException && header && (header->flags & ZipFormat::flagDataDescriptor) && store.stream) {
        // The descriptor follows the compressed data, whether or not the
        // decoder read all of it.
        store.stream->Seek(static_cast<int64_t>(entryDataStart + header->compressedSize),
                           CZipStream::begin);
    }
    try {
        directory.CloseEntryData(afterException);
    } catch (...) {
        directory.CloseEntryData(true);
        throw;
    }
}

int CZipArchiveEx::CloseEntry(const char* path, bool afterException)
{
    if (entryState != -1) return 0;
    int result = 1;
    if (!afterException) {
        try {
            result = FinishReading(path);
        } catch (...) {
            // A CRC mismatch still closes the entry, so the archive can go on
            // with the next one.
            ReleaseEntry(true);
            throw;
        }
    }
    ReleaseEntry(afterException);
    return result;
}

int CZipArchiveEx::CloseEntry(CZipStream& stream)
{
    const std::string path = stream.GetFilePath();
    try {
        stream.Close();
    } catch (...) {
        CloseEntry(nullptr, true);
        throw;
    }
    return CloseEntry(path.c_str(), false);
}

void CZipArchiveEx::ReleaseDecoder()
{
    decoder.reset();
    aes.reset();
    aesView.reset();
}

int CZipArchiveEx::CopyEntry(CZipStream& output, uint32_t bufferSize, CZipActionCallback* callback)
{
    CZipBuffer buffer(bufferSize);
    for (;;) {
        const uint32_t n = ReadEntry(buffer.data(), bufferSize);
        if (n > 0) {
            output.Write(buffer.data(), n);
            if (callback && !callback->Callback(n)) {
                // Stopping at the last block leaves a complete entry behind.
                if (n == bufferSize && ReadEntry(buffer.data(), 1) != 0)
                    return ZipError::abortedAction;
                return ZipError::abortedSafely;
            }
        }
        if (n != bufferSize) return 0;
    }
}

bool CZipArchiveEx::ExtractEntryToFile(uint16_t index, const char* path, bool fullPath,
                                       const char* newName, uint32_t bufferSize)
{
    if (bufferSize == 0) return false;
    CZipEntryHeader info;
    if (!GetFileInfo(info, index)) return false;
    const std::string name = info.NameAsString();
    const std::string target = GetExtractedName(name.c_str(), path, fullPath, newName);
    const bool isDirectory = info.IsDirectory();
    if (!PrepareTarget(path, target, isDirectory)) return false;

    CZipActionCallback* callback = GetCallback(ZipFormat::callbackExtract);
    if (callback) callback->Init(name.c_str(), target.c_str());

    if (isDirectory) {
        if (callback) callback->SetTotal(0);
        MakeDirectoryTree(target.c_str());
        WriteFileAttributes(target.c_str(), info.LocalAttributes());
        if (callback) callback->CallbackEnd();
        return true;
    }

    if (callback) callback->SetTotal(info.uncompressedSize);
    if (!OpenEntry(index)) return false;
    int abortCode = 0;
    bool result = false;
    try {
        const std::string parent = CZipPath(target).ParentPath();
        if (!parent.empty()) MakeDirectoryTree(parent.c_str());
        CZipDiskStream file(ToSystemPath(target.c_str()).c_str(), kExtractFileFlags);
        abortCode = CopyEntry(file, bufferSize, callback);
        result = CloseEntry(file) == 1;
    } catch (...) {
        CloseEntry(nullptr, true);
        throw;
    }
    if (!result && abortCode == ZipError::abortedSafely) abortCode = ZipError::abortedAction;
    if (callback) callback->CallbackEnd();
    if (abortCode != 0) ThrowZipException(abortCode, target);
    return result;
}

bool CZipArchiveEx::ExtractEntryToStream(uint16_t index, CZipStream& output, uint32_t bufferSize)
{
    if (bufferSize == 0) return false;
    CZipEntryHeader info;
    if (!GetFileInfo(info, index)) return false;
    CZipActionCallback* callback = GetCallback(ZipFormat::callbackExtract);
    if (callback) {
        callback->Init(info.NameAsString().c_str(), nullptr);
        callback->SetTotal(info.uncompressedSize);
    }
    if (info.IsDirectory() || !OpenEntry(index)) return false;

    int abortCode = 0;
    bool result = false;
    try {
        output.SeekToEnd();
        abortCode = CopyEntry(output, bufferSize, callback);
        result = CloseEntry(nullptr, false) == 1;
    } catch (...) {
        CloseEntry(nullptr, true);
        throw;
    }
    if (!result && abortCode == ZipError::abortedSafely) abortCode = ZipError::abortedAction;
    if (callback) callback->CallbackEnd();
    if (abortCode != 0) ThrowZipException(abortCode);
    return result;
}
