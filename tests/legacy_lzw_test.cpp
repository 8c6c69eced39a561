// Unshrink (method 1) and unreduce (methods 2 to 5): real archives from the
// corpus and from hand-made streams, decoded directly and through the
// archive's extraction loops.
#include <gtest/gtest.h>

#include <zlib.h>

#include <map>
#include <string>
#include <vector>

#include "support/lzw_raw.h"

namespace {

const std::string kCorpus = ZIPEXT_CORPUS_DIR;

const lzw::RawEntry* FindEntry(const std::vector<lzw::RawEntry>& entries, const std::string& name)
{
    for (const auto& e : entries)
        if (e.name == name) return &e;
    return nullptr;
}

// Every corpus entry of methods 1 to 5, decoded straight from its raw bytes
// with caller buffers that end inside strings and matches.
TEST(LegacyLzwRaw, CorpusEntriesDecodeExactly)
{
    const auto rows = lzw::ManifestRows(kCorpus, 1, 5);
    ASSERT_GE(rows.size(), 30u);
    std::map<std::string, std::vector<lzw::RawEntry>> archives;
    for (const auto& row : rows) {
        if (!archives.count(row.archive)) archives[row.archive] = lzw::ReadRawEntries(kCorpus + "/" + row.archive);
        const lzw::RawEntry* e = FindEntry(archives[row.archive], row.entry);
        ASSERT_NE(e, nullptr) << row.archive << ": " << row.entry;
        for (uint32_t size : {1u, 7u, 16384u, 65536u}) {
            SCOPED_TRACE(row.archive + ": " + row.entry + " buffer " + std::to_string(size));
            const auto r = lzw::DecodeRaw(e->method, e->flags, e->uncompressedSize, e->data, size);
            EXPECT_EQ(r.bytes.size(), row.usize);
            EXPECT_EQ(lzw::Sha256Hex(r.bytes), row.sha256);
            EXPECT_EQ(r.crc, e->crc32);
            EXPECT_EQ(r.uncompressedLeft, 0u);
        }
    }
}

} // namespace
