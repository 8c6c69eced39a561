#pragma once
#include <cstdint>

// The fixed values of the ZIP format itself: record signatures and sizes,
// flag bits, method numbers, system ids and attribute bits. Nothing here
// is a choice of this module, so a host that reads archives through the
// module's listing (zipscan) may include this header; the engine's own
// settings stay in ZipConstants.h.
namespace ZipFormat {

// Record signatures, as stored (little-endian 0x04034B50 and so on).
constexpr uint8_t localSignature[4] = {0x50, 0x4B, 0x03, 0x04};
constexpr uint8_t centralSignature[4] = {0x50, 0x4B, 0x01, 0x02};
constexpr uint8_t endSignature[4] = {0x50, 0x4B, 0x05, 0x06};
// Optional lead of a data descriptor, also the marker that opens the first
// volume of a spanned archive.
constexpr uint8_t descriptorSignature[4] = {0x50, 0x4B, 0x07, 0x08};
// ZIP64 end record and its locator, which some writers put in front of the
// end record even when every value fits the 32-bit fields.
constexpr uint8_t zip64EndSignature[4] = {0x50, 0x4B, 0x06, 0x06};
constexpr uint8_t zip64LocatorSignature[4] = {0x50, 0x4B, 0x06, 0x07};

// Fixed record sizes.
constexpr uint32_t localRecordSize = 30;
constexpr uint32_t centralRecordSize = 46;
constexpr uint32_t endRecordSize = 22;
constexpr uint32_t descriptorSize = 12;
constexpr uint32_t descriptorSignatureSize = 4;
constexpr uint32_t spanMarkerSize = 4;
constexpr uint32_t encryptionHeaderSize = 12;
constexpr uint32_t zip64EndRecordSize = 56;      // without extensible data
constexpr uint32_t zip64EndRecordTail = 12;      // signature and size field,
                                                 // which the size does not count
constexpr uint32_t zip64LocatorSize = 20;
constexpr uint32_t zip64DescriptorSize = 20;     // CRC-32, then 8-byte sizes

// A field holding all ones stands for a value in the ZIP64 extended
// information extra field (id 0x0001), in this order: uncompressed size,
// compressed size, local header offset (8 bytes each), disk number (4).
constexpr uint16_t zip64ExtraId = 0x0001;
// WinZip AES extra field: vendor version (1 AE-1, 2 AE-2), vendor id "AE",
// key strength (1, 2, 3: 128, 192, 256 bits), the real method.
constexpr uint16_t aesExtraId = 0x9901;
constexpr uint16_t aesExtraSize = 7;
constexpr uint32_t zip64Marker32 = 0xFFFFFFFF;
constexpr uint16_t zip64Marker16 = 0xFFFF;

// Field offsets inside the local file header.
constexpr uint32_t localFlagsOffset = 6;
constexpr uint32_t localDescriptorOffset = 14;  // CRC-32, then both sizes

// General purpose flag bits.
constexpr uint16_t flagEncrypted = 0x0001;
constexpr uint16_t flagDeflateOptions = 0x0006;
constexpr uint16_t flagLzmaEndMarker = 0x0002;  // LZMA data ends with an end marker
constexpr uint16_t flagDataDescriptor = 0x0008;
constexpr uint16_t flagsChecked = 0x000F;  // bits a local header must repeat
constexpr uint16_t flagUtf8Name = 0x0800;  // name and comment are UTF-8

// Compression methods.
constexpr uint16_t methodStored = 0;
constexpr uint16_t methodShrunk = 1;
constexpr uint16_t methodReduced1 = 2;
constexpr uint16_t methodReduced2 = 3;
constexpr uint16_t methodReduced3 = 4;
constexpr uint16_t methodReduced4 = 5;
constexpr uint16_t methodImploded = 6;
constexpr uint16_t methodTokenized = 7;
constexpr uint16_t methodDeflated = 8;
constexpr uint16_t methodDeflate64 = 9;
constexpr uint16_t methodPkImplode = 10;
// Methods of later archivers, read where the build has their library.
constexpr uint16_t methodBzip2 = 12;
constexpr uint16_t methodLzma = 14;
constexpr uint16_t methodZstd = 93;
constexpr uint16_t methodXz = 95;
constexpr uint16_t methodPpmd = 98;
// WinZip AES: the real method is in the 0x9901 extra field.
constexpr uint16_t methodAes = 99;

// Host system ids (high byte of "version made by").
constexpr uint8_t systemDos = 0;
constexpr uint8_t systemUnix = 3;
constexpr uint8_t systemOs2 = 6;
constexpr uint8_t systemMac = 7;
constexpr uint8_t systemNtfs = 10;

// Attribute words for entries without usable attributes: Unix mode in the
// high half, MS-DOS bits in the low half.
constexpr uint32_t directoryAttributes = 0x41FF0010;
constexpr uint32_t fileAttributes = 0x81A40020;
constexpr uint32_t dosDirectoryBit = 0x10;

} // namespace ZipFormat
