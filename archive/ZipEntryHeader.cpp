#include "archive/ZipEntryHeader.h"

#include <cstring>

#include "archive/ZipConstants.h"
#include "platform/ZipAttributes.h"
#include "platform/ZipCodePage.h"
#include "storage/ZipStore.h"

using namespace ZipFormat;

namespace {

uint16_t Low16(const CZipBuffer& buffer)
{
    return static_cast<uint16_t>(buffer.length());
}

bool EndsWithPathSeparator(const CZipBuffer& name)
{
    if (name.empty()) return false;
    uint8_t last = name[name.length() - 1];
    return last == '\\' || last == '/';
}

// The 46 fixed bytes of a central record into the header; the three lengths
// come back separately.
void TakeCentralFields(CZipEntryHeader& h, const uint8_t* p, uint16_t& nameLength,
                       uint16_t& extraLength, uint16_t& commentLength)
{
    std::memcpy(h.signature, p, 4);
    h.versionMadeBy = GetU16(p + 4);
    h.versionNeeded = GetU16(p + 6);
    h.flags = GetU16(p + 8);
    h.method = GetU16(p + 10);
    h.modTime = GetU16(p + 12);
    h.modDate = GetU16(p + 14);
    h.crc32 = GetU32(p + 16);
    h.compressedSize = GetU32(p + 20);
    h.uncompressedSize = GetU32(p + 24);
    nameLength = GetU16(p + 28);
    extraLength = GetU16(p + 30);
    commentLength = GetU16(p + 32);
    h.diskStart = GetU16(p + 34);
    h.internalAttributes = GetU16(p + 36);
    h.externalAttributes = GetU32(p + 38);
    h.localHeaderOffset = GetU32(p + 42);
}

// The data of the ZIP64 extra block within an extra field, or null.
const uint8_t* FindZip64Block(const CZipBuffer& extra, uint16_t& size)
{
    const uint8_t* p = extra.data();
    const uint32_t length = extra.length();
    uint32_t at = 0;
    while (length - at >= 4) {
        const uint16_t blockSize = GetU16(p + at + 2);
        if (blockSize > length - at - 4) return nullptr;
        if (GetU16(p + at) == zip64ExtraId) {
            size = blockSize;
            return p + at + 4;
        }
        at += 4 + blockSize;
    }
    return nullptr;
}

// A local header's sizes (the 12 bytes from its CRC-32 on) stored as all
// ones, replaced by the values of the local ZIP64 block where they fit.
void TakeLocalZip64Sizes(uint8_t* values, const CZipBuffer& extra)
{
    uint16_t size = 0;
    const uint8_t* block = FindZip64Block(extra, size);
    if (!block) return;
    const bool compressedMarked = GetU32(values + 4) == zip64Marker32;
    const bool uncompressedMarked = GetU32(values + 8) == zip64Marker32;
    uint64_t compressed = GetU32(values + 4), uncompressed = GetU32(values + 8);
    if (size >= 16) {
        // A local block is meant to hold both sizes, whichever is marked.
        if (uncompressedMarked) uncompressed = GetU64(block);
        if (compressedMarked) compressed = GetU64(block + 8);
    } else {
        // Some writers keep only the marked ones, in order.
        if (uncompressedMarked && size >= 8) {
            uncompressed = GetU64(block);
            block += 8;
            size = static_cast<uint16_t>(size - 8);
        }
        if (compressedMarked && size >= 8) compressed = GetU64(block);
    }
    // Sizes beyond 32 bits leave both as stored.
    if (compressed > maxField32 || uncompressed > maxField32) return;
    PutU32(values + 4, static_cast<uint32_t>(compressed));
    PutU32(values + 8, static_cast<uint32_t>(uncompressed));
}

bool LocalTime(time_t when, struct tm& out)
{
#ifdef _WIN32
    return localtime_s(&out, &when) == 0;
#else
    return localtime_r(&when, &out) != nullptr;
#endif
}

} // namespace

CZipEntryHeader::CZipEntryHeader() = default;
CZipEntryHeader::~CZipEntryHeader() = default;

bool CZipEntryHeader::ReadCentralRecord(CZipStore& store)
{
    uint8_t fixed[centralRecordSize];
    store.Read(fixed, centralRecordSize, true);
    uint16_t nameLength, extraLength, commentLength;
    TakeCentralFields(*this, fixed, nameLength, extraLength, commentLength);
    if (!HasSignature(signature, centralSignature)) return false;

    int32_t volume = store.currentVolume;
    fileName.Allocate(nameLength);
    if (nameLength) store.Read(fileName.data(), nameLength, true);
    if (extraLength) {
        extraField.Allocate(extraLength);
        store.Read(extraField.data(), extraLength, true);
    }
    if (commentLength) {
        comment.Allocate(commentLength);
        store.Read(comment.data(), commentLength, true);
    }
    return volume == store.currentVolume;
}

int32_t CZipEntryHeader::ParseCentralRecord(const uint8_t* bytes, uint32_t available)
{
    if (available < centralRecordSize) return 0;
    uint16_t nameLength, extraLength, commentLength;
    TakeCentralFields(*this, bytes, nameLength, extraLength, commentLength);
    if (!HasSignature(signature, centralSignature)) return -1;
    uint32_t size = centralRecordSize + nameLength + extraLength + commentLength;
    if (size > available) return 0;

    const uint8_t* p = bytes + centralRecordSize;
    fileName.Assign(p, nameLength);
    p += nameLength;
    if (extraLength) extraField.Assign(p, extraLength);
    p += extraLength;
    if (commentLength) comment.Assign(p, commentLength);
    return static_cast<int32_t>(size);
}

uint32_t CZipEntryHeader::WriteCentralRecord(CZipStore& store)
{
    uint32_t size = GetRecordSize(false);
    CZipBuffer record(size);
    uint8_t* p = record.data();
    std::memcpy(p, signature, 4);
    PutU16(p + 4, versionMadeBy);
    PutU16(p + 6, versionNeeded);
    PutU16(p + 8, flags);
    PutU16(p + 10, method);
    PutU16(p + 12, modTime);
    PutU16(p + 14, modDate);
    PutU32(p + 16, crc32);
    PutU32(p + 20, compressedSize);
    PutU32(p + 24, uncompressedSize);
    PutU16(p + 28, Low16(fileName));
    PutU16(p + 30, Low16(extraField));
    PutU16(p + 32, Low16(comment));
    PutU16(p + 34, diskStart);
    PutU16(p + 36, internalAttributes);
    PutU32(p + 38, externalAttributes);
    PutU32(p + 42, localHeaderOffset);
    p += centralRecordSize;
    // Only the low 16 bits of each length are recorded, so only that many
    // bytes go out: the record stays self-consistent.
    if (Low16(fileName)) std::memcpy(p, fileName.data(), Low16(fileName));
    p += Low16(fileName);
    if (Low16(extraField)) std::memcpy(p, extraField.data(), Low16(extraField));
    p += Low16(extraField);
    if (Low16(comment)) std::memcpy(p, comment.data(), Low16(comment));
    store.Write(record.data(), size, true);
    return size;
}

void CZipEntryHeader::WriteLocalRecord(CZipStore& store)
{
    uint32_t size = GetRecordSize(true);
    CZipBuffer record(size);
    uint8_t* p = record.data();
    std::memcpy(p, localSignature, 4);
    PutU16(p + 4, versionNeeded);
    PutU16(p + 6, flags);
    PutU16(p + 8, method);
    PutU16(p + 10, modTime);
    PutU16(p + 12, modDate);
    StoreDescriptor(p + 14);
    PutU16(p + 26, Low16(fileName));
    PutU16(p + 28, Low16(extraField));
    p += localRecordSize;
    if (Low16(fileName)) std::memcpy(p, fileName.data(), Low16(fileName));
    p += Low16(fileName);
    if (Low16(extraField)) std::memcpy(p, extraField.data(), Low16(extraField));
    store.Write(record.data(), size, true);

    // The extra field goes into the local header only.
    extraField.Release();
    diskStart = static_cast<uint16_t>(store.currentVolume);
    localHeaderOffset =
        static_cast<uint32_t>(store.stream->GetPosition()) + store.bufferedBytes - size;
}

bool CZipEntryHeader::VerifyLocalRecord(CZipStore& store, uint16_t& localExtraLength)
{
    uint8_t p[localRecordSize];
    store.Read(p, localRecordSize, true);
    uint16_t localFlags = GetU16(p + 6);
    if (!HasSignature(p, localSignature)) return false;
    if ((localFlags ^ flags) & flagsChecked) return false;
    if (GetU16(p + 8) != method) return false;
    uint16_t nameLength = GetU16(p + 26);
    if (nameLength != Low16(fileName)) return false;
    localExtraLength = GetU16(p + 28);
    store.stream->Seek(nameLength, CZipStream::current);
    if (!(localFlags & flagDataDescriptor)) {
        uint8_t* values = p + localDescriptorOffset;
        // Sizes marked as all ones are in the ZIP64 extra field (zip writes
        // them so whenever it reads from a pipe). The extra field is read
        // here and left in the stream for the caller.
        if (localExtraLength &&
            (GetU32(values + 4) == zip64Marker32 || GetU32(values + 8) == zip64Marker32)) {
            CZipBuffer extra(localExtraLength);
            store.Read(extra.data(), localExtraLength, true);
            store.stream->Seek(-static_cast<int64_t>(localExtraLength), CZipStream::current);
            TakeLocalZip64Sizes(values, extra);
        }
        if (!CompareDescriptor(values)) return false;
    }
    return true;
}

void CZipEntryHeader::TakeZip64Values()
{
    if (uncompressedSize != zip64Marker32 && compressedSize != zip64Marker32 &&
        localHeaderOffset != zip64Marker32 && diskStart != zip64Marker16)
        return;
    uint16_t size = 0;
    const uint8_t* p = FindZip64Block(extraField, size);
    if (!p) return;
    const uint8_t* const end = p + size;
    // Only the marked fields are in the block, in record order. An entry
    // with any value beyond 32 bits keeps every field as stored.
    uint32_t values[3] = {uncompressedSize, compressedSize, localHeaderOffset};
    for (uint32_t& value : values) {
        if (value != zip64Marker32 || end - p < 8) continue;
        if (GetU64(p) > maxField32) return;
        value = GetU32(p);
        p += 8;
    }
    uint32_t disk = diskStart;
    if (disk == zip64Marker16 && end - p >= 4) {
        disk = GetU32(p);
        if (disk > zip64Marker16) return;
    }
    uncompressedSize = values[0];
    compressedSize = values[1];
    localHeaderOffset = values[2];
    diskStart = static_cast<uint16_t>(disk);
}

bool CZipEntryHeader::CompareDescriptor(const uint8_t* bytes, bool zip64Sizes) const
{
    if (zip64Sizes)
        return GetU32(bytes) == crc32 && GetU64(bytes + 4) == compressedSize &&
               GetU64(bytes + 12) == uncompressedSize;
    return GetU32(bytes) == crc32 && GetU32(bytes + 4) == compressedSize &&
           GetU32(bytes + 8) == uncompressedSize;
}

void CZipEntryHeader::StoreDescriptor(uint8_t* destination) const
{
    PutU32(destination, crc32);
    PutU32(destination + 4, compressedSize);
    PutU32(destination + 8, uncompressedSize);
}

uint32_t CZipEntryHeader::GetRecordSize(bool local) const
{
    if (local) return localRecordSize + Low16(fileName) + Low16(extraField);
    return centralRecordSize + Low16(fileName) + Low16(extraField) + Low16(comment);
}

time_t CZipEntryHeader::GetModificationTime() const
{
    struct tm t = {};
    t.tm_sec = (modTime & 0x1F) * 2;
    t.tm_min = (modTime >> 5) & 0x3F;
    t.tm_hour = modTime >> 11;
    t.tm_mday = modDate & 0x1F;
    t.tm_mon = ((modDate >> 5) & 0x0F) - 1;
    t.tm_year = (modDate >> 9) + 80;
    t.tm_isdst = -1;
    return mktime(&t);
}

void CZipEntryHeader::SetModificationTime(time_t when)
{
    struct tm t = {};
    if (!LocalTime(when, t)) return;
    int year = t.tm_year + 1900;
    int years = year > 1980 ? year - 1980 : 0;
    modDate = static_cast<uint16_t>((years << 9) + ((t.tm_mon + 1) << 5) + t.tm_mday);
    modTime = static_cast<uint16_t>((t.tm_hour << 11) + (t.tm_min << 5) + (t.tm_sec >> 1));
}

bool CZipEntryHeader::AssignName(const char* name)
{
    fileName.Assign(name, name ? static_cast<uint32_t>(std::strlen(name)) : 0);
    return true;
}

bool CZipEntryHeader::AssignComment(const char* text)
{
    comment.Assign(text, text ? static_cast<uint32_t>(std::strlen(text)) : 0);
    return true;
}

std::string CZipEntryHeader::NameAsString() const
{
    return std::string(reinterpret_cast<const char*>(fileName.data()), fileName.length());
}

std::string CZipEntryHeader::CommentAsString() const
{
    return std::string(reinterpret_cast<const char*>(comment.data()), comment.length());
}

void CZipEntryHeader::SetVersion(uint8_t version)
{
    versionMadeBy = static_cast<uint16_t>((versionMadeBy & 0xFF00) | version);
}

uint8_t CZipEntryHeader::GetSystemId() const
{
    return static_cast<uint8_t>(versionMadeBy >> 8);
}

uint32_t CZipEntryHeader::LocalAttributes() const
{
    uint8_t system = GetSystemId();
    if (IsSupportedSystem(system)) {
        if (externalAttributes == 0 && EndsWithPathSeparator(fileName)) return directoryAttributes;
        return ConvertAttributes(externalAttributes, system, localSystemId);
    }
    return EndsWithPathSeparator(fileName) ? directoryAttributes : fileAttributes;
}

void CZipEntryHeader::StoreLocalAttributes(uint32_t attributes)
{
    externalAttributes = ConvertAttributes(attributes, localSystemId, GetSystemId());
}

bool CZipEntryHeader::IsDirectory() const
{
    return (LocalAttributes() & dosDirectoryBit) != 0;
}

bool CZipEntryHeader::PrepareForAdd(int level, bool dataDescriptor, bool encrypted)
{
    std::memcpy(signature, centralSignature, 4);
    internalAttributes = 0;
    versionNeeded = IsDirectory() ? versionNeededDirectory : versionNeededFile;
    SetVersion(ZipFormat::versionMadeBy);
    crc32 = 0;
    compressedSize = 0;
    uncompressedSize = 0;
    if (level == 0) method = methodStored;
    if (method != methodStored && method != methodDeflated) method = methodDeflated;
    flags = 0;
    if (method == methodDeflated) {
        switch (level) {
        case 1: flags = 6; break;
        case 2: flags = 4; break;
        case 8:
        case 9: flags = 2; break;
        default: break;
        }
    }
    if (dataDescriptor || encrypted) flags |= flagDataDescriptor;
    if (encrypted) {
        flags |= flagEncrypted;
        compressedSize = encryptionHeaderSize;
    }
    return comment.length() <= maxFieldLength && fileName.length() <= maxFieldLength &&
           extraField.length() <= maxFieldLength;
}

void ReplaceSlashes(CZipBuffer& buffer, bool toBackslash)
{
    const int from = toBackslash ? '/' : '\\';
    const uint8_t to = toBackslash ? '\\' : '/';
    uint8_t* p = buffer.data();
    uint8_t* const end = p + buffer.length();
    // Names hold few separators: let memchr skip the rest.
    while (p < end && (p = static_cast<uint8_t*>(std::memchr(p, from, static_cast<size_t>(end - p)))))
        *p++ = to;
}

void ConvertNameForm(CZipEntryHeader& header, bool toLocal)
{
    bool oemNames = header.GetSystemId() == ZipFormat::systemDos;
    if (toLocal) {
        ReplaceSlashes(header.fileName, true);
        if (oemNames) ConvertCodePage(header.fileName, false);
    } else {
        if (oemNames) ConvertCodePage(header.fileName, true);
        ReplaceSlashes(header.fileName, false);
    }
}
