#pragma once
// Archives written record by record, so that a test gets exactly the archive
// it needs, damaged or hostile ones included, and knows where each record
// went; and the little-endian fields a test reads or patches in an image.
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

using Bytes = std::vector<uint8_t>;

// An entry's bytes, written as text or as bytes.
struct ZipBytes : Bytes {
    ZipBytes() = default;
    ZipBytes(Bytes bytes) : Bytes(std::move(bytes)) {}
    ZipBytes(const std::string& text) : Bytes(text.begin(), text.end()) {}
    ZipBytes(const char* text) : ZipBytes(std::string(text)) {}
};

// One entry as its two records say it. Every record holds version 10 needed
// to extract and the time 12:00 of 2025-01-01 (the time's high byte, 0x60,
// is the check byte of an encrypted entry with a data descriptor).
struct ZipEntrySpec {
    std::string name{};
    ZipBytes data{};                // what follows the local header, as it is
    uint16_t versionMadeBy = 20;    // system id in the high byte
    uint32_t externalAttributes = 0;
    std::string comment{};
    uint16_t method = 0;
    uint16_t flags = 0;
    // What both records say; unset, what holds for stored data: the CRC-32
    // and the size of data.
    std::optional<uint32_t> crc{}, compressedSize{}, uncompressedSize{};
    // Where the local header says otherwise than the central record.
    std::optional<uint16_t> localMethod{}, localFlags{};
    std::optional<uint32_t> localCompressedSize{}, localUncompressedSize{};
    ZipBytes extra{};               // in both records
    std::optional<ZipBytes> localExtra{};  // where the local header's differs
    bool descriptor = false;        // a signed data descriptor follows the data
    bool unlisted = false;          // no central record lists the entry
};

struct ZipBuildOptions {
    Bytes prefix;                      // foreign bytes in front of the archive
    // Whether the records' offsets count the prefix, as in a self-extractor
    // adjusted to its stub; else they count from the first local header.
    bool offsetsCountPrefix = false;
    std::string comment;               // the archive's comment
    std::vector<size_t> centralOrder;  // order of the central records (default: entry order)
};

// A built archive and where its records went.
struct ZipLayout {
    Bytes bytes;
    std::vector<uint32_t> localOffsets;    // in entry order, from the first local header
    std::vector<uint32_t> centralOffsets;  // image offsets, in central order
    uint32_t directoryOffset = 0;          // image offset
    uint32_t endOffset = 0;                // image offset of the end record
};

ZipLayout BuildZip(const std::vector<ZipEntrySpec>& entries, const ZipBuildOptions& options = {});
// count stored entries named like "dir/f00001.txt", each holding a few bytes.
ZipLayout BuildMany(uint32_t count);

// An archive without a comment, framed as ZIP64: a ZIP64 end record (giving
// `count` entries, or the end record's count when 0) and its locator go in
// front of the end record, whose count, size and offset become all ones and
// whose disk number becomes `disk`.
Bytes Zip64Framed(Bytes archive, uint16_t disk = 0, uint64_t count = 0);

// Little-endian fields inside an image; out of range throws.
void Put16(Bytes& image, size_t at, uint16_t value);
void Put32(Bytes& image, size_t at, uint32_t value);
uint16_t Get16(const Bytes& image, size_t at);
uint32_t Get32(const Bytes& image, size_t at);
