#pragma once
#include <cstdint>

// Every fixed value of the ZIP format as this module reads and writes it:
// record signatures and sizes, flag bits, method numbers, system ids and the
// fixed settings of the archive engine. Other subsystems append here.
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

// The end record plus the longest comment: how far from the end the end
// record can start.
constexpr uint32_t maxCommentLength = 0xFFFF;
constexpr uint32_t endSearchWindow = endRecordSize + maxCommentLength;  // 65557
constexpr int defaultSearchBufferSize = 32768;
constexpr int minSearchBufferSize = 1024;
// End records that give no directory give way to the ones in front of them,
// over the whole stream; what their comments and directories cost together
// is bounded by this many times the stream's length, plus the fixed part.
constexpr uint64_t endSearchWorkFactor = 4;
constexpr uint64_t endSearchWorkFixed = 16u << 20;
// The central directory is read and parsed in pieces of this size.
constexpr uint32_t directoryPieceSize = 65536;

// The 16-bit length and count fields.
constexpr uint32_t maxFieldLength = 0xFFFF;
constexpr uint32_t maxEntries = 0xFFFF;
// The largest value of a 32-bit field: an offset or size beyond it is more
// than the engine's fields hold.
constexpr uint64_t maxField32 = 0xFFFFFFFF;

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

// Versions written into new entries.
constexpr uint8_t versionMadeBy = 20;
constexpr uint16_t versionNeededFile = 20;
constexpr uint16_t versionNeededDirectory = 10;

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

// Buffers of the archive engine.
constexpr uint32_t transferBufferSize = 65536;
constexpr uint32_t writeBufferSize = 65536;

// Progress callback kinds, one bit each.
enum CallbackKind : int {
    callbackAdd = 0x0001,
    callbackAddTest = 0x0002,
    callbackAddTemp = 0x0004,
    callbackExtract = 0x0008,
    callbackDeleteList = 0x0010,
    callbackDelete = 0x0020,
    callbackTest = 0x0040,
    callbackSave = 0x0080,
    callbackGet = 0x0100,
    callbackRename = 0x0200,
    callbackMoveData = 0x0400,
    callbackAll = 0x07FF,
};
// How often the directory writer reports progress (entries).
constexpr uint32_t directoryCallbackStep = 256;

// Little-endian fields patched into record images in place. Records are
// read through CZipRecordReader (ZipRecordReader.h), which stays inside
// the bytes it is given.
inline void PutU16(uint8_t* p, uint16_t v)
{
    p[0] = static_cast<uint8_t>(v);
    p[1] = static_cast<uint8_t>(v >> 8);
}
inline void PutU32(uint8_t* p, uint32_t v)
{
    p[0] = static_cast<uint8_t>(v);
    p[1] = static_cast<uint8_t>(v >> 8);
    p[2] = static_cast<uint8_t>(v >> 16);
    p[3] = static_cast<uint8_t>(v >> 24);
}
inline bool HasSignature(const uint8_t* p, const uint8_t (&signature)[4])
{
    return p[0] == signature[0] && p[1] == signature[1] && p[2] == signature[2] &&
           p[3] == signature[3];
}

} // namespace ZipFormat
