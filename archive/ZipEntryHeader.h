#pragma once
#include <cstdint>
#include <ctime>
#include <string>

#include "storage/ZipBuffer.h"

class CZipStore;

// One entry's central directory record in memory. The name is held in local
// form (backslash separators, ANSI code page) and converted to archive form
// only when a record is written or read.
class CZipEntryHeader {
public:
    CZipEntryHeader();
    CZipEntryHeader(const CZipEntryHeader&) = default;
    CZipEntryHeader& operator=(const CZipEntryHeader&) = default;
    virtual ~CZipEntryHeader();

    bool ReadCentralRecord(CZipStore& store);
    // The same from a memory image of the directory: the record's size when
    // it lies whole within the available bytes, 0 when it does not, -1 for a
    // wrong signature.
    int32_t ParseCentralRecord(const uint8_t* bytes, uint32_t available);
    uint32_t WriteCentralRecord(CZipStore& store);
    void WriteLocalRecord(CZipStore& store);
    // signatureFound, when given, tells a missing local header from one that
    // disagrees.
    bool VerifyLocalRecord(CZipStore& store, uint16_t& localExtraLength, bool* signatureFound = nullptr);
    // Fields of the central record stored as all ones take their values
    // from the ZIP64 extra field where it holds them and they fit 32 bits;
    // the others stay as stored.
    void TakeZip64Values();
    // A data descriptor's CRC-32 and sizes (4-byte sizes, or with
    // zip64Sizes the 8-byte sizes of the ZIP64 form) against this header.
    bool CompareDescriptor(const uint8_t* bytes, bool zip64Sizes = false) const;
    void StoreDescriptor(uint8_t* destination) const;
    uint32_t GetRecordSize(bool local) const;
    time_t GetModificationTime() const;
    void SetModificationTime(time_t when);
    bool AssignName(const char* name);
    bool AssignComment(const char* text);
    std::string NameAsString() const;
    std::string CommentAsString() const;
    void SetVersion(uint8_t version);
    uint8_t GetSystemId() const;
    uint32_t LocalAttributes() const;
    void StoreLocalAttributes(uint32_t attributes);
    bool IsDirectory() const;
    bool PrepareForAdd(int level, bool dataDescriptor, bool encrypted);

    uint8_t signature[4] = {0, 0, 0, 0};
    uint16_t versionMadeBy = 0;
    uint16_t versionNeeded = 0;
    uint16_t flags = 0;
    uint16_t method = 8;
    uint16_t modTime = 0;
    uint16_t modDate = 0;
    uint32_t crc32 = 0;
    uint32_t compressedSize = 0;
    uint32_t uncompressedSize = 0;
    uint16_t diskStart = 0;
    uint16_t internalAttributes = 0;
    uint32_t externalAttributes = 0;
    uint32_t localHeaderOffset = 0;
    CZipBuffer extraField;
    CZipBuffer fileName;
    // The name exactly as the central record stores it (archive form, no
    // code page conversion), where that is known: taken by an edit from the
    // directory it keeps, or given to an entry added under a stored name.
    // A directory written anew takes these bytes as they stand; empty: the
    // name is converted from fileName.
    CZipBuffer storedName;
    CZipBuffer comment;
};

// The whole size of the central record whose fixed part (46 bytes) starts
// at `fixed`, or 0 without a central record signature there.
uint32_t ZipCentralRecordSize(const uint8_t* fixed);
void ConvertNameForm(CZipEntryHeader& header, bool toLocal);
void ReplaceSlashes(CZipBuffer& buffer, bool toBackslash);
