#pragma once
// Helpers of the entry-reading tests: deterministic data, digests, and
// record patching for damaged input.
#include <cstdint>
#include <string>

#include "support/zip_builder.h"

namespace reading {

// sha256 of a file as lower-case hex ("" when it cannot be read).
std::string Sha256OfFile(const std::string& path);

// Deterministic test data: text-like (compresses well) or random-like.
Bytes MakeText(uint32_t size, uint32_t seed);
Bytes MakeNoise(uint32_t size, uint32_t seed);

// The records of one entry inside an archive image, for patching.
struct EntryRecords {
    uint32_t central = 0;  // offset of the central record
    uint32_t local = 0;    // offset of the local header
    uint32_t data = 0;     // offset of the entry's data
    uint32_t compressedSize = 0;
};
// The entry at central position index (archive order of the directory).
EntryRecords FindEntry(const Bytes& image, uint32_t index);
// Writes a value into the same field of both headers of an entry: field
// offsets are those of the local header (method 8, CRC 14, sizes 18, 22);
// the central header has the same field 2 bytes further on.
void PatchBoth16(Bytes& image, const EntryRecords& e, uint32_t localOffset, uint16_t value);
void PatchBoth32(Bytes& image, const EntryRecords& e, uint32_t localOffset, uint32_t value);

} // namespace reading
