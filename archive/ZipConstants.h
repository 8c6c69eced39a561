#pragma once
#include <cstdint>

#include "archive/ZipFormatFacts.h"

// The fixed settings of the archive engine: search windows, buffer sizes,
// the versions it writes, progress kinds. The format's own values (record
// signatures and sizes, flag bits, method numbers, system ids) are in
// ZipFormatFacts.h, which hosts may include too. Other subsystems append
// here.
namespace ZipFormat {

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

// Versions written into new entries.
constexpr uint8_t versionMadeBy = 20;
constexpr uint16_t versionNeededFile = 20;
constexpr uint16_t versionNeededDirectory = 10;

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
