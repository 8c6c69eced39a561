#pragma once
#include <cstdint>

#include "archive/ZipExtraField.h"

class CZipEntryHeader;
class CZipStream;

// A local file header as the stream holds it, read without judging it
// against the central record: where the entry's data starts, and what the
// local copy says of method, flags, CRC and sizes. ZIP64 sizes that fit in
// 32 bits are taken from the local ZIP64 extra field.
struct CZipLocalRecord {
    uint16_t versionNeeded = 0;
    uint16_t flags = 0;
    uint16_t method = 0;
    uint16_t modTime = 0;
    uint16_t modDate = 0;
    uint32_t crc32 = 0;
    uint32_t compressedSize = 0;
    uint32_t uncompressedSize = 0;
    uint16_t nameLength = 0;
    uint16_t extraLength = 0;
    uint64_t dataStart = 0;  // stream position of the first data byte
    // The WinZip AES extra field of a method-99 entry.
    ZipAesInfo aes;
    bool hasAes = false;

    // Reads the record at `position`; false without a local signature or
    // where the stream ends inside the fixed part.
    bool Read(CZipStream& stream, uint64_t position);
    // The fixed part alone, from the 30 bytes of a record at `position`
    // already in memory; false without a local signature.
    bool Parse(const uint8_t* record, uint64_t position);
    // Whether the extra field holds something Read takes from it (ZIP64
    // sizes, the AES field), and reading it.
    bool NeedsExtra() const;
    void ReadExtra(CZipStream& stream, uint64_t position);
    // The central header with what this record says in its place.
    void ApplyTo(CZipEntryHeader& view) const;
};
