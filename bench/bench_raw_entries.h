#pragma once
// Entries as their archive holds them, found through the module's own
// archive reader, and their compressed bytes decoded from memory by the
// method's decoder alone, with no archive around it.
#include <cstdint>
#include <fstream>
#include <functional>
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

namespace bench {

struct RawEntry {
    std::string name;
    uint16_t method = 0;
    uint16_t flags = 0;
    uint32_t crc = 0;
    uint32_t size = 0;          // uncompressed
    uint64_t dataStart = 0;     // file position of the compressed bytes
    std::vector<uint8_t> data;  // the compressed bytes
};

// The entries of an archive file that `want` takes (all when none is
// given), in directory order: the central record's fields and the bytes
// from where the local header puts them. An entry whose bytes the file
// does not hold is left out, and so is every entry of an archive the
// module cannot open.
inline std::vector<RawEntry> ReadRawEntries(const std::string& path,
                                            const std::function<bool(const CZipEntryHeader&)>& want = {})
{
    std::vector<RawEntry> out;
    std::ifstream in(path, std::ios::binary);
    try {
        CZipArchiveEx zip;
        zip.Open(path.c_str(), CZipArchive::openReadOnly);
        for (int i = 0; i < zip.GetCount(); ++i) {
            CZipEntryHeader header;
            CZipLocalRecord local;
            if (!zip.GetFileInfo(header, i) || (want && !want(header)) ||
                !zip.ReadLocalRecord(static_cast<uint16_t>(i), local))
                continue;
            RawEntry e{header.NameAsString(), header.method, header.flags, header.crc32,
                       header.uncompressedSize, local.dataStart, std::vector<uint8_t>(header.compressedSize)};
            in.clear();
            in.seekg(static_cast<std::streamoff>(local.dataStart));
            if (in.read(reinterpret_cast<char*>(e.data.data()), static_cast<std::streamsize>(e.data.size())))
                out.push_back(std::move(e));
        }
    } catch (const CZipException&) {
        out.clear();
    }
    return out;
}

// The unencrypted entries of one method.
inline std::vector<RawEntry> ReadRawEntries(const std::string& path, uint16_t method)
{
    return ReadRawEntries(path, [method](const CZipEntryHeader& h) { return h.method == method && !(h.flags & 1u); });
}

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
    header.uncompressedSize = e.size;
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
