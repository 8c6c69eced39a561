// Record formats and the entry header: byte-exact records, the local header
// check, new-entry preparation, times, attributes and name forms.
#include <gtest/gtest.h>

#include <cstring>
#include <ctime>
#include <vector>

#include "archive/ZipConstants.h"
#include "archive/ZipEntryHeader.h"
#include "archive/ZipRecordReader.h"
#include "errors/ZipException.h"
#include "storage/ZipMemStream.h"
#include "storage/ZipStore.h"
#include "support/memory_archive.h"
#include "support/zip_builder.h"

namespace {

// A storage over a memory stream holding the given bytes, ready to read
// them as an ordinary (single-volume) archive.
struct ReadStore {
    explicit ReadStore(const Bytes& bytes) : stream(MemoryStream(bytes))
    {
        store.OpenStream(stream.get(), 0);
        store.AdoptLastDisk(0);
    }
    std::unique_ptr<CZipMemStream> stream;
    CZipStore store;
};

// A storage creating into an empty memory stream.
struct WriteStore {
    WriteStore() : stream(MemoryStream({})) { store.OpenStream(stream.get(), 2); }
    Bytes Flushed()
    {
        store.FlushBuffer();
        return StreamBytes(*stream);
    }
    std::unique_ptr<CZipMemStream> stream;
    CZipStore store;
};

CZipEntryHeader SampleHeader()
{
    CZipEntryHeader h;
    std::memcpy(h.signature, "PK\x01\x02", 4);
    h.versionMadeBy = 0x0314;
    h.versionNeeded = 20;
    h.flags = 0x0002;
    h.method = 8;
    h.modTime = 0x7D1C;
    h.modDate = 0x5A35;
    h.crc32 = 0xCAFEBABE;
    h.compressedSize = 1234;
    h.uncompressedSize = 56789;
    h.diskStart = 0;
    h.internalAttributes = 1;
    h.externalAttributes = 0x81A40000;
    h.localHeaderOffset = 0x01020304;
    h.AssignName("dir/file.txt");
    h.AssignComment("a comment");
    h.extraField.Assign("\x55\x54\x01\x00\x07", 5);
    return h;
}

} // namespace

TEST(Records, CentralRecordIsByteExactAndReadsBack)
{
    CZipEntryHeader h = SampleHeader();
    WriteStore w;
    EXPECT_EQ(h.WriteCentralRecord(w.store), 46u + 12 + 5 + 9);
    Bytes b = w.Flushed();
    ASSERT_EQ(b.size(), 72u);
    EXPECT_EQ(Get32(b, 0), 0x02014B50u);
    EXPECT_EQ(Get16(b, 4), 0x0314);
    EXPECT_EQ(Get16(b, 8), 0x0002);
    EXPECT_EQ(Get32(b, 16), 0xCAFEBABEu);
    EXPECT_EQ(Get32(b, 24), 56789u);
    EXPECT_EQ(Get16(b, 28), 12);
    EXPECT_EQ(Get16(b, 30), 5);
    EXPECT_EQ(Get16(b, 32), 9);
    EXPECT_EQ(Get32(b, 38), 0x81A40000u);
    EXPECT_EQ(Get32(b, 42), 0x01020304u);
    EXPECT_EQ(std::string(b.begin() + 46, b.begin() + 58), "dir/file.txt");
    EXPECT_EQ(std::string(b.begin() + 63, b.end()), "a comment");

    // Read back through the storage and parsed from memory: same header.
    ReadStore r(b);
    CZipEntryHeader fromStore, fromMemory;
    ASSERT_TRUE(fromStore.ReadCentralRecord(r.store));
    EXPECT_EQ(fromMemory.ParseCentralRecord(b.data(), static_cast<uint32_t>(b.size())), 72);
    EXPECT_EQ(fromMemory.ParseCentralRecord(b.data(), 71), 0);
    for (const CZipEntryHeader* x : {&fromStore, &fromMemory}) {
        EXPECT_EQ(x->versionMadeBy, h.versionMadeBy);
        EXPECT_EQ(x->modDate, h.modDate);
        EXPECT_EQ(x->compressedSize, h.compressedSize);
        EXPECT_EQ(x->localHeaderOffset, h.localHeaderOffset);
        EXPECT_EQ(x->NameAsString(), "dir/file.txt");
        EXPECT_EQ(x->CommentAsString(), "a comment");
        EXPECT_EQ(x->extraField.length(), 5u);
    }
    // A wrong signature stops after the fixed part.
    b[2] = 0x03;
    ReadStore bad(b);
    CZipEntryHeader y;
    EXPECT_FALSE(y.ReadCentralRecord(bad.store));
    EXPECT_EQ(bad.stream->GetPosition(), 46u);
    EXPECT_EQ(y.ParseCentralRecord(b.data(), 72), -1);
}

// Regression: an entry without a name (and without extra field or comment)
// made the central record writer copy from a null buffer.
TEST(Records, EmptyNameWritesAndReadsBack)
{
    CZipEntryHeader h = SampleHeader();
    h.fileName.Release();
    h.extraField.Release();
    h.comment.Release();
    WriteStore w;
    EXPECT_EQ(h.WriteCentralRecord(w.store), 46u);
    h.WriteLocalRecord(w.store);
    const Bytes bytes = w.Flushed();
    ASSERT_EQ(bytes.size(), 46u + 30u);
    ReadStore r(bytes);
    CZipEntryHeader back;
    ASSERT_TRUE(back.ReadCentralRecord(r.store));
    EXPECT_EQ(back.fileName.length(), 0u);
    EXPECT_EQ(back.crc32, h.crc32);
}

TEST(Records, LocalRecordMovesTheExtraFieldOutOfTheHeader)
{
    CZipEntryHeader h = SampleHeader();
    WriteStore w;
    Bytes filler(100, 0xEE);
    w.store.Write(filler.data(), 100, true);
    h.WriteLocalRecord(w.store);
    EXPECT_EQ(h.localHeaderOffset, 100u);
    EXPECT_EQ(h.extraField.length(), 0u);
    EXPECT_EQ(h.GetRecordSize(true), 30u + 12);
    EXPECT_EQ(h.GetRecordSize(false), 46u + 12 + 9);
    Bytes b = w.Flushed();
    ASSERT_EQ(b.size(), 100u + 30 + 12 + 5);
    EXPECT_EQ(Get32(b, 100), 0x04034B50u);
    EXPECT_EQ(Get16(b, 100 + 28), 5);  // the extra field went into the local record
    EXPECT_EQ(Get32(b, 100 + 14), 0xCAFEBABEu);
    WriteStore central;
    h.WriteCentralRecord(central.store);
    EXPECT_EQ(Get16(central.Flushed(), 30), 0);
}

TEST(Records, LocalRecordCheck)
{
    CZipEntryHeader central = SampleHeader();
    central.flags = 0x0002;
    WriteStore w;
    CZipEntryHeader local = central;
    local.WriteLocalRecord(w.store);
    const Bytes good = w.Flushed();

    struct Case {
        const char* what;
        size_t at;
        int width;
        uint32_t value;
        bool passes;
    } cases[] = {
        {"unchanged", 0, 0, 0, true},
        {"flags bits 4-15 differ", 6, 2, 0xFFF2, true},
        {"flags bit 3 differs", 6, 2, 0x000A, false},
        {"flags bit 0 differs", 6, 2, 0x0003, false},
        {"time differs", 10, 2, 0x1234, true},
        {"version differs", 4, 2, 45, true},
        {"method differs", 8, 2, 0, false},
        {"crc differs", 14, 4, 1, false},
        {"compressed size differs", 18, 4, 1, false},
        {"uncompressed size differs", 22, 4, 1, false},
        {"name length differs", 26, 2, 11, false},
        {"signature", 0, 4, 0x04034B51, false},
    };
    for (const Case& c : cases) {
        Bytes b = good;
        if (c.width == 2) Put16(b, c.at, static_cast<uint16_t>(c.value));
        if (c.width == 4) Put32(b, c.at, c.value);
        ReadStore r(b);
        uint16_t extra = 0;
        EXPECT_EQ(central.VerifyLocalRecord(r.store, extra), c.passes) << c.what;
        if (c.passes) {
            EXPECT_EQ(extra, 5) << c.what;
            EXPECT_EQ(r.stream->GetPosition(), 30u + 12) << c.what;  // name skipped
        }
    }
    // With bit 3 in both, zeros in the local CRC and sizes are fine.
    Bytes b = good;
    Put16(b, 6, 0x000A);
    for (size_t i = 14; i < 26; ++i) b[i] = 0;
    central.flags = 0x000A;
    ReadStore r(b);
    uint16_t extra = 0;
    EXPECT_TRUE(central.VerifyLocalRecord(r.store, extra));
    // A record cut short throws instead of answering.
    Bytes cut(good.begin(), good.begin() + 20);
    ReadStore rc(cut);
    try {
        central.VerifyLocalRecord(rc.store, extra);
        ADD_FAILURE();
    } catch (const CZipException& e) {
        EXPECT_EQ(e.code, 101);
        EXPECT_EQ(e.reason, ZipReason::streamCut);
    }
}

TEST(Records, DescriptorValues)
{
    CZipEntryHeader h = SampleHeader();
    uint8_t d[12];
    h.StoreDescriptor(d);
    Bytes b(d, d + 12);
    EXPECT_EQ(Get32(b, 0), h.crc32);
    EXPECT_EQ(Get32(b, 4), h.compressedSize);
    EXPECT_EQ(Get32(b, 8), h.uncompressedSize);
    EXPECT_TRUE(h.CompareDescriptor(d));
    d[11] ^= 1;
    EXPECT_FALSE(h.CompareDescriptor(d));
    // The ZIP64 form: 8-byte sizes.
    uint8_t w[20] = {};
    h.StoreDescriptor(w);
    ZipFormat::PutU32(w + 12, h.uncompressedSize);
    ZipFormat::PutU32(w + 8, 0);
    EXPECT_TRUE(h.CompareDescriptor(w, true));
    EXPECT_FALSE(h.CompareDescriptor(w));
    w[16] = 1;  // an uncompressed size past 4 GiB
    EXPECT_FALSE(h.CompareDescriptor(w, true));
}

TEST(Records, PrepareForAdd)
{
    struct Case {
        uint16_t method;
        int level;
        bool descriptor, encrypted;
        uint16_t method_, flags;
        uint32_t compressed;
    } cases[] = {
        {8, 0, false, false, 0, 0x0000, 0},  {8, 6, false, true, 8, 0x0009, 12},
        {8, 9, true, false, 8, 0x000A, 0},   {8, 1, false, false, 8, 0x0006, 0},
        {8, 2, false, false, 8, 0x0004, 0},  {8, 8, false, false, 8, 0x0002, 0},
        {8, -1, false, false, 8, 0x0000, 0}, {12, 5, false, false, 8, 0x0000, 0},
        {0, 5, false, false, 0, 0x0000, 0},
    };
    for (const Case& c : cases) {
        CZipEntryHeader h;
        h.method = c.method;
        h.AssignName("f.txt");
        h.crc32 = 7;
        ASSERT_TRUE(h.PrepareForAdd(c.level, c.descriptor, c.encrypted));
        EXPECT_EQ(h.method, c.method_) << c.level;
        EXPECT_EQ(h.flags, c.flags) << c.level;
        EXPECT_EQ(h.compressedSize, c.compressed);
        EXPECT_EQ(h.crc32, 0u);
        EXPECT_EQ(h.versionNeeded, 20);
        EXPECT_EQ(h.versionMadeBy & 0xFF, 20);
        EXPECT_EQ(std::memcmp(h.signature, "PK\x01\x02", 4), 0);
    }
    CZipEntryHeader dir;
    dir.AssignName("folder\\");
    ASSERT_TRUE(dir.PrepareForAdd(-1, false, false));
    EXPECT_EQ(dir.versionNeeded, 10);
    CZipEntryHeader big;
    big.fileName.Allocate(65535);
    EXPECT_TRUE(big.PrepareForAdd(-1, false, false));
    big.comment.Allocate(65536);
    EXPECT_FALSE(big.PrepareForAdd(-1, false, false));
}

TEST(Records, AttributesBySystem)
{
    struct Case {
        uint8_t system;
        const char* name;
        uint32_t external;
        uint32_t local;
    } cases[] = {
        {3, "d/", 0, 0x41FF0010},          {5, "d/", 0, 0x41FF0010},
        {5, "f", 0x12345678, 0x81A40020},  {5, "d\\", 0x12345678, 0x41FF0010},
        {0, "f", 0x21, 0x21},              {0, "d\\", 0, 0x41FF0010},
        {3, "f", 0x81A40000, 0x20},        {3, "x", 0x41ED0000, 0x10},
        {10, "n", 0x01, 0x01},
    };
    for (const Case& c : cases) {
        CZipEntryHeader h;
        h.versionMadeBy = static_cast<uint16_t>(c.system << 8 | 20);
        h.AssignName(c.name);
        h.externalAttributes = c.external;
        EXPECT_EQ(h.LocalAttributes(), c.local) << int(c.system) << " " << c.name;
        EXPECT_EQ(h.IsDirectory(), (c.local & 0x10) != 0);
    }
    CZipEntryHeader u;
    u.versionMadeBy = 3 << 8;
    u.StoreLocalAttributes(0x10);
    EXPECT_EQ(u.externalAttributes & 0xFFFF0000u, 0x41B40000u);
}

TEST(Records, ModificationTimes)
{
    auto stamp = [](int year, int month, int day, int h, int m, int s) {
        struct tm t = {};
        t.tm_year = year - 1900;
        t.tm_mon = month - 1;
        t.tm_mday = day;
        t.tm_hour = h;
        t.tm_min = m;
        t.tm_sec = s;
        t.tm_isdst = -1;
        return mktime(&t);
    };
    CZipEntryHeader h;
    h.SetModificationTime(stamp(2024, 7, 15, 13, 45, 31));
    EXPECT_EQ(h.modDate, ((2024 - 1980) << 9) | (7 << 5) | 15);
    EXPECT_EQ(h.modTime, (13 << 11) | (45 << 5) | 15);
    EXPECT_EQ(h.GetModificationTime(), stamp(2024, 7, 15, 13, 45, 30));
    for (int year : {1979, 1980, 2108}) {
        h.SetModificationTime(stamp(year, 3, 1, 0, 0, 0));
        EXPECT_EQ(h.modDate >> 9, 0) << year;
    }
    // Regression: the 32-bit Windows build had a 32-bit time_t, which ends
    // in January 2038, so later entry times could not be handed in at all.
    ASSERT_GE(sizeof(time_t), 8u);
    h.SetModificationTime(stamp(2107, 12, 31, 23, 59, 58));
    EXPECT_EQ(h.modDate >> 9, 127);
}

TEST(Records, NameForms)
{
    // System 0: OEM (code page 437) bytes with '/', held as ANSI with '\'.
    CZipEntryHeader dos;
    dos.versionMadeBy = 20;
    dos.fileName.Assign("dir/\x81" "ber.txt", 12);  // 0x81 is u-umlaut in 437
    ConvertNameForm(dos, true);
    EXPECT_EQ(dos.NameAsString(), "dir\\\xFC" "ber.txt");
    ConvertNameForm(dos, false);
    EXPECT_EQ(dos.NameAsString(), "dir/\x81" "ber.txt");
    // System 3: only the separators change.
    CZipEntryHeader unix;
    unix.versionMadeBy = 0x0314;
    unix.fileName.Assign("a/\x81/b", 5);
    ConvertNameForm(unix, true);
    EXPECT_EQ(unix.NameAsString(), "a\\\x81\\b");
    ConvertNameForm(unix, false);
    EXPECT_EQ(unix.NameAsString(), "a/\x81/b");
}

TEST(Records, CopiesAreDeep)
{
    CZipEntryHeader a = SampleHeader();
    CZipEntryHeader b = a;
    b.fileName[0] = 'X';
    b.extraField[0] = 0;
    EXPECT_EQ(a.NameAsString(), "dir/file.txt");
    EXPECT_EQ(a.extraField[0], 0x55);
    const CZipEntryHeader& same = b;
    b = same;
    EXPECT_EQ(b.NameAsString(), "Xir/file.txt");
    a = b;
    EXPECT_EQ(a.NameAsString(), "Xir/file.txt");
    EXPECT_EQ(a.CommentAsString(), "a comment");
}

TEST(Records, RecordReaderStaysInsideItsBytesAndFailsForGood)
{
    const uint8_t bytes[] = {0x01, 0x02, 0x03, 0x04, 0x05, 0x06, 0x07, 0x08, 0x09, 0x0A};
    enum Op { u16, u32, u64, take, skip };
    // A byte run's value is its offset in the bytes, or ~0 for null.
    struct Step {
        Op op;
        uint32_t n;
        uint64_t value;
        bool ok;
        uint32_t left;
    };
    const uint64_t none = ~uint64_t(0);
    struct Case {
        const char* what;
        uint32_t size;
        std::vector<Step> steps;
    } cases[] = {
        {"fields in order", 10, {{u16, 0, 0x0201, true, 8}, {u32, 0, 0x06050403, true, 4}, {u32, 0, 0x0A090807, true, 0}}},
        {"eight bytes", 8, {{u64, 0, 0x0807060504030201, true, 0}, {take, 0, 8, true, 0}}},
        {"a field one byte short", 3, {{u32, 0, 0, false, 0}, {u16, 0, 0, false, 0}}},
        {"failure sticks though the next field would fit", 9, {{u16, 0, 0x0201, true, 7}, {u64, 0, 0, false, 0}, {take, 0, none, false, 0}}},
        {"runs and skips", 10, {{skip, 3, 0, true, 7}, {take, 5, 3, true, 2}, {u16, 0, 0x0A09, true, 0}}},
        {"skipping past the end", 10, {{skip, 11, 0, false, 0}, {u16, 0, 0, false, 0}}},
        {"a run past the end", 10, {{u16, 0, 0x0201, true, 8}, {take, 9, none, false, 0}}},
        {"nothing held", 0, {{take, 0, 0, true, 0}, {u16, 0, 0, false, 0}}},
    };
    for (const Case& c : cases) {
        CZipRecordReader r(bytes, c.size);
        for (size_t i = 0; i < c.steps.size(); ++i) {
            const Step& s = c.steps[i];
            uint64_t got = 0;
            switch (s.op) {
            case u16: got = r.U16(); break;
            case u32: got = r.U32(); break;
            case u64: got = r.U64(); break;
            case take: {
                const uint8_t* p = r.Bytes(s.n);
                got = p ? static_cast<uint64_t>(p - bytes) : none;
                break;
            }
            case skip: EXPECT_EQ(r.Skip(s.n), s.ok) << c.what << " step " << i; break;
            }
            if (s.op != skip) {
                EXPECT_EQ(got, s.value) << c.what << " step " << i;
            }
            EXPECT_EQ(r.Ok(), s.ok) << c.what << " step " << i;
            EXPECT_EQ(r.Remaining(), s.left) << c.what << " step " << i;
        }
    }

    // The writer fills its bytes in order and writes nothing past them.
    uint8_t out[7] = {0, 0, 0, 0, 0, 0, 0xEE};
    CZipRecordWriter w(out, 6);
    w.U16(0x0201);
    w.U32(0x06050403);
    EXPECT_TRUE(w.Ok());
    w.U16(0x0807);
    EXPECT_FALSE(w.Ok());
    EXPECT_EQ(Bytes(out, out + 7), (Bytes{1, 2, 3, 4, 5, 6, 0xEE}));
}

TEST(Records, TruncatedCentralRecordsAreNeverReadPast)
{
    WriteStore w;
    SampleHeader().WriteCentralRecord(w.store);
    const Bytes whole = w.Flushed();
    ASSERT_EQ(whole.size(), 72u);
    EXPECT_EQ(ZipCentralRecordSize(whole.data()), 72u);
    // Each cut copy lives in a block of its own length, so a read past it is
    // a fault the sanitizer build reports.
    struct Case {
        const char* what;
        uint32_t length;
        int32_t parsed;
    } cases[] = {
        {"empty", 0, 0},
        {"inside the signature", 3, 0},
        {"one short of the fixed part", 45, 0},
        {"fixed part only", 46, 0},
        {"inside the name", 50, 0},
        {"inside the comment", 71, 0},
        {"whole", 72, 72},
    };
    for (const Case& c : cases) {
        std::unique_ptr<uint8_t[]> cut(new uint8_t[c.length ? c.length : 1]);
        std::memcpy(cut.get(), whole.data(), c.length);
        CZipEntryHeader h;
        EXPECT_EQ(h.ParseCentralRecord(cut.get(), c.length), c.parsed) << c.what;
    }
    Bytes wrong = whole;
    wrong[3] = 0x06;
    EXPECT_EQ(ZipCentralRecordSize(wrong.data()), 0u);
}
