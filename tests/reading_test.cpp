// Reading entries of real archives (Info-ZIP zip, 7-Zip) through the archive
// object: every level and method pair that those tools write, encryption,
// verification codes, progress-callback aborts and damaged input.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <map>
#include <string>
#include <vector>

#include "archive/ZipConstants.h"
#include "errors/ZipException.h"
#include "platform/ZipAesPrimitives.h"
#include "storage/ZipMemStream.h"
#include "support/corpus.h"
#include "support/lzw_raw.h"
#include "support/memory_archive.h"
#include "support/reading_support.h"
#include "support/shell.h"
#include "support/test_platform.h"

using namespace reading;

namespace {

// The files every generated archive holds: empty, tiny, text and noise, and
// sizes that are exact multiples of the 65536-byte extraction buffer.
const std::map<std::string, Bytes>& SampleFiles()
{
    static const std::map<std::string, Bytes> files = {
        {"empty.txt", {}},
        {"one.bin", {0x42}},
        {"text.txt", MakeText(300000, 1)},
        {"noise.bin", MakeNoise(150000, 2)},
        {"exact2.txt", MakeText(131072, 3)},
        {"exact1.bin", MakeNoise(65536, 4)},
    };
    return files;
}

// Writes the sample files into dir/src and runs command there (it is given
// the archive's path as $A, and the file names in place of @FILES@ or at its
// end). Returns the archive's path.
std::string BuildArchive(const TempDir& dir, const std::string& name, const std::string& command,
                         const std::map<std::string, Bytes>& files = SampleFiles())
{
    const std::string src = dir.File("src-" + name);
    EXPECT_TRUE(Shell("mkdir -p " + Quote(src)));
    std::string list;
    for (const auto& file : files) {
        WriteWholeFile(src + "/" + file.first, file.second);
        list += " " + Quote(file.first);
    }
    const std::string archive = dir.File(name + ".zip");
    std::string filled = command;
    const size_t at = filled.find("@FILES@");
    if (at == std::string::npos)
        filled += list;
    else
        filled.replace(at, 7, list);
    const std::string full = "cd " + Quote(src) + " && A=" + Quote(archive) + " && ( " + filled + " ) >/dev/null 2>&1";
    EXPECT_TRUE(Shell(full)) << full;
    return archive;
}

// Extracts every entry and compares it with the file it was made from.
void ExpectAllExtract(CZipArchiveEx& archive, const std::map<std::string, Bytes>& files,
                      const std::string& what)
{
    ASSERT_EQ(archive.GetCount(), static_cast<int>(files.size())) << what;
    for (int i = 0; i < archive.GetCount(); ++i) {
        CZipEntryHeader header;
        ASSERT_TRUE(archive.GetFileInfo(header, i));
        const auto expected = files.find(header.NameAsString());
        ASSERT_NE(expected, files.end()) << what << ": " << header.NameAsString();
        const Extraction got = ExtractToMemory(archive, static_cast<uint16_t>(i));
        EXPECT_EQ(got.code, 0) << what << ": " << expected->first;
        EXPECT_TRUE(got.result) << what << ": " << expected->first;
        EXPECT_TRUE(got.bytes == expected->second) << what << ": " << expected->first;
    }
}

uint16_t IndexOf(CZipArchiveEx& archive, const std::string& name)
{
    for (int i = 0; i < archive.GetCount(); ++i) {
        CZipEntryHeader header;
        if (archive.GetFileInfo(header, i) && header.NameAsString() == name) return static_cast<uint16_t>(i);
    }
    ADD_FAILURE() << "no entry " << name;
    return 0;
}

// Written to a pipe, zip cannot seek back: every entry gets a data descriptor.
const char* const kPipedZip = "zip -q - @FILES@ | cat > \"$A\"";

class StopAt : public CZipActionCallback {
public:
    explicit StopAt(int call) : stopCall(call) {}
    bool Callback(uint32_t) override { return ++calls != stopCall; }
    int stopCall;
    int calls = 0;
};

} // namespace

TEST(Reading, EveryLevelOfZipAnd7zzExtractsExactly)
{
    ZIPEXT_NEED_LINUX_TOOLS("sh, zip, 7zz and Python");
    TempDir dir;
    std::vector<std::pair<std::string, std::string>> makers;
    for (int level = 0; level <= 9; ++level) {
        makers.push_back({"zip" + std::to_string(level), "zip -q -X -" + std::to_string(level) + " \"$A\""});
        makers.push_back({"7zz" + std::to_string(level),
                          "7zz a -tzip -mx" + std::to_string(level) + (level ? " -mm=Deflate" : "") + " \"$A\""});
    }
    makers.push_back({"zippipe", kPipedZip});
    for (const auto& maker : makers) {
        const std::string path = BuildArchive(dir, maker.first, maker.second);
        CZipArchiveEx archive;
        archive.Open(path.c_str(), CZipArchive::openExisting, 0);
        ExpectAllExtract(archive, SampleFiles(), maker.first);
        // Level 0 stores; other levels deflate at least the text.
        CZipEntryHeader header;
        ASSERT_TRUE(archive.GetFileInfo(header, IndexOf(archive, "text.txt")));
        EXPECT_EQ(header.method, maker.first.back() == '0' ? 0 : 8) << maker.first;
    }
}

TEST(Reading, Zip64RecordsAroundValuesThatFit)
{
    ZIPEXT_NEED_LINUX_TOOLS("sh, zip, 7zz and Python");
    // zip reading from a pipe puts a ZIP64 end record and locator in front
    // of the end record and ZIP64 extra fields (local sizes all ones) into
    // the headers; written to a pipe as well, 24-byte descriptors. -fz and
    // Python's force_zip64 do the same for files. Every value fits 32 bits.
    TempDir dir;
    const std::string marker = "ZIPEXT-MARKER zip64 framing\n";
    Bytes text(marker.begin(), marker.end());
    const Bytes more = MakeText(100000, 7);
    text.insert(text.end(), more.begin(), more.end());
    WriteWholeFile(dir.File("m.txt"), text);
    struct Case {
        const char* command;
        const char* password;
    } cases[] = {
        {"zip -q - - < m.txt > out.zip", ""},
        {"zip -q - - < m.txt | cat > out.zip", ""},
        {"zip -q -P pw - - < m.txt > out.zip", "pw"},
        {"zip -q -P pw - - < m.txt | cat > out.zip", "pw"},
        {"zip -q -X -fz out.zip m.txt", ""},
        {"python3 -c \"import zipfile\nwith zipfile.ZipFile('out.zip', 'w', zipfile.ZIP_DEFLATED) as z:\n"
         "  with z.open('m.txt', 'w', force_zip64=True) as w: w.write(open('m.txt', 'rb').read())\"", ""},
    };
    Bytes stdinArchive;
    for (const Case& c : cases) {
        ASSERT_TRUE(Shell("cd " + Quote(dir.Path()) + " && rm -f out.zip && " + c.command)) << c.command;
        const Bytes image = ReadWholeFile(dir.File("out.zip"));
        if (stdinArchive.empty()) stdinArchive = image;
        MemoryArchive archive(image);
        ASSERT_EQ(archive->GetCount(), 1) << c.command;
        archive->SetPassword(c.password);
        const Extraction got = ExtractToMemory(*archive, 0);
        EXPECT_EQ(got.code, 0) << c.command;
        EXPECT_TRUE(got.result && got.bytes == text) << c.command;
    }
    // Values that really need 64 bits are refused: a local size here, the
    // directory offset below.
    Bytes bigLocal = stdinArchive;
    ASSERT_EQ(Get32(bigLocal, 30 + 1), 0x00100001u);  // ZIP64 block behind the name "-"
    Put32(bigLocal, 30 + 1 + 4 + 4, 1);               // high half of the uncompressed size
    MemoryArchive big(bigLocal);
    const Extraction refusedLocal = ExtractToMemory(*big, 0);
    EXPECT_EQ(refusedLocal.code, 101);
    EXPECT_EQ(refusedLocal.reason, ZipReason::localHeaderDisagrees);
    const uint32_t end = static_cast<uint32_t>(stdinArchive.size()) - 22;
    ASSERT_EQ(Get32(stdinArchive, end - 76), 0x06064B50u);
    Put32(stdinArchive, end + 16, 0xFFFFFFFFu);
    Put32(stdinArchive, end - 76 + 52, 1);
    const MemoryArchive refused(stdinArchive);
    EXPECT_EQ(refused.code, 101);
    EXPECT_EQ(refused.reason, ZipReason::zip64ValueTooLarge);
}

TEST(Reading, ExactMultipleOfTheBufferDrainsTheDeflateStream)
{
    ZIPEXT_NEED_LINUX_TOOLS("sh, zip, 7zz and Python");
    TempDir dir;
    for (const char* command : {"zip -q -X -6 \"$A\"", kPipedZip}) {
        const std::string path = BuildArchive(dir, "drain", command);
        MemoryArchive archive(ReadWholeFile(path));
        const uint16_t index = IndexOf(*archive, "exact2.txt");
        ASSERT_TRUE(archive->OpenEntry(index));
        Bytes buffer(65536);
        Bytes all;
        std::vector<uint32_t> counts;
        for (;;) {
            const uint32_t n = archive->ReadEntry(buffer.data(), 65536);
            counts.push_back(n);
            all.insert(all.end(), buffer.begin(), buffer.begin() + n);
            if (n < 65536) break;
        }
        EXPECT_EQ(counts, (std::vector<uint32_t>{65536, 65536, 0})) << command;
        EXPECT_TRUE(all == SampleFiles().at("exact2.txt"));
        // The data descriptor (second command) is found right behind the data.
        EXPECT_EQ(archive->CloseEntry(nullptr, false), 1) << command;
    }
}

TEST(Reading, StoredEntryReadInOneLargeCall)
{
    ZIPEXT_NEED_LINUX_TOOLS("sh, zip, 7zz and Python");
    TempDir dir;
    const std::string path = BuildArchive(dir, "stored", "zip -q -X -0 \"$A\"");
    MemoryArchive archive(ReadWholeFile(path));
    ASSERT_TRUE(archive->OpenEntry(IndexOf(*archive, "noise.bin")));
    Bytes buffer(400000);
    EXPECT_EQ(archive->ReadEntry(buffer.data(), 400000), 150000u);
    EXPECT_EQ(archive->ReadEntry(buffer.data(), 400000), 0u);
    EXPECT_EQ(archive->CloseEntry(nullptr, false), 1);
}

TEST(Reading, EncryptedEntriesNeedTheRightPassword)
{
    ZIPEXT_NEED_LINUX_TOOLS("sh, zip, 7zz and Python");
    TempDir dir;
    struct Case {
        const char* name;
        const char* command;
        uint16_t method;
        bool descriptor;
    };
    const Case cases[] = {
        {"zipdeflate", "zip -q -X -P 'Se cret' \"$A\"", 8, true},
        {"zipstored", "zip -q -X -0 -P 'Se cret' \"$A\"", 0, true},
        {"7zzdeflate", "7zz a -tzip -mem=ZipCrypto '-pSe cret' \"$A\"", 8, false},
        {"7zzstored", "7zz a -tzip -mx0 -mem=ZipCrypto '-pSe cret' \"$A\"", 0, false},
    };
    for (const Case& c : cases) {
        const std::string path = BuildArchive(dir, c.name, c.command);
        MemoryArchive archive(ReadWholeFile(path));
        CZipEntryHeader header;
        ASSERT_TRUE(archive->GetFileInfo(header, IndexOf(*archive, "text.txt")));
        EXPECT_EQ(header.method, c.method) << c.name;
        EXPECT_EQ((header.flags & 8) != 0, c.descriptor) << c.name;
        EXPECT_EQ(header.flags & 1, 1) << c.name;

        // No password: every entry refuses to open.
        ASSERT_TRUE(archive->SetPassword(nullptr));
        for (int i = 0; i < archive->GetCount(); ++i) {
            const Extraction got = ExtractToMemory(*archive, static_cast<uint16_t>(i));
            EXPECT_EQ(got.code, ZipError::badPassword) << c.name << " " << i;
            EXPECT_TRUE(got.bytes.empty());
        }
        // A wrong one: the check byte stops it, except for the one header in
        // 256 that happens to pass; that entry then fails on its data.
        ASSERT_TRUE(archive->SetPassword("secret"));
        int refused = 0;
        for (int i = 0; i < archive->GetCount(); ++i) {
            const Extraction got = ExtractToMemory(*archive, static_cast<uint16_t>(i));
            if (got.code == ZipError::badPassword) {
                ++refused;
                EXPECT_TRUE(got.bytes.empty());
            } else {
                // An entry of 0 or 1 bytes may come out right by chance (an
                // empty CRC, or one guessed byte in 256): nothing to tell.
                CZipEntryHeader h;
                ASSERT_TRUE(archive->GetFileInfo(h, static_cast<uint16_t>(i)));
                if (h.uncompressedSize > 1) {
                    EXPECT_FALSE(got.result && got.code == 0) << c.name << " " << i;
                }
            }
        }
        EXPECT_GE(refused, archive->GetCount() - 1) << c.name;
        ASSERT_TRUE(archive->SetPassword("Se cret"));
        ExpectAllExtract(*archive, SampleFiles(), c.name);
    }
}

TEST(Reading, CrcMismatchIsReportedUnlessIgnored)
{
    ZIPEXT_NEED_LINUX_TOOLS("sh, zip, 7zz and Python");
    TempDir dir;
    for (const char* command : {"zip -q -X -0 \"$A\"", "zip -q -X -9 \"$A\""}) {
        const std::string path = BuildArchive(dir, "crc", command);
        Bytes image = ReadWholeFile(path);
        uint16_t index;
        {
            MemoryArchive probe(image);
            index = IndexOf(*probe, "text.txt");
        }
        const EntryRecords e = FindEntry(image, index);
        PatchBoth32(image, e, 14, Get32(image, e.local + 14) ^ 0x00010000u);
        MemoryArchive archive(image);
        Extraction got = ExtractToMemory(*archive, index);
        EXPECT_EQ(got.code, ZipError::badCrc) << command;
        // All the bytes were delivered before the close found the mismatch.
        EXPECT_TRUE(got.bytes == SampleFiles().at("text.txt"));
        archive->SetIgnoreCrc(true);
        got = ExtractToMemory(*archive, index);
        EXPECT_EQ(got.code, 0);
        EXPECT_TRUE(got.result);
    }
}

// The methods of later archivers, as 7-Zip, Info-ZIP's zip and Python write
// them (and xz and Zstandard entries written by hand with the tools' own
// streams), read exactly at buffer sizes that end inside every kind of
// block. A method the build has no library for is left out.
TEST(Reading, LaterMethodsExtractExactly)
{
    // The Windows build reads these methods too; the corpus-methods table
    // covers them there.
    ZIPEXT_NEED_LINUX_TOOLS("sh, 7zz, zip, Python and the zstd tool");
    TempDir dir;
    const std::string methodZip = "python3 " + Quote(std::string(ZIPEXT_SOURCE_DIR) + "/tests/support/method_zip.py");
    const struct {
        const char* name;
        std::string command;
        uint16_t method;
    } makers[] = {
        {"7zz-bzip2", "7zz a -tzip -mm=BZip2 \"$A\"", 12},
        {"zip-bzip2", "zip -q -X -Z bzip2 \"$A\"", 12},
        {"7zz-lzma", "7zz a -tzip -mm=LZMA \"$A\"", 14},
        {"python-lzma", "python3 -c 'import sys, zipfile\nwith zipfile.ZipFile(sys.argv[1], \"w\", zipfile.ZIP_LZMA) as z:\n    [z.write(f) for f in sys.argv[2:]]' \"$A\"", 14},
        {"xz", methodZip + " \"$A\" 95", 95},
        {"zstd", methodZip + " \"$A\" 93", 93},
    };
    for (const auto& maker : makers) {
        if (!ZipReadsMethod(maker.method)) {
            std::printf("method %u: this build has no library for it\n", maker.method);
            continue;
        }
        const std::string path = BuildArchive(dir, maker.name, maker.command);
        CZipArchiveEx archive;
        archive.Open(path.c_str(), CZipArchive::openExisting, 0);
        ExpectAllExtract(archive, SampleFiles(), maker.name);
        const uint16_t text = IndexOf(archive, "text.txt");
        CZipEntryHeader header;
        ASSERT_TRUE(archive.GetFileInfo(header, text));
        EXPECT_EQ(header.method, maker.method) << maker.name;
        for (const uint32_t size : {1u, 7u}) {
            const Extraction got = ExtractToMemory(archive, text, size);
            EXPECT_TRUE(got.result && got.bytes == SampleFiles().at("text.txt")) << maker.name << " " << size;
        }
        // Damaged: one byte of the stream changed, or its second half
        // zeroed. The entry fails (never a crash), and the same whatever the
        // read size.
        const Bytes image = ReadWholeFile(path);
        const EntryRecords e = FindEntry(image, text);
        for (const bool cut : {false, true}) {
            Bytes bad = image;
            if (cut)
                std::fill(bad.begin() + e.data + e.compressedSize / 2, bad.begin() + e.data + e.compressedSize, 0);
            else
                bad[e.data + e.compressedSize / 2] ^= 0x55;
            MemoryArchive damaged(bad);
            const Extraction whole = ExtractToMemory(*damaged, text);
            EXPECT_FALSE(whole.result) << maker.name << (cut ? " cut" : " changed");
            EXPECT_TRUE(whole.code != 0 || whole.bytes != SampleFiles().at("text.txt")) << maker.name;
            const Extraction pieces = ExtractToMemory(*damaged, text, 7);
            EXPECT_TRUE(pieces.bytes == whole.bytes && pieces.code == whole.code) << maker.name;
        }
    }
}

// Every WinZip AES entry of the corpus (7-Zip's, libarchive's and others,
// AE-1 and AE-2, 128 to 256-bit keys, over stored, deflated and Zstandard
// data) with its password, read whole and in 7-byte pieces; then one
// entry with a wrong password, and with its authentication code damaged
// (reported as a CRC error after the whole content).
TEST(Reading, AesEntriesOfTheCorpus)
{
    ZIPEXT_NEED_CORPUS();
    CZipEntryHeader probe;
    probe.method = ZipFormat::methodAes;
    uint32_t checked = 0;
    for (const auto& row : lzw::ManifestRows(ZIPEXT_CORPUS_DIR, 99, 99)) {
        if (row.sha256.size() != 64 || row.password == "-") continue;
        CZipArchiveEx archive;
        archive.Open((std::string(ZIPEXT_CORPUS_DIR) + "/" + row.archive).c_str(), CZipArchive::openExisting, 0);
        const uint16_t index = IndexOf(archive, row.entry);
        CZipEntryHeader header;
        ASSERT_TRUE(archive.GetFileInfo(header, index));
        if (!ZipReadsEntry(header)) continue;
        archive.SetPassword(row.password.c_str());
        for (const uint32_t size : {65536u, 7u}) {
            const Extraction got = ExtractToMemory(archive, index, size);
            EXPECT_EQ(got.code, 0) << row.archive << ": " << row.entry << " " << size;
            EXPECT_EQ(lzw::Sha256Hex(got.bytes), row.sha256) << row.archive << ": " << row.entry << " " << size;
        }
        ++checked;
    }
    if (!CZipAesPrimitives::Available()) GTEST_SKIP() << "this build has no AES";
    EXPECT_GE(checked, 15u);

    const std::string path = std::string(ZIPEXT_CORPUS_DIR) + "/crypto/7zz-generated/7zz-aes256-deflate.zip";
    Bytes image = ReadWholeFile(path);
    {
        MemoryArchive archive(image);
        archive->SetPassword("Secret#2024 ");
        EXPECT_EQ(ExtractToMemory(*archive, IndexOf(*archive, "text200k.txt")).code, ZipError::badPassword);
    }
    MemoryArchive plain(image);
    const uint16_t text = IndexOf(*plain, "text200k.txt");
    CZipEntryHeader header;
    ASSERT_TRUE(plain->GetFileInfo(header, text));
    const EntryRecords records = FindEntry(image, text);
    // The code is the last 10 bytes of the entry's data.
    image[records.data + header.compressedSize - 1] ^= 0x01;
    MemoryArchive damaged(image);
    damaged->SetPassword("Secret#2024");
    const Extraction got = ExtractToMemory(*damaged, text);
    EXPECT_EQ(got.code, ZipError::badCrc);
    EXPECT_EQ(got.bytes.size(), header.uncompressedSize);
}

TEST(Reading, MethodsWithoutDecoderAndEmptyMethods)
{
    ZIPEXT_NEED_LINUX_TOOLS("sh, zip, 7zz and Python");
    TempDir dir;
    const std::string path = BuildArchive(dir, "methods", "zip -q -X -0 \"$A\"");
    const Bytes original = ReadWholeFile(path);
    uint16_t text, empty;
    {
        MemoryArchive probe(original);
        text = IndexOf(*probe, "text.txt");
        empty = IndexOf(*probe, "empty.txt");
    }
    for (uint16_t method : {5, 11, 12, 14, 93, 95, 98, 99, 0xFFFF}) {
        // Those the build reads fail on the stored bytes instead.
        if (ZipReadsMethod(method)) continue;
        Bytes image = original;
        PatchBoth16(image, FindEntry(image, text), 8, method);
        MemoryArchive archive(image);
        try {
            archive->OpenEntry(text);
            ADD_FAILURE() << "method " << method << " opened";
        } catch (const CZipException& e) {
            EXPECT_EQ(e.code, ZipError::badZipFile) << method;
            EXPECT_EQ(e.reason, method == 99 ? ZipReason::aesExtraMissing : ZipReason::methodUnsupported) << method;
        }
        // The failed open left nothing behind: another entry opens.
        EXPECT_EQ(archive->CloseEntry(nullptr, true), 0);
        EXPECT_TRUE(ExtractToMemory(*archive, empty).result);
    }
    for (uint16_t method : {7, 10}) {
        Bytes image = original;
        PatchBoth16(image, FindEntry(image, text), 8, method);
        PatchBoth16(image, FindEntry(image, empty), 8, method);
        MemoryArchive archive(image);
        ASSERT_TRUE(archive->OpenEntry(text));
        Bytes buffer(100);
        EXPECT_EQ(archive->ReadEntry(buffer.data(), 100), 0u);
        EXPECT_EQ(archive->CloseEntry(nullptr, false), -1) << method;
        const Extraction got = ExtractToMemory(*archive, text);
        EXPECT_FALSE(got.result);
        EXPECT_TRUE(got.bytes.empty());
        // Size 0 and CRC 0: nothing is missing and the CRC matches.
        ASSERT_TRUE(archive->OpenEntry(empty));
        EXPECT_EQ(archive->CloseEntry(nullptr, false), 1) << method;
    }
}

TEST(Reading, DirectoriesAreMadeNotRead)
{
    ZIPEXT_NEED_LINUX_TOOLS("sh, zip, 7zz and Python");
    TempDir dir;
    ASSERT_TRUE(Shell("mkdir -p " + Quote(dir.File("tree/sub/deeper")) + " && printf abc > " +
                    Quote(dir.File("tree/sub/f.txt"))));
    const std::string path = dir.File("dirs.zip");
    ASSERT_TRUE(Shell("cd " + Quote(dir.Path()) + " && zip -q -r -X " + Quote(path) + " tree"));
    CZipArchiveEx archive;
    archive.Open(path.c_str(), CZipArchive::openExisting, 0);
    const std::string out = dir.File("out");
    int directories = 0;
    for (int i = 0; i < archive.GetCount(); ++i) {
        CZipEntryHeader header;
        ASSERT_TRUE(archive.GetFileInfo(header, i));
        if (!header.IsDirectory()) continue;
        ++directories;
        EXPECT_FALSE(ExtractToMemory(archive, static_cast<uint16_t>(i)).result);
        EXPECT_TRUE(archive.ExtractEntryToFile(static_cast<uint16_t>(i), out.c_str(), true));
    }
    EXPECT_EQ(directories, 3);
    EXPECT_TRUE(Shell("test -d " + Quote(out + "/tree/sub/deeper")));
    EXPECT_TRUE(archive.ExtractEntryToFile(IndexOf(archive, "tree\\sub\\f.txt"), out.c_str(), true));
    EXPECT_TRUE(ReadWholeFile(out + "/tree/sub/f.txt") == (Bytes{'a', 'b', 'c'}));
}

TEST(Reading, CallbackAbortsInTheMiddleAndAtTheLastBlock)
{
    ZIPEXT_NEED_LINUX_TOOLS("sh, zip, 7zz and Python");
    TempDir dir;
    const std::string path = BuildArchive(dir, "abort", "zip -q -X -6 \"$A\"");
    CZipArchiveEx archive;
    archive.Open(path.c_str(), CZipArchive::openExisting, 0);
    const uint16_t text = IndexOf(archive, "text.txt");      // 4 full blocks and a short one
    const uint16_t exact = IndexOf(archive, "exact2.txt");   // 2 full blocks
    struct Case {
        uint16_t index;
        int stopCall;
        int code;
        size_t delivered;
    };
    const Case cases[] = {
        {text, 2, ZipError::abortedAction, 2 * 65536},
        {text, 5, ZipError::abortedSafely, 300000},
        {exact, 1, ZipError::abortedAction, 65536},
        {exact, 2, ZipError::abortedSafely, 131072},
    };
    for (const Case& c : cases) {
        StopAt stop(c.stopCall);
        archive.SetCallback(&stop, ZipFormat::callbackExtract);
        const Extraction got = ExtractToMemory(archive, c.index);
        EXPECT_EQ(got.code, c.code) << c.index << " at " << c.stopCall;
        EXPECT_EQ(got.bytes.size(), c.delivered);

        const std::string out = dir.File("abort-out");
        stop.calls = 0;
        try {
            archive.ExtractEntryToFile(c.index, out.c_str(), true);
            ADD_FAILURE() << "no abort";
        } catch (const CZipException& e) {
            EXPECT_EQ(e.code, c.code);
            EXPECT_NE(e.archivePath.find("abort-out"), std::string::npos) << e.archivePath;
        }
        // What was written before the stop stays in the file.
        EXPECT_EQ(ReadWholeFile(out + "/" + (c.index == text ? "text.txt" : "exact2.txt")).size(), c.delivered);
    }
    // The aborted entries were closed: the next extraction works.
    archive.SetCallback(nullptr, ZipFormat::callbackExtract);
    EXPECT_TRUE(ExtractToMemory(archive, text).result);
}

TEST(Reading, StreamExtractionAppendsAndFileExtractionWrites)
{
    ZIPEXT_NEED_LINUX_TOOLS("sh, zip, 7zz and Python");
    TempDir dir;
    const std::string path = BuildArchive(dir, "append", "7zz a -tzip -mx5 -mm=Deflate \"$A\"");
    CZipArchiveEx archive;
    archive.Open(path.c_str(), CZipArchive::openExisting, 0);
    const uint16_t index = IndexOf(archive, "text.txt");
    CZipMemStream sink(4096);
    sink.Write("HEAD", 4);
    sink.SeekToBegin();
    ASSERT_TRUE(archive.ExtractEntryToStream(index, sink, 65536));
    Bytes expected = {'H', 'E', 'A', 'D'};
    const Bytes& text = SampleFiles().at("text.txt");
    expected.insert(expected.end(), text.begin(), text.end());
    ASSERT_EQ(sink.GetLength(), expected.size());
    EXPECT_EQ(0, memcmp(sink.Data(), expected.data(), expected.size()));

    // Small odd buffers go through the same loop.
    const std::string out = dir.File("files");
    for (uint32_t size : {1u, 7u, 4096u, 65536u, 1u << 20}) {
        ASSERT_TRUE(archive.ExtractEntryToFile(index, out.c_str(), false, nullptr, size)) << size;
        EXPECT_TRUE(ReadWholeFile(out + "/text.txt") == text) << size;
    }
    EXPECT_FALSE(archive.ExtractEntryToFile(index, out.c_str(), false, nullptr, 0));
    EXPECT_FALSE(archive.ExtractEntryToStream(index, sink, 0));
}

TEST(Reading, ClosingEarlyIsNotAnError)
{
    ZIPEXT_NEED_LINUX_TOOLS("sh, zip, 7zz and Python");
    TempDir dir;
    for (const char* command : {"zip -q -X -6 \"$A\"", kPipedZip,
                                "zip -q -X -0 -P pw \"$A\""}) {
        const std::string path = BuildArchive(dir, "early", command);
        MemoryArchive archive(ReadWholeFile(path));
        archive->SetPassword("pw");
        const uint16_t index = IndexOf(*archive, "text.txt");
        ASSERT_TRUE(archive->OpenEntry(index));
        EXPECT_FALSE(archive->OpenEntry(index));  // one entry at a time
        Bytes buffer(65536);
        EXPECT_EQ(archive->ReadEntry(buffer.data(), 65536), 65536u);
        EXPECT_EQ(archive->CloseEntry(nullptr, false), -1) << command;
        EXPECT_EQ(archive->CloseEntry(nullptr, false), 0);
        EXPECT_TRUE(ExtractToMemory(*archive, IndexOf(*archive, "exact2.txt")).result) << command;
    }
}

// Damaged archives: each gives a code or a short entry, and the archive stays
// usable for its other entries.
TEST(ReadingBadInput, DamageGivesCodesNeverCrashes)
{
    ZIPEXT_NEED_LINUX_TOOLS("sh and zip");
    TempDir dir;
    const std::string zipped = BuildArchive(dir, "bad", "zip -q -X -9 \"$A\"");
    const std::string piped = BuildArchive(dir, "badpipe", kPipedZip);
    const Bytes plain = ReadWholeFile(zipped);
    const Bytes withDescriptor = ReadWholeFile(piped);
    uint16_t text, other;
    {
        MemoryArchive probe(plain);
        text = IndexOf(*probe, "text.txt");
        other = IndexOf(*probe, "noise.bin");
    }
    auto outcome = [&](const Bytes& image, uint16_t index) {
        MemoryArchive archive(image);
        Extraction got = ExtractToMemory(*archive, index);
        // Whatever happened, the archive goes on with another entry.
        EXPECT_TRUE(ExtractToMemory(*archive, other).result);
        return got;
    };
    const EntryRecords e = FindEntry(plain, text);

    {   // The deflate data claims to end halfway: the stream is followed to
        // its end marker, so the whole entry comes out.
        Bytes image = plain;
        PatchBoth32(image, e, 18, e.compressedSize / 2);
        const Extraction got = outcome(image, text);
        EXPECT_EQ(got.code, 0);
        EXPECT_TRUE(got.result);
        EXPECT_EQ(got.bytes.size(), 300000u);
    }
    {   // A compressed size far past the archive's end.
        Bytes image = plain;
        PatchBoth32(image, e, 18, 0x7FFFFFF0u);
        // Either the reads run into the archive's end, or the deflate stream
        // ends first and the entry is whole.
        const Extraction got = outcome(image, text);
        EXPECT_TRUE(got.code == ZipError::badZipFile || got.code == ZipError::zlibData ||
                    (got.code == 0 && got.result))
            << got.code;
    }
    {   // Claims more bytes than the data holds: a short entry.
        Bytes image = plain;
        PatchBoth32(image, e, 22, 300001);
        const Extraction got = outcome(image, text);
        EXPECT_EQ(got.code, 0);
        EXPECT_FALSE(got.result);
        EXPECT_EQ(got.bytes.size(), 300000u);
    }
    {   // Claims fewer: every byte still reaches the caller, and the entry
        // is not taken for whole.
        Bytes image = plain;
        PatchBoth32(image, e, 22, 299999);
        const Extraction got = outcome(image, text);
        EXPECT_EQ(got.code, 0);
        EXPECT_FALSE(got.result);
        EXPECT_EQ(got.bytes.size(), 300000u);
    }
    {   // Sizes in the local header that differ from the central ones.
        Bytes image = plain;
        Put32(image, e.local + 22, 12345);
        const Extraction got = outcome(image, text);
        EXPECT_EQ(got.code, ZipError::badZipFile);
        EXPECT_EQ(got.reason, ZipReason::localHeaderDisagrees);
    }
    {   // A data descriptor that disagrees with the central record.
        MemoryArchive probe(withDescriptor);
        const uint16_t index = IndexOf(*probe, "text.txt");
        const EntryRecords d = FindEntry(withDescriptor, index);
        const uint32_t behind = d.data + d.compressedSize;
        for (uint32_t field : {4u, 8u, 12u}) {
            Bytes image = withDescriptor;
            ASSERT_EQ(Get32(image, behind), 0x08074B50u);
            Put32(image, behind + field, Get32(image, behind + field) ^ 1);
            const Extraction got = outcome(image, index);
            EXPECT_EQ(got.code, ZipError::badZipFile) << field;
            EXPECT_EQ(got.reason, ZipReason::descriptorDisagrees) << field;
        }
    }
    // Bytes flipped anywhere in the deflate data: a zlib code, a CRC error or
    // a short entry, never anything else.
    uint32_t state = 12345;
    for (int round = 0; round < 150; ++round) {
        Bytes image = plain;
        for (int flips = 0; flips <= round % 4; ++flips) {
            state = state * 1103515245u + 12345u;
            const uint32_t at = e.data + (state >> 8) % e.compressedSize;
            image[at] = static_cast<uint8_t>(image[at] ^ (1u << ((state >> 4) & 7)));
        }
        const Extraction got = outcome(image, text);
        const bool expected = got.code == ZipError::zlibData || got.code == ZipError::badCrc ||
                              got.code == ZipError::zlibBuffer || (got.code == 0 && !got.result);
        EXPECT_TRUE(expected) << "round " << round << " code " << got.code;
    }
}

TEST(Reading, FullPathsStayBelowTheTargetDirectory)
{
    ZIPEXT_NEED_LINUX_TOOLS("sh, zip, 7zz and Python");
    TempDir dir;
    const std::string archive = dir.File("paths.zip");
    const std::string script =
        "import zipfile\n"
        "z = zipfile.ZipFile(" + Quote(archive) + ", 'w')\n"
        "for n in ['../up.txt', 'sub/../../up2.txt', 'link/inside.txt', 'ok/./fine.txt', 'ok/fine2.txt']:\n"
        "    zi = zipfile.ZipInfo(n)\n"
        "    zi.create_system = 0\n"
        "    z.writestr(zi, n)\n"
        "z.close()\n";
    ASSERT_TRUE(Shell("python3 -c " + Quote(script)));
    const std::string out = dir.File("out");
    const std::string outside = dir.File("outside");
    ASSERT_TRUE(Shell("mkdir -p " + Quote(out) + " " + Quote(outside) + " && ln -s " + Quote(outside) + " " +
                      Quote(out + "/link")));
    CZipArchiveEx zip;
    zip.Open(archive.c_str(), CZipArchive::openExisting, 0);
    // Climbing names and a link on the way are refused; plain names work.
    const std::vector<bool> expected = {false, false, false, false, true};
    for (int i = 0; i < zip.GetCount(); ++i)
        EXPECT_EQ(zip.ExtractEntryToFile(static_cast<uint16_t>(i), out.c_str(), true), expected[i]) << i;
    EXPECT_FALSE(FileExists(dir.File("up.txt")));
    EXPECT_FALSE(FileExists(dir.File("up2.txt")));
    EXPECT_FALSE(FileExists(outside + "/inside.txt"));
    const Bytes fine = ReadWholeFile(out + "/ok/fine2.txt");
    EXPECT_EQ(std::string(fine.begin(), fine.end()), "ok/fine2.txt");
}
