#pragma once
// Helpers for driving the decoders directly: the raw entries of a ZIP file
// (raw_entries.h), a decoder run over raw bytes held
// in memory, and SHA-256 for comparing with the corpus manifest.
#include <cstdint>
#include <string>
#include <vector>

#include "support/memory_archive.h"
#include "support/raw_entries.h"

class CZipDecoder;

namespace lzw {

using raw::RawEntry;
using raw::ReadRawEntries;

struct DecodeResult {
    std::vector<uint8_t> bytes;
    uint32_t crc = 0;
    uint32_t uncompressedLeft = 0;
    bool initOk = false;
    uint32_t reads = 0;
    int code = 0;  // the code of an exception the decoder threw, 0 when none
    bool damaged = false;  // the decoder's Damaged() at the end
};

// Runs the decoder of `method` (any the module has) over the raw bytes, reading with
// the sizes of `pattern` in turn until a read comes back short (or maxReads
// reads were made, or the decoder threw). An empty result when there is no
// such decoder.
DecodeResult DecodeRaw(uint16_t method, uint16_t flags, uint32_t uncompressedSize,
                       const std::vector<uint8_t>& data, const std::vector<uint32_t>& pattern,
                       uint32_t maxReads = 0xFFFFFFFFu);
inline DecodeResult DecodeRaw(uint16_t method, uint16_t flags, uint32_t uncompressedSize,
                              const std::vector<uint8_t>& data, uint32_t bufferSize,
                              uint32_t maxReads = 0xFFFFFFFFu)
{
    return DecodeRaw(method, flags, uncompressedSize, data, std::vector<uint32_t>{bufferSize}, maxReads);
}

// A ZIP image of the given entries (each entry's data as it goes into the
// archive, encryption header included when flags bit 0 is set).
std::vector<uint8_t> BuildZip(const std::vector<RawEntry>& entries);
// The entry's data encrypted with the traditional scheme: 12-byte header
// (check byte = high byte of the CRC) plus the encrypted data; flags get
// bit 0.
RawEntry Encrypt(const RawEntry& entry, const std::string& password);

// Bits least significant first, as the legacy methods pack them.
class BitWriter {
public:
    void Put(uint32_t value, uint32_t n);
    std::vector<uint8_t> Finish() const;  // the last byte padded with zeros
    uint64_t BitCount() const { return bitCount; }

private:
    std::vector<uint8_t> bytes;
    uint64_t bitCount = 0;
};

uint32_t Crc32(const std::vector<uint8_t>& v);

std::string Sha256Hex(const uint8_t* bytes, size_t n);
inline std::string Sha256Hex(const std::vector<uint8_t>& v) { return Sha256Hex(v.data(), v.size()); }

struct ManifestRow {
    std::string archive, entry, sha256, password;
    uint16_t method = 0;
    uint32_t usize = 0;
};
// The manifest rows whose method lies in [low, high].
std::vector<ManifestRow> ManifestRows(const std::string& corpusDir, uint16_t low, uint16_t high);

} // namespace lzw
