#pragma once
#include <cstddef>
#include <cstdint>

// CRC-32 of the ZIP format (reflected, as zlib's crc32), carried on from
// `crc` over the bytes: ISA-L's carry-less multiplication where the build
// has it, zlib's elsewhere. Every checksum of entry data goes through here.
uint32_t ZipCrc32(uint32_t crc, const uint8_t* bytes, size_t length);
