#pragma once
// Runs one legacy decoder over a fuzz input laid out as
//   method (1 byte) | flags (u16 LE) | uncompressed size (u32 LE) | raw data
// with the raw data in a memory-backed storage, reading with a buffer size
// the input picks, and checks what the decoder reports against what it
// delivered.
#include <zlib.h>

#include <cstddef>
#include <cstdint>
#include <vector>

#include "archive/ZipEntryHeader.h"
#include "decoders/ZipCrypto.h"
#include "decoders/ZipDecoder.h"
#include "errors/ZipException.h"
#include "storage/ZipMemStream.h"
#include "storage/ZipStore.h"

namespace lzwfuzz {

// A bomb may claim 4 GiB: bound the work per input.
constexpr uint64_t kMaxOutput = 1u << 20;

inline void Run(CZipDecoder& decoder, const uint8_t* data, size_t size)
{
    if (size < 7 || size > (4u << 20)) return;
    const uint16_t flags = static_cast<uint16_t>(data[1] | (data[2] << 8));
    const uint32_t declared = static_cast<uint32_t>(data[3]) | (static_cast<uint32_t>(data[4]) << 8) |
                              (static_cast<uint32_t>(data[5]) << 16) | (static_cast<uint32_t>(data[6]) << 24);
    const uint32_t rawSize = static_cast<uint32_t>(size - 7);

    CZipMemStream stream(65536);
    if (rawSize > 0) stream.Write(data + 7, rawSize);
    CZipStore store;
    store.OpenStream(&stream, CZipStore::openReadOnly);
    CZipEntryHeader header;
    header.flags = flags;
    header.compressedSize = rawSize;
    header.uncompressedSize = declared;
    uint32_t keys[3];
    static const uint8_t kPassword[] = {'f', 'u', 'z', 'z'};
    ZipCrypto::InitKeys(keys, kPassword, sizeof kPassword);

    // Buffer sizes that end inside strings and matches, and whole windows.
    static const uint32_t kChunks[] = {65536, 1, 7, 16384, 333, 8191, 2, 4096};
    // Tiny reads over the large seeds would only slow the search down.
    const uint32_t pick = kChunks[(flags >> 12) & 7];
    const uint32_t chunk = rawSize > 65536 && pick < 4096 ? 65536 : pick;
    std::vector<uint8_t> buffer(chunk);
    try {
        decoder.Init(&store, &header, keys);
        uint64_t total = 0;
        uint32_t crc = 0;
        for (;;) {
            const uint32_t n = decoder.Read(buffer.data(), chunk);
            if (n > chunk) __builtin_trap();
            crc = static_cast<uint32_t>(crc32(crc, buffer.data(), n));
            total += n;
            if (total > declared) __builtin_trap();
            if (decoder.UncompressedLeft() != declared - total) __builtin_trap();
            if (decoder.Crc() != crc) __builtin_trap();
            if (n < chunk || total > kMaxOutput) break;
        }
        // A finished decoder stays finished.
        if (total <= kMaxOutput && decoder.Read(buffer.data(), chunk) != 0) __builtin_trap();
        decoder.End();
    } catch (const CZipException&) {
    }
}

} // namespace lzwfuzz
