// Central directory: finding the end record, reading and ordering the
// headers, damaged directories, the name index, writing back.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <fstream>
#include <set>

#include "archive/ZipAddRequest.h"
#include "archive/ZipArchive.h"
#include "archive/ZipConstants.h"
#include "archive/ZipOtherListings.h"
#include "errors/ZipException.h"
#include "support/memory_archive.h"
#include "support/shell.h"
#include "support/test_platform.h"
#include "support/zip_builder.h"

namespace {

std::vector<ZipEntrySpec> ThreeEntries()
{
    return {{"a.txt", "alpha", 20, 0x20},
            {"sub/b.txt", "bravo bravo", 20, 0x20},
            {"C.TXT", "", 20, 0x20}};
}

// The stored data of every entry, read through the directory.
std::vector<std::string> StoredData(CZipArchive& archive)
{
    std::vector<std::string> data;
    for (int i = 0; i < archive.GetCount(); ++i) {
        archive.directory.OpenEntryData(static_cast<uint16_t>(i));
        std::string bytes(archive.directory.currentHeader->compressedSize, '\0');
        archive.store.Read(&bytes[0], static_cast<uint32_t>(bytes.size()), true);
        archive.directory.CloseEntryData(false);
        data.push_back(bytes);
    }
    return data;
}

std::vector<std::string> Names(const CZipArchive& archive)
{
    std::vector<std::string> names;
    for (int i = 0; i < archive.GetCount(); ++i)
        names.push_back(archive.directory.GetHeader(i)->NameAsString());
    return names;
}

} // namespace

TEST(EndRecord, FoundAtEveryDistanceTheWindowAllows)
{
    // comment length and junk behind -> expected open result: the end record
    // is found however far from the end it lies.
    struct Case {
        uint32_t commentLength;
        uint32_t junk;
        int code;
    } cases[] = {{0, 0, 0}, {1, 0, 0}, {65535, 0, 0}, {65534, 1, 0}, {65535, 1, 0}, {100, 65500, 0},
                   {65535, 300000, 0}};
    for (const Case& c : cases) {
        ZipBuildOptions options;
        options.comment.assign(c.commentLength, 'c');
        ZipLayout layout = BuildZip(ThreeEntries(), options);
        layout.bytes.insert(layout.bytes.end(), c.junk, 'j');
        MemoryArchive m(layout.bytes);
        EXPECT_EQ(m.code, c.code) << c.commentLength << "+" << c.junk;
        if (c.code == 0) {
            EXPECT_EQ(m.archive.GetCount(), 3);
            EXPECT_EQ(m.archive.GetGlobalComment().size(), c.commentLength);
        }
    }
}

TEST(EndRecord, SignatureAcrossTheSeamOfTwoSearchChunks)
{
    // With 1024-byte chunks the first chunk holds the last 1024 bytes; end
    // records starting from 1028 to 1020 bytes before the end put the
    // signature across the seam, on it, or just inside.
    for (uint32_t distance = 1018; distance <= 1030; ++distance) {
        ZipBuildOptions options;
        options.comment.assign(distance - 22, 'x');
        ZipLayout layout = BuildZip(ThreeEntries(), options);
        MemoryArchive m(layout.bytes, 1024);
        ASSERT_EQ(m.code, 0) << distance;
        EXPECT_EQ(m.archive.directory.endInfo.endRecordOffset, layout.endOffset) << distance;
        EXPECT_EQ(m.archive.GetCount(), 3);
    }
}

TEST(EndRecord, TinySearchBufferStillEnds)
{
    // A search buffer below the overlap would make no progress; the search
    // must still end (with the record found, or 116 when it is absent).
    ZipLayout layout = BuildZip(ThreeEntries());
    EXPECT_EQ(MemoryArchive(layout.bytes, 2).code, 0);
    EXPECT_EQ(MemoryArchive(Bytes(5000, 'q'), 3).code, 116);
}

TEST(EndRecord, ShortOrMissing)
{
    // Shorter than an end record but ending with its signature: found, then
    // the 22-byte read fails.
    const MemoryArchive cut(Bytes{'a', 'b', 0x50, 0x4B, 0x05, 0x06}), empty(Bytes{});
    EXPECT_EQ(cut.code, 101);
    EXPECT_EQ(cut.reason, ZipReason::endRecordCut);
    EXPECT_EQ(empty.code, 116);
    EXPECT_EQ(empty.reason, ZipReason::endRecordMissing);
    EXPECT_EQ(MemoryArchive(Bytes(100, 0)).code, 116);
}

TEST(EndRecord, ACommentHoldingTheSignatureWinsAndIsJudgedAsARecord)
{
    // The rearmost signature is taken, even inside a comment; what follows it
    // there decides the outcome, never a crash.
    struct Case {
        std::string tail;  // bytes after the signature inside the comment
        int code;
        ZipReason reason;
    } cases[] = {
        {std::string(18, '\0'), 0, ZipReason::none},  // an empty archive's end record: opens, no entries
        // the fake record runs past the stream: the real one in front is
        // taken, as unzip, 7zz and bsdtar take it
        {std::string(10, '\xFF'), 0, ZipReason::none},
        // directory claimed before the fake record: the real record in front is taken
        {std::string(4, '\0') + std::string(14, '\x01'), 0, ZipReason::none},
        // the same on volume 257, which ends the search: its comment runs past the stream
        {std::string(18, '\x01'), 101, ZipReason::commentCut},
    };
    for (const Case& c : cases) {
        ZipBuildOptions options;
        options.comment = std::string("note PK\x05\x06") + c.tail;
        ZipLayout layout = BuildZip(ThreeEntries(), options);
        MemoryArchive m(layout.bytes);
        EXPECT_EQ(m.code, c.code);
        EXPECT_EQ(m.reason, c.reason);
    }
}

TEST(EndRecord, StreamsPast4GiBAreSearchedAtTheirEnd)
{
    // An archive starting just below 4 GiB into a sparse file, its end
    // record past 4 GiB. Cut to 32 bits, the file's length would put that
    // record at the decoy near the start. An archive starting past 4 GiB
    // needs more than 32-bit offsets and is refused.
    const ZipLayout real = BuildZip({{"real.txt", "ZIPEXT-MARKER-real-entry " + std::string(300, 'r')}});
    const uint64_t size = real.bytes.size();
    for (uint64_t start : {(1ull << 32) - 100, (1ull << 32) + 100}) {
        const ZipLayout empty = BuildZip({{"decoy.txt", ""}});
        const uint64_t cut = (start + size) & 0xFFFFFFFFu;  // the length cut to 32 bits
        const ZipLayout decoy = BuildZip({{"decoy.txt", std::string(cut - empty.bytes.size(), 'd')}});
        TempDir dir;
        const std::string path = dir.File("big.zip");
        {
            std::ofstream out(path, std::ios::binary);
            out.write(reinterpret_cast<const char*>(decoy.bytes.data()), static_cast<std::streamsize>(decoy.bytes.size()));
            out.seekp(static_cast<std::streamoff>(start));
            out.write(reinterpret_cast<const char*>(real.bytes.data()), static_cast<std::streamsize>(size));
        }
        CZipArchive a;
        int code = 0;
        ZipReason why = ZipReason::none;
        try {
            a.Open(path.c_str(), CZipArchive::openReadOnly);
        } catch (const CZipException& e) {
            code = e.code;
            why = e.reason;
        }
        if (start > 0xFFFFFFFFu) {
            EXPECT_EQ(code, 101);
            EXPECT_EQ(why, ZipReason::archiveTooFarIn);
            continue;
        }
        ASSERT_EQ(code, 0);
        EXPECT_EQ(a.directory.endInfo.endRecordOffset, start + real.endOffset);
        EXPECT_EQ(a.directory.endInfo.foreignBytes, start);
        EXPECT_EQ(StoredData(a), std::vector<std::string>{"ZIPEXT-MARKER-real-entry " + std::string(300, 'r')});
        // Positions past 4 GiB are beyond the writing paths.
        EXPECT_FALSE(a.SetGlobalComment("no"));
    }
}

TEST(Directory, ForeignBytesInFrontShiftEveryEntry)
{
    ZipBuildOptions options;
    options.prefix.assign(1000, 'M');
    ZipLayout layout = BuildZip(ThreeEntries(), options);
    MemoryArchive m(layout.bytes);
    ASSERT_EQ(m.code, 0);
    EXPECT_EQ(m.archive.directory.endInfo.foreignBytes, 1000u);
    for (int i = 0; i < 3; ++i) {
        m.archive.directory.OpenEntryData(static_cast<uint16_t>(i));
        const CZipEntryHeader* h = m.archive.directory.currentHeader;
        // The storage stands at the entry's data: local header + name on.
        EXPECT_EQ(m.stream->GetPosition(), 1000u + h->localHeaderOffset + 30 + h->fileName.length());
        m.archive.directory.CloseEntryData(false);
    }
}

TEST(Directory, ForeignBytesFromRealTools)
{
    ZIPEXT_NEED_LINUX_TOOLS("Python and zip");
    TempDir dir;
    std::string zip = dir.File("a.zip"), sfx = dir.File("sfx.zip");
    ASSERT_TRUE(Python("import zipfile\n"
                       "with zipfile.ZipFile('" + zip + "','w',zipfile.ZIP_DEFLATED) as z:\n"
                       "  z.writestr('one.txt','1'*5000)\n  z.writestr('two/2.txt','two')\n"));
    Bytes image(4096, 0x90);
    Bytes archive = ReadWholeFile(zip);
    image.insert(image.end(), archive.begin(), archive.end());
    MemoryArchive m(image);
    ASSERT_EQ(m.code, 0);
    EXPECT_EQ(m.archive.directory.endInfo.foreignBytes, 4096u);
    for (int i = 0; i < m.archive.GetCount(); ++i) {
        EXPECT_NO_THROW(m.archive.directory.OpenEntryData(static_cast<uint16_t>(i)));
        m.archive.directory.CloseEntryData(true);
    }
    // zip -A adjusts the offsets of a self-extractor: nothing foreign left.
    WriteWholeFile(sfx, image);
    ASSERT_TRUE(Shell("zip -qA " + Quote(sfx) + " >/dev/null 2>&1"));
    MemoryArchive adjusted(ReadWholeFile(sfx));
    ASSERT_EQ(adjusted.code, 0);
    EXPECT_EQ(adjusted.archive.directory.endInfo.foreignBytes, 0u);
    adjusted.archive.directory.OpenEntryData(1);
    adjusted.archive.directory.CloseEntryData(true);
}

TEST(Directory, EmptyArchiveReadsNoRecord)
{
    ZIPEXT_NEED_LINUX_TOOLS("Python");
    TempDir dir;
    std::string zip = dir.File("e.zip");
    ASSERT_TRUE(Python("import zipfile\nzipfile.ZipFile('" + zip + "','w').close()\n"));
    Bytes image = ReadWholeFile(zip);
    ASSERT_EQ(image.size(), 22u);
    MemoryArchive m(image);
    ASSERT_EQ(m.code, 0);
    EXPECT_EQ(m.archive.GetCount(), 0);
    EXPECT_TRUE(m.archive.directory.endInfo.directoryOnDisk);
}

TEST(Directory, RecordsOutOfOrderComeOutSorted)
{
    std::vector<ZipEntrySpec> entries;
    for (int i = 0; i < 6; ++i) entries.push_back({"e" + std::to_string(i), std::string(i * 7, 'z')});
    ZipBuildOptions options;
    options.centralOrder = {4, 1, 5, 0, 3, 2};
    ZipLayout layout = BuildZip(entries, options);
    MemoryArchive m(layout.bytes);
    ASSERT_EQ(m.code, 0);
    EXPECT_EQ(Names(m.archive), (std::vector<std::string>{"e0", "e1", "e2", "e3", "e4", "e5"}));
}

TEST(Directory, TwoRecordsForOneLocalHeaderAreRefused)
{
    ZipLayout layout = BuildZip(ThreeEntries());
    // The third central record points at the first entry's local header.
    Put32(layout.bytes, layout.centralOffsets[2] + 42, 0);
    const MemoryArchive shared(layout.bytes);
    EXPECT_EQ(shared.code, 101);
    EXPECT_EQ(shared.reason, ZipReason::localHeaderShared);
    // The same on another volume number is a different place.
    Put16(layout.bytes, layout.centralOffsets[2] + 34, 1);
    EXPECT_EQ(MemoryArchive(layout.bytes).code, 0);
}

TEST(Directory, RecordsLargerThanAReadPiece)
{
    // The directory is parsed in 64 KiB pieces: records that do not fit one
    // (a 65535-byte name and a long comment), between ordinary ones and at
    // the seams, still come out whole.
    std::vector<ZipEntrySpec> entries;
    for (int i = 0; i < 40; ++i) {
        std::string name = "n" + std::to_string(i) + "-" + std::string(i % 7 == 3 ? 65530 : 1500 + 97 * i, 'a' + i % 26);
        entries.push_back({name, std::to_string(i), 20, 0, i % 5 == 0 ? std::string(30000, 'c') : ""});
    }
    ZipLayout layout = BuildZip(entries);
    MemoryArchive m(layout.bytes);
    ASSERT_EQ(m.code, 0);
    ASSERT_EQ(m.archive.GetCount(), 40);
    for (int i = 0; i < 40; ++i) {
        const CZipEntryHeader& h = *m.archive.directory.GetHeader(i);
        EXPECT_EQ(h.NameAsString(), entries[i].name) << i;
        EXPECT_EQ(h.CommentAsString(), entries[i].comment) << i;
        EXPECT_EQ(h.localHeaderOffset, layout.localOffsets[i]) << i;
    }
}

TEST(Directory, MaximumEntryCount)
{
    ZipLayout layout = BuildMany(65535);
    MemoryArchive m(layout.bytes);
    ASSERT_EQ(m.code, 0);
    ASSERT_EQ(m.archive.GetCount(), 65535);
    EXPECT_EQ(m.archive.directory.GetHeader(65534)->NameAsString(), "dir\\f65534.txt");
    EXPECT_EQ(m.archive.directory.FindEntry("DIR\\F40000.TXT", false, false, false), 40000);
    EXPECT_EQ(m.archive.directory.FindEntry("f00007.txt", false, false, true), 7);
    m.archive.directory.OpenEntryData(65534);
    m.archive.directory.CloseEntryData(false);
}

TEST(Directory, CountsPast16BitsListWhatTheDirectoryHolds)
{
    // The end record's count wraps at 65,536 (or a ZIP64 count is larger
    // than the list's 16-bit indexes): the list takes the records the
    // directory's size holds as far as it reaches, the rest are read apart,
    // and such an archive is never rewritten.
    struct Row {
        const char* what;
        uint32_t entries;
        bool zip64;
    } rows[] = {{"65,537 entries, count 1", 65537, false},
                {"65,536 entries, count 0", 65536, false},
                {"65,540 entries, ZIP64 count", 65540, true}};
    for (const Row& row : rows) {
        SCOPED_TRACE(row.what);
        ZipLayout layout = BuildMany(row.entries);
        Put16(layout.bytes, layout.endOffset + 8, static_cast<uint16_t>(row.entries));
        Put16(layout.bytes, layout.endOffset + 10, static_cast<uint16_t>(row.entries));
        const Bytes image = row.zip64 ? Zip64Framed(layout.bytes, 0, row.entries) : layout.bytes;
        MemoryArchive m(image);
        ASSERT_EQ(m.code, 0);
        ASSERT_EQ(m.archive.GetCount(), 65535);
        EXPECT_EQ(m.archive.directory.GetHeader(65534)->NameAsString(), "dir\\f65534.txt");
        EXPECT_FALSE(m.archive.directory.endInfo.Rewritable());
        std::vector<std::string> rest;
        for (const CZipUnlistedEntry& e : ZipFindOtherListings(m.archive)) rest.push_back(e.view.NameAsString());
        ASSERT_EQ(rest.size(), row.entries - 65535u);
        EXPECT_EQ(rest.back(), "dir\\f" + std::to_string(row.entries - 1) + ".txt");
    }
}

// Damage to the end record or the directory: each gives its code, with no
// crash or over-read (the sanitizer build watches the latter).
TEST(Directory, DamagedDirectories)
{
    ZipLayout good = BuildZip(ThreeEntries());
    const size_t end = good.endOffset;
    const size_t c1 = good.centralOffsets[1];
    using R = ZipReason;
    struct Case {
        const char* what;
        size_t at;
        int width;
        uint32_t value;
        int code;
        ZipReason reason;
    } cases[] = {
        {"directory size past the start", end + 12, 4, 0xFFFFFF00u, 101, R::directoryOverlapsEndRecord},
        {"directory offset past the end record", end + 16, 4, 0x7FFFFFFFu, 101, R::directoryOverlapsEndRecord},
        {"offset + size wrap around 4 GiB", end + 16, 4, 0xFFFFFFF0u, 101, R::directoryOverlapsEndRecord},
        {"size shrunk: records run into the end record", end + 12, 4, 46, 101, R::centralRecordBroken},
        {"size grown into the entries", end + 12, 4, good.endOffset - good.directoryOffset + 10, 101, R::directoryOverlapsEndRecord},
        // A count that wrapped at 65,536: the records the size holds are read.
        {"no entries but a size", end + 10, 2, 0, 0, R::none},
        {"entries but no size", end + 12, 4, 0, 101, R::countDisagreesWithSize},
        {"more entries than records", end + 10, 2, 4, 101, R::streamCut},
        {"65535 entries claimed", end + 10, 2, 0xFFFF, 101, R::streamCut},
        {"fewer entries than records", end + 10, 2, 2, 0, R::none},
        {"comment past the end", end + 20, 2, 5, 101, R::commentCut},
        {"name crosses the end of the stream", c1 + 28, 2, 0xFFFF, 101, R::streamCut},
        {"comment crosses the end of the stream", c1 + 32, 2, 0x8000, 101, R::streamCut},
        {"extra field crosses into the end record", c1 + 30, 2, 200, 101, R::streamCut},
        {"central signature broken", c1, 1, 0x51, 101, R::centralRecordBroken},
        // The disk fields say other volumes, but the directory is here.
        {"directory on another volume", end + 6, 2, 1, 0, R::none},
        {"last volume number 2, directory on 0", end + 4, 2, 2, 0, R::none},
    };
    for (const Case& c : cases) {
        Bytes image = good.bytes;
        if (c.width == 1) image[c.at] = static_cast<uint8_t>(c.value);
        if (c.width == 2) Put16(image, c.at, static_cast<uint16_t>(c.value));
        if (c.width == 4) Put32(image, c.at, c.value);
        MemoryArchive m(image);
        EXPECT_EQ(m.code, c.code) << c.what;
        EXPECT_EQ(m.reason, c.reason) << c.what;
        // Never more headers kept than the stream has records for.
        EXPECT_LE(m.archive.directory.headerList.capacity(), 4u) << c.what;
    }
}

TEST(Directory, DiskFieldsNamingOtherVolumes)
{
    // Disk fields that make a whole archive a piece of a multi-volume set:
    // everything found in this stream is read, nothing is ever written.
    // Only a directory that really is not here gives 108.
    const std::vector<ZipEntrySpec> entries = {
        {"a.txt", "ZIPEXT-MARKER one"}, {"b.txt", "ZIPEXT-MARKER two"}, {"c.txt", ""}};
    const ZipLayout good = BuildZip(entries);
    struct Case {
        const char* what;
        uint16_t disk;
        uint16_t directoryDisk;
        uint16_t secondEntryDisk;
        uint32_t directoryOffset;  // 0: as built
        int code;
    } cases[] = {
        {"directory said to be on volume 1", 0, 1, 0, 0, 0},
        {"piece 2, directory on piece 0", 2, 0, 0, 0, 0},
        {"piece 1 with its own directory, entries on piece 0", 1, 1, 0, 0, 0},
        {"one entry said to start on volume 3", 0, 0, 3, 0, 0},
        {"piece 1, directory on piece 0 and not here", 1, 0, 0, 0x10000, 108},
    };
    for (const Case& c : cases) {
        Bytes image = good.bytes;
        Put16(image, good.endOffset + 4, c.disk);
        Put16(image, good.endOffset + 6, c.directoryDisk);
        Put16(image, good.centralOffsets[1] + 34, c.secondEntryDisk);
        if (c.directoryOffset) Put32(image, good.endOffset + 16, c.directoryOffset);
        MemoryArchive m(image);
        ASSERT_EQ(m.code, c.code) << c.what;
        if (c.code) continue;
        // Headers come ordered by volume, then offset.
        std::vector<std::string> data = StoredData(m.archive);
        std::sort(data.begin(), data.end());
        EXPECT_EQ(data, (std::vector<std::string>{"", "ZIPEXT-MARKER one", "ZIPEXT-MARKER two"})) << c.what;
        EXPECT_TRUE(m.archive.directory.endInfo.claimsMultiVolume) << c.what;
        // Every way of changing it is refused, a forced rewrite included.
        EXPECT_FALSE(m.archive.SetGlobalComment("no")) << c.what;
        std::vector<uint16_t> first = {0};
        m.archive.RemoveEntries(first);
        auto source = MemoryStream({'x'});
        CZipAddRequest add(source.get(), "new.txt");
        EXPECT_FALSE(m.archive.AddEntry(add)) << c.what;
        m.archive.directory.DiscardWrittenDirectory();
        m.archive.Flush();
        EXPECT_EQ(m.archive.GetCount(), 3) << c.what;
        EXPECT_TRUE(m.Contents() == image) << c.what;
    }
}

TEST(Directory, EveryByteOfTheTailDamagedInTurn)
{
    // Whatever a single byte of the directory or end record becomes, opening
    // ends in success or a code, and an opened archive's entries open or
    // fail with a code.
    ZipBuildOptions options;
    options.comment = "zz";
    ZipLayout good = BuildZip(ThreeEntries(), options);
    const uint8_t values[] = {0x00, 0x01, 0x7F, 0x80, 0xFF};
    std::set<int> seen;
    for (size_t at = good.directoryOffset; at < good.bytes.size(); ++at) {
        for (uint8_t v : values) {
            Bytes image = good.bytes;
            image[at] = v;
            MemoryArchive m(image);
            int code = m.code;
            seen.insert(code);
            EXPECT_TRUE(code == 0 || code == 101 || code == 108 || code == 116) << at << " " << code;
            EXPECT_EQ(code == 0, m.reason == ZipReason::none) << at << " " << code;  // every refusal says why
            if (code != 0) continue;
            for (int i = 0; i < m.archive.GetCount(); ++i) {
                try {
                    m.archive.directory.OpenEntryData(static_cast<uint16_t>(i));
                    m.archive.directory.CloseEntryData(false);
                } catch (const CZipException& e) {
                    EXPECT_TRUE(e.code == 101 || e.code == 108) << e.code;
                    EXPECT_NE(e.reason, ZipReason::none) << e.code;
                    m.archive.directory.CloseEntryData(true);
                }
            }
        }
    }
    EXPECT_TRUE(seen.count(0) && seen.count(101));
}

TEST(Directory, LocalHeaderAndDescriptorChecks)
{
    ZipLayout layout = BuildZip(ThreeEntries());
    using R = ZipReason;
    struct Case {
        const char* what;
        size_t at;
        uint8_t flip;     // XORed into the byte
        ZipReason fails;  // none: the entry opens
    } cases[] = {
        {"local signature", layout.localOffsets[1], 0xFF, R::localHeaderMissing},
        {"local method", layout.localOffsets[1] + 8, 0x08, R::localHeaderDisagrees},
        {"local flag bit 0", layout.localOffsets[1] + 6, 0x01, R::localHeaderDisagrees},
        {"local flag bit 3", layout.localOffsets[1] + 6, 0x08, R::localHeaderDisagrees},
        {"local flag bit 4 only", layout.localOffsets[1] + 6, 0x10, R::none},
        {"local flag bit 15 only", layout.localOffsets[1] + 7, 0x80, R::none},
        {"local time", layout.localOffsets[1] + 10, 0x11, R::none},
        {"local version", layout.localOffsets[1] + 4, 0x33, R::none},
        {"local CRC", layout.localOffsets[1] + 14, 0x01, R::localHeaderDisagrees},
        {"local size", layout.localOffsets[1] + 22, 0x01, R::localHeaderDisagrees},
        {"local name length", layout.localOffsets[1] + 26, 0x03, R::localHeaderDisagrees},
        {"local extra length past the end", layout.localOffsets[2] + 28, 0xFF, R::streamCut},
    };
    for (const Case& c : cases) {
        Bytes image = layout.bytes;
        image[c.at] ^= c.flip;
        MemoryArchive m(image);
        ASSERT_EQ(m.code, 0);
        uint16_t index = c.at >= layout.localOffsets[2] ? 2 : 1;
        if (c.fails == R::none) {
            EXPECT_NO_THROW(m.archive.directory.OpenEntryData(index)) << c.what;
        } else {
            try {
                m.archive.directory.OpenEntryData(index);
                ADD_FAILURE() << c.what;
            } catch (const CZipException& e) {
                EXPECT_EQ(e.code, 101) << c.what;
                EXPECT_EQ(e.reason, c.fails) << c.what;
            }
        }
    }
}

TEST(Directory, DataDescriptorsWithAndWithoutSignature)
{
    ZIPEXT_NEED_LINUX_TOOLS("Python");
    TempDir dir;
    std::string path = dir.File("dd.zip");
    // Python writes descriptors (with signature) when it cannot seek back.
    ASSERT_TRUE(Python("import zipfile, io\n"
                       "class W(io.RawIOBase):\n"
                       "  def __init__(s, f): s.f = f\n"
                       "  def writable(s): return True\n"
                       "  def write(s, b): return s.f.write(b)\n"
                       "  def seekable(s): return False\n"
                       "  def tell(s): raise OSError()\n"
                       "with open('" + path + "','wb') as out:\n"
                       "  with zipfile.ZipFile(W(out),'w',zipfile.ZIP_STORED) as z:\n"
                       "    z.writestr('s.txt','streamed data')\n"
                       "    z.writestr('plain.txt','plain')\n"));
    Bytes image = ReadWholeFile(path);
    MemoryArchive m(image);
    ASSERT_EQ(m.code, 0);
    CZipDirectory& d = m.archive.directory;
    ASSERT_TRUE(d.GetHeader(0)->flags & 8);
    const uint32_t dataAt = d.GetHeader(0)->localHeaderOffset + 30 + 5;
    // Read past the data as a decoder would, then check the descriptor.
    auto closeAfterData = [&](MemoryArchive& a) {
        a.archive.directory.OpenEntryData(0);
        a.stream->Seek(dataAt + a.archive.directory.GetHeader(0)->compressedSize, CZipStream::begin);
        a.archive.directory.CloseEntryData(false);
    };
    EXPECT_NO_THROW(closeAfterData(m));
    // The same descriptor without its signature.
    Bytes bare = image;
    uint32_t descriptorAt = dataAt + 13;
    ASSERT_EQ(Get32(bare, descriptorAt), 0x08074B50u);
    bare.erase(bare.begin() + descriptorAt, bare.begin() + descriptorAt + 4);
    uint32_t endAt = static_cast<uint32_t>(bare.size()) - 22;
    Put32(bare, endAt + 16, Get32(bare, endAt + 16) - 4);
    for (uint32_t p = Get32(bare, endAt + 16); p < endAt; p += 46 + Get16(bare, p + 28) + Get16(bare, p + 30) + Get16(bare, p + 32))
        if (Get32(bare, p + 42) > descriptorAt) Put32(bare, p + 42, Get32(bare, p + 42) - 4);
    MemoryArchive b(bare);
    ASSERT_EQ(b.code, 0);
    EXPECT_NO_THROW(closeAfterData(b));
    // A descriptor that disagrees with the central record.
    Bytes wrong = image;
    wrong[descriptorAt + 4] ^= 0x40;
    MemoryArchive w(wrong);
    ASSERT_EQ(w.code, 0);
    try {
        closeAfterData(w);
        ADD_FAILURE();
    } catch (const CZipException& e) {
        EXPECT_EQ(e.code, 101);
        EXPECT_EQ(e.reason, ZipReason::descriptorDisagrees);
        EXPECT_NE(w.archive.directory.currentHeader, nullptr);
    }
}

TEST(NameIndex, FindEntryCaseAndNameOnly)
{
    std::vector<ZipEntrySpec> entries = {{"DOCS/README.TXT", "r"}, {"docs/deep/inner/leaf.bin", "l"},
                                         {"docs/deep/", "", 20, 0x10}, {"zeta.txt", "z"}};
    ZipLayout layout = BuildZip(entries);
    MemoryArchive m(layout.bytes);
    ASSERT_EQ(m.code, 0);
    CZipDirectory& d = m.archive.directory;
    EXPECT_EQ(d.FindEntry("docs\\readme.txt", false, false, false), 0);
    EXPECT_FALSE(d.indexCaseSensitive);
    EXPECT_EQ(d.FindEntry("docs\\readme.txt", true, false, false), -1);
    EXPECT_TRUE(d.indexCaseSensitive);  // rebuilt case-sensitively
    EXPECT_EQ(d.FindEntry("DOCS\\README.TXT", true, false, false), 0);
    // Sporadic: a one-off search with the other sensitivity leaves the index.
    EXPECT_EQ(d.FindEntry("zeta.txt", false, true, false), 3);
    EXPECT_TRUE(d.indexCaseSensitive);
    EXPECT_EQ(d.FindEntry("leaf.bin", true, false, true), 1);
    EXPECT_EQ(d.FindEntry("deep", true, false, true), 2);
    EXPECT_EQ(d.FindEntry("nothing", true, false, false), -1);
}

TEST(NameIndex, RemovingAndReplacingKeepTheIndexDense)
{
    std::vector<ZipEntrySpec> entries;
    for (int i = 0; i < 10; ++i) entries.push_back({"n" + std::to_string(9 - i), "x"});
    ZipLayout layout = BuildZip(entries);
    MemoryArchive m(layout.bytes);
    ASSERT_EQ(m.code, 0);
    CZipDirectory& d = m.archive.directory;
    d.SetNameIndex(true, false);
    d.RemoveHeader(nullptr, 3, true);
    ASSERT_EQ(d.nameIndex.size(), 9u);
    std::set<int> indexes;
    for (const CZipNameIndexEntry& e : d.nameIndex) {
        indexes.insert(e.index);
        EXPECT_EQ(d.GetHeader(e.index), e.header);
    }
    EXPECT_EQ(indexes.size(), 9u);
    EXPECT_EQ(*indexes.rbegin(), 8);
    // Replacing entry 3 keeps index 3 for the new header.
    CZipEntryHeader templ;
    templ.AssignName("replacement");
    CZipEntryHeader* added = d.AddHeader(templ, 3);
    EXPECT_EQ(d.GetHeader(3), added);
    EXPECT_EQ(d.FindEntry("replacement", false, false, false), 3);
}

TEST(NameIndex, DuplicateNamesRemoveTheRightHeader)
{
    // A cured entry is appended under its old name; removing the old one must
    // take its own index entry, not its twin's.
    std::vector<ZipEntrySpec> entries = {{"same", "1"}, {"other", "2"}, {"same", "3"}};
    ZipLayout layout = BuildZip(entries);
    MemoryArchive m(layout.bytes);
    ASSERT_EQ(m.code, 0);
    CZipDirectory& d = m.archive.directory;
    d.SetNameIndex(true, false);
    CZipEntryHeader* survivor = d.GetHeader(2);
    d.RemoveHeader(d.GetHeader(0), -1, true);
    for (const CZipNameIndexEntry& e : d.nameIndex) EXPECT_EQ(d.GetHeader(e.index), e.header);
    EXPECT_EQ(d.GetHeader(d.FindEntry("same", false, false, false)), survivor);
}

TEST(DirectoryWrite, WrittenOnceAndReadBackByRealTools)
{
    ZIPEXT_NEED_LINUX_TOOLS("Python and unzip");
    TempDir dir;
    std::string path = dir.File("w.zip");
    ZipBuildOptions options;
    options.comment = "archive note";
    WriteWholeFile(path, BuildZip(ThreeEntries(), options).bytes);
    {
        CZipArchive archive;
        archive.Open(path.c_str());
        ASSERT_EQ(archive.GetCount(), 3);
        // Cut the directory off, then write it back twice: the second write
        // finds it on disk and does nothing.
        archive.directory.DiscardWrittenDirectory();
        archive.Flush();
        Bytes once = ReadWholeFile(path);
        archive.Flush();
        EXPECT_EQ(ReadWholeFile(path), once);
    }
    ASSERT_TRUE(Shell("unzip -tqq " + Quote(path)));
    ASSERT_TRUE(Python("import zipfile\nz=zipfile.ZipFile('" + path + "')\n"
                       "assert z.comment==b'archive note', z.comment\n"
                       "assert z.namelist()==['a.txt','sub/b.txt','C.TXT'], z.namelist()\n"
                       "assert z.read('sub/b.txt')==b'bravo bravo'\n"));
}

TEST(DirectoryWrite, CallbackStopsTheWriteSafely)
{
    struct Stop : CZipActionCallback {
        bool Callback(uint32_t) override { return false; }
    } stop;
    ZipLayout layout = BuildZip(ThreeEntries());
    MemoryArchive m(layout.bytes);
    ASSERT_EQ(m.code, 0);
    m.archive.directory.DiscardWrittenDirectory();
    try {
        m.archive.directory.WriteDirectory(&stop);
        ADD_FAILURE();
    } catch (const CZipException& e) {
        EXPECT_EQ(e.code, 106);
    }
    // The partial directory is gone: only the entries remain.
    EXPECT_EQ(m.stream->GetLength(), layout.directoryOffset);
}
