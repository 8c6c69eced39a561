#pragma once
// Shared by the decoder fuzz targets: splits an input laid out as
//   method (1 byte) | flags (u16 LE) | uncompressed size (u32 LE) | raw data
// and runs one decoder over the raw data held in a memory-backed storage.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <vector>

#include "archive/ZipEntryHeader.h"
#include "decoders/ZipCrypto.h"
#include "decoders/ZipDecoder.h"
#include "errors/ZipException.h"
#include "storage/ZipMemStream.h"
#include "storage/ZipStore.h"

namespace fuzzinput {

// Keeps one input's work bounded: a bomb may claim up to 4 GiB.
constexpr uint32_t kMaxUncompressed = 16u << 20;

inline void RunDecoder(CZipDecoder& decoder, const uint8_t* data, size_t size)
{
    if (size < 7 || size > (4u << 20)) return;
    const uint16_t flags = static_cast<uint16_t>(data[1] | (data[2] << 8));
    const uint32_t declared = static_cast<uint32_t>(data[3]) | (static_cast<uint32_t>(data[4]) << 8) |
                              (static_cast<uint32_t>(data[5]) << 16) | (static_cast<uint32_t>(data[6]) << 24);
    const uint8_t* raw = data + 7;
    const uint32_t rawSize = static_cast<uint32_t>(size - 7);

    CZipMemStream stream(65536);
    CZipStore store;
    store.OpenStream(&stream, CZipStore::create);
    if (rawSize > 0) stream.Write(raw, rawSize);
    stream.SeekToBegin();

    CZipEntryHeader header;
    header.flags = flags;
    header.compressedSize = rawSize;
    header.uncompressedSize = std::min(declared, kMaxUncompressed);
    uint32_t keys[3];
    static const uint8_t kPassword[] = {'f', 'u', 'z', 'z'};
    ZipCrypto::InitKeys(keys, kPassword, sizeof kPassword);

    // Odd read sizes for inputs whose top flag bit is set.
    const uint32_t chunk = (flags & 0x8000) ? 1 + declared % 5000 : 65536;
    std::vector<uint8_t> buffer(chunk);
    try {
        decoder.Init(&store, &header, keys);
        uint64_t total = 0;
        for (;;) {
            const uint32_t n = decoder.Read(buffer.data(), chunk);
            total += n;
            if (n < chunk || total > kMaxUncompressed) break;
        }
        decoder.End();
    } catch (const CZipException&) {
    }
}

} // namespace fuzzinput
