// The corpus's entries of every method but stored and deflate (the legacy
// ones, Deflate64, and those of later archivers: bzip2, LZMA, Zstandard,
// xz), one table row a method: decoded directly and through the archive's
// extraction loop, encrypted, damaged and closed early.
#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <string>
#include <vector>

#include "archive/ZipEntryHeader.h"
#include "decoders/ZipArchiveEx.h"
#include "errors/ZipErrorCodes.h"
#include "errors/ZipException.h"
#include "storage/ZipMemStream.h"
#include "support/corpus.h"
#include "support/lzw_raw.h"
#include "support/memory_archive.h"
#include "support/test_platform.h"

namespace {

using Bytes = std::vector<uint8_t>;

const std::string kCorpus = ZIPEXT_CORPUS_DIR;
const char kPassword[] = "Secret#2024";
// Single bytes, sizes that end inside matches, and the window's size.
const uint32_t kBufferSizes[] = {1, 7, 333, 16384, 65536};
// Read patterns for the decoders: the sizes above from `smallest` on, then
// all of them in turn, which ends reads at ever different points.
std::vector<std::vector<uint32_t>> ReadPatterns(uint32_t smallest)
{
    std::vector<std::vector<uint32_t>> patterns;
    for (uint32_t size : kBufferSizes)
        if (size >= smallest) patterns.push_back({size});
    patterns.push_back({1, 7, 16384, 65536, 333});
    return patterns;
}

// One row per method in the corpus (PPMd, 98, has no decoder). The sample
// entry is also encrypted and damaged, and the sample archive's entries of
// the method closed early.
struct MethodRow {
    uint16_t method;
    const char* name;
    uint32_t entries;  // corpus entries with known contents, at least
    // The data carries an end marker, which the decoder follows past the
    // header's size; the others stop there.
    bool endMarker;
    const char* sample;
    const char* entry;
};
void PrintTo(const MethodRow& row, std::ostream* out) { *out << row.name; }
const MethodRow kMethodRows[] = {
    {1, "Shrink", 14, false, "legacy/hwzip-generated/hwzip-shrink-forced.zip", "text200k.txt"},
    {2, "Reduce1", 6, false, "legacy/hwzip-generated/hwzip-reduce1-forced.zip", "text200k.txt"},
    {3, "Reduce2", 6, false, "legacy/hwzip-generated/hwzip-reduce2-forced.zip", "text200k.txt"},
    {4, "Reduce3", 6, false, "legacy/hwzip-generated/hwzip-reduce3-forced.zip", "text200k.txt"},
    {5, "Reduce4", 10, false, "legacy/hwzip-generated/hwzip-reduce4-forced.zip", "text200k.txt"},
    {6, "Implode", 166, false, "legacy/hwzip-generated/hwzip-implode-8k-2trees-forced.zip", "text200k.txt"},
    {9, "Deflate64", 12, true, "deflate64/commons-compress/COMPRESS-380.zip", "input2"},
    {12, "Bzip2", 14, true, "modern-methods/generated/7zz-bzip2.zip", "text200k.txt"},
    {14, "Lzma", 15, true, "modern-methods/generated/7zz-lzma.zip", "text200k.txt"},
    {93, "Zstd", 9, true, "modern-methods/libarchive/test_read_format_zip_zstd_multi.zipx", "smartd.conf"},
    {95, "Xz", 5, true, "modern-methods/libarchive/test_read_format_zip_xz_multi.zipx", "profile"},
};

class CorpusMethods : public ::testing::TestWithParam<MethodRow> {
protected:
    void SetUp() override
    {
        ZIPEXT_NEED_CORPUS();
        if (!ZipReadsMethod(Method()))
            GTEST_SKIP() << GetParam().name << ": this build has no library that reads it";
    }
    uint16_t Method() const { return GetParam().method; }

    // The archives' raw entries, read once.
    static const std::vector<lzw::RawEntry>& Archive(const std::string& name)
    {
        static std::map<std::string, std::vector<lzw::RawEntry>> archives;
        auto it = archives.find(name);
        if (it == archives.end()) it = archives.emplace(name, lzw::ReadRawEntries(kCorpus + "/" + name)).first;
        return it->second;
    }
    static const lzw::RawEntry* Find(const std::string& archive, const std::string& name)
    {
        for (const auto& e : Archive(archive))
            if (e.name == name) return &e;
        return nullptr;
    }
    // The method's entries with known contents.
    std::vector<lzw::ManifestRow> Rows() const
    {
        std::vector<lzw::ManifestRow> rows;
        for (const auto& row : lzw::ManifestRows(kCorpus, Method(), Method()))
            if (row.sha256.size() == 64) rows.push_back(row);
        EXPECT_GE(rows.size(), GetParam().entries);
        return rows;
    }
};

// Every entry straight from its raw bytes: the same bytes as the manifest,
// the decoder's CRC and count of what is left agreeing. Whole windows and
// reads of changing sizes; the archive test below reads every entry with
// each single size, and the same reads here would double the table's time.
TEST_P(CorpusMethods, EveryEntryDecodesToTheManifestBytes)
{
    const auto patterns = ReadPatterns(65536);
    for (const auto& row : Rows()) {
        const lzw::RawEntry* found = Find(row.archive, row.entry);
        ASSERT_NE(found, nullptr) << row.archive << ": " << row.entry;
        const lzw::RawEntry& e = *found;
        if (e.flags & 1u) continue;  // encrypted: through the archive below
        Bytes first;
        for (const auto& pattern : patterns) {
            SCOPED_TRACE(row.archive + ": " + row.entry + " reads of " + std::to_string(pattern[0]));
            const auto r = lzw::DecodeRaw(e.method, e.flags, e.uncompressedSize, e.data, pattern);
            EXPECT_TRUE(r.initOk || e.data.empty());
            EXPECT_EQ(r.code, 0);
            EXPECT_EQ(r.crc, e.crc32);
            EXPECT_EQ(r.uncompressedLeft, 0u);
            // One hash an entry; the other read sizes must give the same bytes.
            if (first.empty()) {
                EXPECT_EQ(lzw::Sha256Hex(r.bytes), row.sha256);
                first = r.bytes;
            } else {
                EXPECT_TRUE(r.bytes == first);
            }
        }
    }
}

// The same entries through the archive's extraction loop (local headers,
// data descriptors, the corpus's own encryption) with every buffer size.
TEST_P(CorpusMethods, EveryEntryExtractsThroughTheArchive)
{
    std::map<std::string, std::map<std::string, lzw::ManifestRow>> archives;  // archive -> entry -> row
    for (const auto& row : Rows()) archives[row.archive][row.entry] = row;
    for (const auto& archive : archives) {
        const Bytes image = ReadWholeFile(kCorpus + "/" + archive.first);
        const std::string& password = archive.second.begin()->second.password;
        std::map<std::string, Bytes> first;
        for (uint32_t size : kBufferSizes) {
            SCOPED_TRACE(archive.first + " buffer " + std::to_string(size));
            for (const auto& x : ExtractAll(image, Method(), size, password == "-" ? nullptr : password.c_str())) {
                const auto want = archive.second.find(x.name);
                if (want == archive.second.end()) continue;
                EXPECT_TRUE(x.result) << x.name << " code " << x.code;
                // One hash an entry; the other sizes must give the same bytes.
                if (size == kBufferSizes[0]) {
                    EXPECT_EQ(lzw::Sha256Hex(x.bytes), want->second.sha256) << x.name;
                    first[x.name] = x.bytes;
                } else {
                    EXPECT_TRUE(x.bytes == first[x.name]) << x.name;
                }
            }
        }
        EXPECT_EQ(first.size(), archive.second.size()) << archive.first;
    }
}

// The sample entry and the method's smallest one behind the traditional
// encryption: the decoder's input must decrypt every byte once, in order.
TEST_P(CorpusMethods, EncryptedEntriesExtract)
{
    const lzw::RawEntry* sample = Find(GetParam().sample, GetParam().entry);
    ASSERT_NE(sample, nullptr);
    const lzw::RawEntry* smallest = sample;
    for (const auto& e : Archive(GetParam().sample))
        if (e.method == Method() && e.uncompressedSize > 0 && e.uncompressedSize < smallest->uncompressedSize)
            smallest = &e;
    std::vector<lzw::RawEntry> plain = {*sample};
    if (smallest != sample) plain.push_back(*smallest);
    std::vector<lzw::RawEntry> encrypted;
    for (const auto& e : plain) encrypted.push_back(lzw::Encrypt(e, kPassword));
    const Bytes image = lzw::BuildZip(encrypted);
    for (uint16_t i = 0; i < encrypted.size(); ++i) {
        for (uint32_t size : {7u, 65536u}) {
            SCOPED_TRACE(plain[i].name + " buffer " + std::to_string(size));
            const auto x = ExtractFromImage(image, i, size, kPassword);
            EXPECT_EQ(x.code, 0);
            EXPECT_TRUE(x.result);
            EXPECT_EQ(lzw::Crc32(x.bytes), plain[i].crc32);
            EXPECT_EQ(x.bytes.size(), plain[i].uncompressedSize);
        }
        EXPECT_EQ(ExtractFromImage(image, i, 65536, "wrong").code, ZipError::badPassword);
    }
}

// Damage and truncation inside a real stream: a clear outcome, never a
// crash or a hang. The decoder, read in whole windows and with every size in
// turn, ends with the damage showing (an error, its damage flag, bytes
// missing or a wrong CRC) and a CRC of exactly what it delivered; a stream
// cut in half delivers less. The archive does not close such an entry with
// success, and reports data that runs past its end as a damaged file.
TEST_P(CorpusMethods, DamagedStreamsEndCleanly)
{
    const lzw::RawEntry* sample = Find(GetParam().sample, GetParam().entry);
    ASSERT_NE(sample, nullptr);
    const lzw::RawEntry& e = *sample;
    ASSERT_GT(e.data.size(), 600u);
    std::vector<std::pair<std::string, lzw::RawEntry>> damaged;
    for (size_t at : {size_t(300), e.data.size() / 2, e.data.size() - 3}) {
        damaged.emplace_back("flip at " + std::to_string(at), e);
        damaged.back().second.data[at] ^= 0x5A;
    }
    damaged.emplace_back("cut in half", e);
    damaged.back().second.data.resize(e.data.size() / 2);
    for (const auto& d : damaged) {
        const bool cut = &d == &damaged.back();
        for (const auto& pattern : ReadPatterns(65536)) {
            SCOPED_TRACE(d.first + " reads of " + std::to_string(pattern[0]));
            const auto r = lzw::DecodeRaw(e.method, e.flags, e.uncompressedSize, d.second.data, pattern);
            EXPECT_TRUE(r.code != 0 || r.damaged || r.uncompressedLeft > 0 || r.crc != e.crc32);
            EXPECT_EQ(r.crc, lzw::Crc32(r.bytes));
            if (cut) {
                EXPECT_LT(r.bytes.size(), e.uncompressedSize);
                EXPECT_GT(r.uncompressedLeft, 0u);
            }
        }
        const auto x = ExtractFromImage(lzw::BuildZip({d.second}), 0, 65536);
        EXPECT_FALSE(x.result) << d.first << " code " << x.code;
        if (!GetParam().endMarker) {
            EXPECT_LE(x.bytes.size(), e.uncompressedSize) << d.first;
        }
    }
    // A compressed size reaching past the end of the archive: the methods a
    // library reads take the data as ending with the stream and decode all
    // of it; the others fail.
    Bytes image = lzw::BuildZip({e});
    const uint32_t bigger = static_cast<uint32_t>(image.size()) * 2;
    const size_t central = image.size() - 22 - (46 + e.name.size());
    for (size_t field : {size_t(18), central + 20})
        for (int k = 0; k < 4; ++k) image[field + k] = static_cast<uint8_t>(bigger >> (8 * k));
    const auto past = ExtractFromImage(image, 0, 65536);
    if (Method() >= 12) {
        EXPECT_EQ(past.code, 0);
        EXPECT_EQ(lzw::Crc32(past.bytes), e.crc32);
    } else {
        EXPECT_FALSE(past.result);
        EXPECT_EQ(past.code, ZipError::badZipFile);
    }
}

// Regression: the window decoders counted a window's bytes (and their CRC)
// when it became pending, not when the caller took them, so closing after a
// partial read reported a whole, sound entry. Closed after 1, 99 or all but
// one byte, every entry of the sample archive is reported unfinished (-1),
// not as a CRC error, even when the decoder has already decoded all of it.
TEST_P(CorpusMethods, ClosingAfterAPartialReadReportsAnUnfinishedEntry)
{
    const Bytes image = ReadWholeFile(kCorpus + "/" + GetParam().sample);
    CZipMemStream source(65536);
    source.Write(image.data(), static_cast<uint32_t>(image.size()));
    CZipArchiveEx archive;
    archive.Open(source, CZipArchive::openReadOnly);
    uint32_t closed = 0;
    for (uint16_t i = 0; i < archive.GetCount(); ++i) {
        CZipEntryHeader header;
        archive.GetFileInfo(header, i);
        if (header.uncompressedSize < 2 || header.method != Method()) continue;
        for (uint32_t read : {1u, 99u, header.uncompressedSize - 1}) {
            if (read >= header.uncompressedSize) continue;
            ASSERT_TRUE(archive.OpenEntry(i));
            Bytes buffer(read);
            EXPECT_EQ(archive.ReadEntry(buffer.data(), read), read);
            EXPECT_EQ(archive.CloseEntry(), -1) << GetParam().sample << ": entry " << i << " after " << read;
            ++closed;
        }
    }
    EXPECT_GT(closed, 0u);
}

INSTANTIATE_TEST_SUITE_P(, CorpusMethods, ::testing::ValuesIn(kMethodRows),
                         [](const ::testing::TestParamInfo<MethodRow>& info) { return info.param.name; });

} // namespace
