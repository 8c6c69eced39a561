// Appending an entry: the cured data of an entry goes back into the archive
// as a new entry behind the existing data, compressed with raw deflate and,
// when a password is set, encrypted: with WinZip AES where the request asks
// for it (the replacement of an AES entry), else with the traditional ZIP
// encryption.
#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <random>
#include <utility>

#include "archive/ZipAddRequest.h"
#include "archive/ZipAesEncryption.h"
#include "archive/ZipArchive.h"
#include "archive/ZipConstants.h"
#include "archive/ZipCrc32.h"
#include "archive/ZipCrypto.h"
#include "errors/ZipException.h"
#include "platform/ZipAttributes.h"
#include "storage/ZipStream.h"

using namespace ZipFormat;

namespace {

// zlib's raw deflate: no zlib header or trailer, the ZIP record carries the
// CRC and sizes.
constexpr int rawDeflateWindowBits = -15;
constexpr int deflateMemoryLevel = 8;
constexpr int deflateStrategy = Z_DEFAULT_STRATEGY;

// Takes the archive's password away for the lifetime of the guard and puts
// it back on every way out.
class PasswordAside {
public:
    PasswordAside(CZipBuffer& password, bool active) : slot(password), active(active)
    {
        if (active) saved = std::move(password);
    }
    ~PasswordAside()
    {
        if (active) slot = std::move(saved);
    }
    PasswordAside(const PasswordAside&) = delete;
    PasswordAside& operator=(const PasswordAside&) = delete;

private:
    CZipBuffer& slot;
    CZipBuffer saved;
    bool active;
};

// Ten random bytes, then the check bytes, as the encryption header wants
// them. A generator of this call's own keeps parallel calls from sharing
// (and disturbing) one global state.
void MakeEncryptionHeader(uint8_t (&header)[encryptionHeaderSize], uint16_t modTime)
{
    std::minstd_rand random(static_cast<std::minstd_rand::result_type>(std::time(nullptr)) ^
                            static_cast<std::minstd_rand::result_type>(
                                reinterpret_cast<uintptr_t>(&header)));
    for (uint32_t i = 0; i < encryptionHeaderSize - 2; ++i) {
        const uint32_t r = static_cast<uint32_t>(random());
        uint8_t b = static_cast<uint8_t>((r >> 6) & 0xFF);
        if (b == 0) b = static_cast<uint8_t>(r & 0xFF);
        header[i] = b;
    }
    header[encryptionHeaderSize - 2] = static_cast<uint8_t>(modTime & 0xFF);
    header[encryptionHeaderSize - 1] = static_cast<uint8_t>(modTime >> 8);
}

bool BeginEntry(CZipArchive& archive, CZipEntryHeader& templ, int level,
                const CZipAddRequest* request);

// Version needed to extract a WinZip AES entry.
constexpr uint16_t versionNeededAes = 51;

// The 0x9901 block of an AES entry, both records carry it.
void PutAesExtra(CZipBuffer& extra, const ZipAesInfo& info)
{
    const uint8_t block[4 + aesExtraSize] = {
        static_cast<uint8_t>(aesExtraId & 0xFF), static_cast<uint8_t>(aesExtraId >> 8),
        static_cast<uint8_t>(aesExtraSize), 0,
        static_cast<uint8_t>(info.version & 0xFF), static_cast<uint8_t>(info.version >> 8),
        'A', 'E', info.strength,
        static_cast<uint8_t>(info.method & 0xFF), static_cast<uint8_t>(info.method >> 8)};
    extra.Assign(block, sizeof block);
}

// The method the entry's data is compressed with (for an AES entry, the one
// its extra field names).
uint16_t DataMethod(const CZipEntryHeader& header)
{
    ZipAesInfo info;
    if (header.method == methodAes && ZipFindAesInfo(header.extraField.data(), header.extraField.length(), info))
        return info.method;
    return header.method;
}

} // namespace

bool CZipArchive::AddEntry(CZipAddRequest& request)
{
    if (transfer.bufferSize == 0) return false;
    while (!request.sourcePath.empty() &&
           (request.sourcePath.back() == '\\' || request.sourcePath.back() == '/'))
        request.sourcePath.pop_back();
    // Only streams are read; a request without one has nothing to add.
    if (!request.source || request.chunkSize == 0) return false;
    // AES is written only under a password, and only with the system's
    // cryptography.
    if (request.aes.version != 0 &&
        (password.empty() || (request.options & CZipAddRequest::plainData) || request.aes.strength < 1 ||
         request.aes.strength > 3 || request.aes.version > 2 || !CZipAesPrimitives::Available()))
        return false;
    // Every refusal comes before the first byte is written.
    if (IsClosed(true) || entryState != 0 || store.SpanState() == -1 ||
        !directory.endInfo.Rewritable() ||
        static_cast<uint32_t>(directory.EntryCount()) >= maxEntries)
        return false;

    CZipEntryHeader header;
    header.AssignName(request.entryName.c_str());
    uint32_t attributes = fileAttributes;
    attributes |= ConvertAttributes(fileAttributes, localSystemId, systemUnix);
    header.versionMadeBy =
        static_cast<uint16_t>((header.versionMadeBy & 0x00FF) | ((systemId & 0xFF) << 8));
    header.StoreLocalAttributes(attributes);
    header.SetModificationTime(std::time(nullptr));

    CZipStream& source = *request.source;
    const uint64_t sourceLength = source.GetLength();
    const uint64_t sourceStart = source.GetPosition();
    const uint64_t expected = sourceLength > sourceStart ? sourceLength - sourceStart : 0;
    // The data must fit the 32-bit sizes of the format.
    if (expected > 0xFFFFFFFFull) ThrowError(ZipError::generic);

    const bool plain =
        !password.empty() && ((request.options & CZipAddRequest::plainData) ||
                              ((request.options & CZipAddRequest::plainWhenEmpty) && sourceLength == 0));
    PasswordAside aside(password, plain);
    int level = request.level;
    if ((request.options & CZipAddRequest::storeSmallData) && level != 0 &&
        sourceLength < CZipAddRequest::smallDataLimit)
        level = 0;

    // The new local header goes where the data now ends; remembered so that
    // a failed add can be cut off there again.
    directory.DiscardWrittenDirectory();
    const uint64_t addedAt = store.stream->GetLength();
    const int entriesBefore = directory.EntryCount();

    try {
        if (!BeginEntry(*this, header, level, &request)) return false;
        CZipBuffer chunk(request.chunkSize);
        uint64_t total = 0;
        for (;;) {
            const uint32_t got = source.Read(chunk.data(), request.chunkSize);
            if (got) {
                WriteEntryData(chunk.data(), got);
                total += got;
            }
            if (got < request.chunkSize) break;
        }
        // A source that ends early (a failed read) would give an entry with
        // a correct CRC over the wrong data: refuse it.
        if (total != expected) ThrowError(EIO);
        EndNewEntry(false);
    } catch (...) {
        // Take the entry back before anything else happens: its bytes
        // (still buffered ones included) are dropped and its header removed,
        // so the directory never describes a half-written entry.
        if (entryState == 1) EndNewEntry(true);
        aesWriting.reset();
        directory.currentHeader = nullptr;
        store.bufferedBytes = 0;
        while (directory.EntryCount() > entriesBefore)
            directory.RemoveHeader(nullptr, directory.EntryCount() - 1, true);
        store.stream->SetLength(addedAt);
        directory.endInfo.directoryOnDisk = false;
        throw;
    }
    return true;
}

bool CZipArchive::BeginNewEntry(CZipEntryHeader& templ, int level)
{
    return BeginEntry(*this, templ, level, nullptr);
}

namespace {

bool BeginEntry(CZipArchive& archive, CZipEntryHeader& templ, int level,
                const CZipAddRequest* request)
{
    CZipDirectory& directory = archive.directory;
    CZipStore& store = archive.store;
    if (archive.IsClosed(true) || archive.entryState != 0 || store.SpanState() == -1 ||
        !directory.endInfo.Rewritable() ||
        static_cast<uint32_t>(directory.EntryCount()) >= maxEntries)
        return false;

    CZipTransferState& transfer = archive.transfer;
    transfer.buffer.Allocate(transfer.bufferSize);
    templ.versionMadeBy =
        static_cast<uint16_t>((templ.versionMadeBy & 0x00FF) | ((archive.systemId & 0xFF) << 8));

    std::string name = templ.NameAsString();
    if (templ.IsDirectory() && !name.empty() && name.back() != '\\' && name.back() != '/')
        name += '\\';
    if (name.empty()) {
        char generated[32];
        std::snprintf(generated, sizeof generated, "file%i", directory.EntryCount());
        name = generated;
    }
    for (char& c : name)
        if (c == '/') c = '\\';
    templ.AssignName(name.c_str());

    const bool encrypted = !archive.password.empty();
    const bool aes = encrypted && request && request->aes.version != 0;
    if (level < -1 || level > 9) level = -1;
    if (!templ.PrepareForAdd(level, store.SpanState() == 1, encrypted))
        archive.ThrowError(ZipError::tooLongFileName);
    ZipAesInfo aesInfo;
    if (aes) {
        // The method chosen for the data goes into the extra field; the
        // records name AES.
        aesInfo = request->aes;
        aesInfo.method = templ.method;
        templ.method = methodAes;
        templ.versionNeeded = versionNeededAes;
        templ.compressedSize = aesInfo.SaltLength() + 2;
        PutAesExtra(templ.extraField, aesInfo);
    }
    const bool exactName = request && !request->archiveName.empty();
    if (exactName && request->utf8Name) templ.flags |= flagUtf8Name;

    CZipEntryHeader* header = directory.AddHeader(templ, -1);
    // The name goes into the records in archive form; the header keeps it
    // in local form, and the exact bytes where they were given, for its
    // central record.
    if (exactName) {
        header->storedName.Assign(request->archiveName.data(), static_cast<uint32_t>(request->archiveName.size()));
        header->fileName = header->storedName;
    } else {
        ConvertNameForm(*header, false);
    }
    header->WriteLocalRecord(store);
    header->AssignName(name.c_str());
    // The central record repeats the AES block the local header carries.
    if (aes) PutAesExtra(header->extraField, aesInfo);

    if (aes) {
        archive.aesWriting = std::make_unique<CZipAesEncryption>();
        uint8_t saltAndVerifier[CZipAesEncryption::maxHeaderSize];
        uint32_t size = 0;
        if (!archive.aesWriting->Start(aesInfo, archive.password.data(), archive.password.length(), saltAndVerifier,
                                       size))
            archive.ThrowError(ZipError::generic);
        store.Write(saltAndVerifier, size, false);
    } else if (encrypted) {
        archive.InitKeys();
        uint8_t encryptionHeader[encryptionHeaderSize];
        MakeEncryptionHeader(encryptionHeader, header->modTime);
        ZipCrypto::EncryptBlock(archive.keys, encryptionHeader, encryptionHeaderSize);
        store.Write(encryptionHeader, encryptionHeaderSize, false);
    }

    z_stream& z = transfer.zstream;
    z.next_out = transfer.buffer.data();
    z.avail_out = transfer.bufferSize;
    z.next_in = nullptr;
    z.avail_in = 0;
    z.total_in = 0;
    z.total_out = 0;
    transfer.compressedBytes = 0;

    if (header->IsDirectory() && header->method != methodStored && !aes) header->method = methodStored;
    if (DataMethod(*header) == methodDeflated) {
        z.zalloc = &CZipArchive::TrackedAlloc;
        z.zfree = &CZipArchive::TrackedFree;
        z.opaque = archive.trackAllocations ? static_cast<voidpf>(&archive.trackedBlocks) : nullptr;
        archive.CheckZlibResult(deflateInit2(&z, level, Z_DEFLATED, rawDeflateWindowBits,
                                     deflateMemoryLevel, deflateStrategy));
    }
    archive.entryState = 1;
    return true;
}

} // namespace

void CZipArchive::WriteTransferBuffer()
{
    uint32_t pending = transfer.compressedBytes;
    if (pending && directory.currentHeader &&
        (directory.currentHeader->flags & flagEncrypted)) {
        if (aesWriting) {
            if (!aesWriting->Encrypt(transfer.buffer.data(), pending)) ThrowError(ZipError::generic);
        } else {
            ZipCrypto::EncryptBlock(keys, transfer.buffer.data(), pending);
        }
    }
    if (pending) store.Write(transfer.buffer.data(), pending, false);
    transfer.zstream.next_out = transfer.buffer.data();
    transfer.zstream.avail_out = transfer.bufferSize;
    transfer.compressedBytes = 0;
}

bool CZipArchive::WriteEntryData(const void* buffer, uint32_t count)
{
    if (entryState != 1 || !directory.currentHeader) return false;
    CZipEntryHeader& header = *directory.currentHeader;
    z_stream& z = transfer.zstream;
    const uint8_t* input = static_cast<const uint8_t*>(buffer);
    header.crc32 = ZipCrc32(header.crc32, input, count);
    z.next_in = const_cast<Bytef*>(input);
    z.avail_in = count;

    while (z.avail_in > 0) {
        if (z.avail_out == 0) WriteTransferBuffer();
        uint32_t produced;
        if (DataMethod(header) == methodDeflated) {
            const uLong before = z.total_out;
            CheckZlibResult(deflate(&z, Z_NO_FLUSH));
            produced = static_cast<uint32_t>(z.total_out - before);
        } else {
            produced = std::min(z.avail_in, z.avail_out);
            std::memcpy(z.next_out, z.next_in, produced);
            z.next_in += produced;
            z.avail_in -= produced;
            z.next_out += produced;
            z.avail_out -= produced;
            z.total_in += produced;
            z.total_out += produced;
        }
        transfer.compressedBytes += produced;
    }
    z.next_in = nullptr;
    return true;
}

bool CZipArchive::EndNewEntry(bool afterException)
{
    if (entryState != 1) return false;
    z_stream& z = transfer.zstream;
    z.next_in = nullptr;
    z.avail_in = 0;
    CZipEntryHeader* header = directory.currentHeader;
    const bool deflating = header && DataMethod(*header) == methodDeflated;

    if (afterException) {
        // zlib's state goes now; the tracked blocks would free it anyway,
        // but not when tracking is off.
        if (deflating) deflateEnd(&z);
        aesWriting.reset();
        directory.Forget(false);
    } else {
        // A throw from here leaves the entry open; the caller ends it again
        // with afterException.
        if (deflating) {
            int result;
            do {
                if (z.avail_out == 0) WriteTransferBuffer();
                const uLong before = z.total_out;
                result = deflate(&z, Z_FINISH);
                transfer.compressedBytes += static_cast<uint32_t>(z.total_out - before);
            } while (result == Z_OK);
            if (result == Z_STREAM_END) result = Z_OK;
            CheckZlibResult(result);
        }
        if (transfer.compressedBytes > 0) WriteTransferBuffer();
        // An AES entry's data ends with its authentication code.
        uint32_t trailer = 0;
        if (aesWriting) {
            uint8_t code[CZipAesEncryption::codeSize];
            if (!aesWriting->Finish(code)) ThrowError(ZipError::generic);
            store.Write(code, sizeof code, false);
            trailer = sizeof code;
        }
        if (deflating) {
            const uLong written = z.total_out;
            const uLong read = z.total_in;
            CheckZlibResult(deflateEnd(&z));
            z.total_out = written;
            z.total_in = read;
        }
        header->compressedSize += static_cast<uint32_t>(z.total_out) + trailer;
        header->uncompressedSize = static_cast<uint32_t>(z.total_in);
        // AE-2 entries carry no CRC: their authentication code stands for it.
        ZipAesInfo info;
        if (aesWriting && ZipFindAesInfo(header->extraField.data(), header->extraField.length(), info) &&
            info.version == 2)
            header->crc32 = 0;
        aesWriting.reset();
        directory.FinishNewEntry();
    }

    entryState = 0;
    transfer.buffer.Release();
    ReleaseTrackedBlocks();
    if (autoFlush && !afterException) Flush();
    return true;
}
