#include "archive/ZipEntryHeader.h"

#include <cstring>

#include "archive/ZipConstants.h"
#include "archive/ZipExtraField.h"
#include "archive/ZipRecordReader.h"
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
// come back separately. The reader must hold the whole fixed part. Inline, so
// that a reader of constant size costs no bounds checks.
inline void TakeCentralFields(CZipEntryHeader& h, CZipRecordReader& r, uint16_t& nameLength,
                       uint16_t& extraLength, uint16_t& commentLength)
{
    std::memcpy(h.signature, r.Bytes(4), 4);
    h.versionMadeBy = r.U16();
    h.versionNeeded = r.U16();
    h.flags = r.U16();
    h.method = r.U16();
    h.modTime = r.U16();
    h.modDate = r.U16();
    h.crc32 = r.U32();
    h.compressedSize = r.U32();
    h.uncompressedSize = r.U32();
    nameLength = r.U16();
    extraLength = r.U16();
    commentLength = r.U16();
    h.diskStart = r.U16();
    h.internalAttributes = r.U16();
    h.externalAttributes = r.U32();
    h.localHeaderOffset = r.U32();
}

// A reader over the data of the ZIP64 extra block within an extra field;
// false without one.
bool FindZip64Block(const CZipBuffer& extra, CZipRecordReader& block)
{
    return ZipFindExtraBlock(extra.data(), extra.length(), zip64ExtraId, block);
}

// The sizes a local header gives (compressed, uncompressed). Those stored
// as all ones are replaced by the values of the local ZIP64 block where
// they fit.
void TakeLocalZip64Sizes(uint32_t& storedCompressed, uint32_t& storedUncompressed, const CZipBuffer& extra)
{
    CZipRecordReader block(nullptr, 0);
    if (!FindZip64Block(extra, block)) return;
    const bool compressedMarked = storedCompressed == zip64Marker32;
    const bool uncompressedMarked = storedUncompressed == zip64Marker32;
    uint64_t compressed = storedCompressed, uncompressed = storedUncompressed;
    if (block.Remaining() >= 16) {
        // A local block is meant to hold both sizes, whichever is marked.
        const uint64_t first = block.U64();
        const uint64_t second = block.U64();
        if (uncompressedMarked) uncompressed = first;
        if (compressedMarked) compressed = second;
    } else {
        // Some writers keep only the marked ones, in order.
        if (uncompressedMarked && block.Remaining() >= 8) uncompressed = block.U64();
        if (compressedMarked && block.Remaining() >= 8) compressed = block.U64();
    }
    // Sizes beyond 32 bits leave both as stored.
    if (compressed > maxField32 || uncompressed > maxField32) return;
    storedCompressed = static_cast<uint32_t>(compressed);
    storedUncompressed = static_cast<uint32_t>(uncompressed);
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
    CZipRecordReader r(fixed, centralRecordSize);
    uint16_t nameLength, extraLength, commentLength;
    TakeCentralFields(*this, r, nameLength, extraLength, commentLength);
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
    // The fixed part through a reader of its own exact size, the rest
    // through one over what follows.
    CZipRecordReader fixed(bytes, centralRecordSize);
    uint16_t nameLength, extraLength, commentLength;
    TakeCentralFields(*this, fixed, nameLength, extraLength, commentLength);
    if (!HasSignature(signature, centralSignature)) return -1;
    CZipRecordReader r(bytes + centralRecordSize, available - centralRecordSize);
    const uint8_t* name = r.Bytes(nameLength);
    const uint8_t* extra = r.Bytes(extraLength);
    const uint8_t* text = r.Bytes(commentLength);
    if (!r.Ok()) return 0;

    fileName.Assign(name, nameLength);
    if (extraLength) extraField.Assign(extra, extraLength);
    if (commentLength) comment.Assign(text, commentLength);
    return static_cast<int32_t>(available - r.Remaining());
}

namespace {

// The fields the central and the local record share, in their common order.
void WriteSharedFields(const CZipEntryHeader& h, CZipRecordWriter& w)
{
    w.U16(h.versionNeeded);
    w.U16(h.flags);
    w.U16(h.method);
    w.U16(h.modTime);
    w.U16(h.modDate);
    w.U32(h.crc32);
    w.U32(h.compressedSize);
    w.U32(h.uncompressedSize);
    w.U16(Low16(h.fileName));
    w.U16(Low16(h.extraField));
}

} // namespace

uint32_t CZipEntryHeader::WriteCentralRecord(CZipStore& store)
{
    uint32_t size = GetRecordSize(false);
    CZipBuffer record(size);
    CZipRecordWriter w(record.data(), size);
    w.Bytes(signature, 4);
    w.U16(versionMadeBy);
    WriteSharedFields(*this, w);
    w.U16(Low16(comment));
    w.U16(diskStart);
    w.U16(internalAttributes);
    w.U32(externalAttributes);
    w.U32(localHeaderOffset);
    // Only the low 16 bits of each length are recorded, so only that many
    // bytes go out: the record stays self-consistent.
    w.Bytes(fileName.data(), Low16(fileName));
    w.Bytes(extraField.data(), Low16(extraField));
    w.Bytes(comment.data(), Low16(comment));
    store.Write(record.data(), size, true);
    return size;
}

void CZipEntryHeader::WriteLocalRecord(CZipStore& store)
{
    uint32_t size = GetRecordSize(true);
    CZipBuffer record(size);
    CZipRecordWriter w(record.data(), size);
    w.Bytes(localSignature, 4);
    WriteSharedFields(*this, w);
    w.Bytes(fileName.data(), Low16(fileName));
    w.Bytes(extraField.data(), Low16(extraField));
    store.Write(record.data(), size, true);

    // The extra field goes into the local header only.
    extraField.Release();
    diskStart = static_cast<uint16_t>(store.currentVolume);
    localHeaderOffset =
        static_cast<uint32_t>(store.stream->GetPosition()) + store.bufferedBytes - size;
}

bool CZipEntryHeader::VerifyLocalRecord(CZipStore& store, uint16_t& localExtraLength, bool* signatureFound)
{
    uint8_t fixed[localRecordSize];
    store.Read(fixed, localRecordSize, true);
    CZipRecordReader r(fixed, localRecordSize);
    const bool signature = r.Signature(localSignature);
    if (signatureFound) *signatureFound = signature;
    if (!signature) return false;
    r.Skip(2);  // version needed
    const uint16_t localFlags = r.U16();
    if ((localFlags ^ flags) & flagsChecked) return false;
    if (r.U16() != method) return false;
    r.Skip(4);  // time and date
    const uint32_t localCrc = r.U32();
    uint32_t localCompressed = r.U32();
    uint32_t localUncompressed = r.U32();
    const uint16_t nameLength = r.U16();
    if (nameLength != Low16(fileName)) return false;
    localExtraLength = r.U16();
    store.stream->Seek(nameLength, CZipStream::current);
    if (!(localFlags & flagDataDescriptor)) {
        // Sizes marked as all ones are in the ZIP64 extra field (zip writes
        // them so whenever it reads from a pipe). The extra field is read
        // here and left in the stream for the caller.
        if (localExtraLength && (localCompressed == zip64Marker32 || localUncompressed == zip64Marker32)) {
            CZipBuffer extra(localExtraLength);
            store.Read(extra.data(), localExtraLength, true);
            store.stream->Seek(-static_cast<int64_t>(localExtraLength), CZipStream::current);
            TakeLocalZip64Sizes(localCompressed, localUncompressed, extra);
        }
        if (localCrc != crc32 || localCompressed != compressedSize || localUncompressed != uncompressedSize)
            return false;
    }
    return true;
}

void CZipEntryHeader::TakeZip64Values()
{
    if (uncompressedSize != zip64Marker32 && compressedSize != zip64Marker32 &&
        localHeaderOffset != zip64Marker32 && diskStart != zip64Marker16)
        return;
    CZipRecordReader block(nullptr, 0);
    if (!FindZip64Block(extraField, block)) return;
    // Only the marked fields are in the block, in record order. An entry
    // with any value beyond 32 bits keeps every field as stored.
    uint32_t values[3] = {uncompressedSize, compressedSize, localHeaderOffset};
    for (uint32_t& value : values) {
        if (value != zip64Marker32 || block.Remaining() < 8) continue;
        const uint64_t wide = block.U64();
        if (wide > maxField32) return;
        value = static_cast<uint32_t>(wide);
    }
    uint32_t disk = diskStart;
    if (disk == zip64Marker16 && block.Remaining() >= 4) {
        disk = block.U32();
        if (disk > zip64Marker16) return;
    }
    uncompressedSize = values[0];
    compressedSize = values[1];
    localHeaderOffset = values[2];
    diskStart = static_cast<uint16_t>(disk);
}

bool CZipEntryHeader::CompareDescriptor(const uint8_t* bytes, bool zip64Sizes) const
{
    CZipRecordReader r(bytes, zip64Sizes ? zip64DescriptorSize : descriptorSize);
    const uint32_t crc = r.U32();
    const uint64_t compressed = zip64Sizes ? r.U64() : r.U32();
    const uint64_t uncompressed = zip64Sizes ? r.U64() : r.U32();
    return crc == crc32 && compressed == compressedSize && uncompressed == uncompressedSize;
}

void CZipEntryHeader::StoreDescriptor(uint8_t* destination) const
{
    CZipRecordWriter w(destination, descriptorSize);
    w.U32(crc32);
    w.U32(compressedSize);
    w.U32(uncompressedSize);
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

uint32_t ZipCentralRecordSize(const uint8_t* fixed)
{
    CZipRecordReader r(fixed, centralRecordSize);
    if (!r.Signature(centralSignature)) return 0;
    r.Skip(24);  // versions, flags, method, time, date, CRC-32 and sizes
    const uint32_t nameLength = r.U16();
    const uint32_t extraLength = r.U16();
    const uint32_t commentLength = r.U16();
    return centralRecordSize + nameLength + extraLength + commentLength;
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
        if (oemNames) ConvertCodePage(header.fileName.data(), header.fileName.length(), false);
    } else {
        if (oemNames) ConvertCodePage(header.fileName.data(), header.fileName.length(), true);
        ReplaceSlashes(header.fileName, false);
    }
}
