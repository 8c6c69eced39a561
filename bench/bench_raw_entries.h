#pragma once
// Entries as their archive holds them (the test kit's raw-entry reader),
// and their compressed bytes decoded from memory by the method's decoder
// alone, with no archive around it, as fast as it goes.
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "archive/ZipConstants.h"
#include "archive/ZipEntryHeader.h"
#include "archive/ZipLocalRecord.h"
#include "decoders/ZipArchiveEx.h"
#include "errors/ZipException.h"
#include "storage/ZipMemStream.h"
#include "storage/ZipStore.h"
#include "support/raw_entries.h"

namespace bench {

using raw::RawEntry;
using raw::ReadRawEntries;

struct Decoded {
    uint64_t size = 0;
    uint32_t crc = 0;
};

// Decodes an unencrypted entry's bytes from memory through its method's
// decoder, a buffer at a time, appending what comes out to `keep` when
// given; the size and CRC-32 of the output.
inline Decoded DecodeRaw(const RawEntry& e, std::vector<uint8_t>& buffer, std::vector<uint8_t>* keep = nullptr)
{
    CZipMemStream stream(65536);
    stream.Write(e.data.data(), static_cast<uint32_t>(e.data.size()));
    CZipStore store;
    store.OpenStream(&stream, CZipStore::openReadOnly);
    CZipEntryHeader header;
    header.method = e.method;
    header.flags = e.flags;
    header.compressedSize = static_cast<uint32_t>(e.data.size());
    header.uncompressedSize = e.uncompressedSize;
    uint32_t keys[3] = {};
    Decoded out;
    const std::unique_ptr<CZipDecoder> decoder = ZipMakeDecoder(e.method);
    if (!decoder || !decoder->Init(&store, &header, keys)) return out;
    for (;;) {
        const uint32_t n = decoder->Read(buffer.data(), static_cast<uint32_t>(buffer.size()));
        if (keep) keep->insert(keep->end(), buffer.begin(), buffer.begin() + n);
        out.size += n;
        if (n < buffer.size()) break;
    }
    decoder->End();
    out.crc = decoder->Crc();
    return out;
}

} // namespace bench
