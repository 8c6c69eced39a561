// The archive object: opening, quiet refusals while closed, entry
// information, password, comments (an unflushed comment change keeps the
// archive whole), spanned archives and their collapse, checked by real tools.
#include <gtest/gtest.h>

#include <cstring>
#include <functional>

#include "archive/ZipAddRequest.h"
#include "archive/ZipArchive.h"
#include "archive/ZipConstants.h"
#include "errors/ZipException.h"
#include "support/code_of.h"
#include "support/memory_archive.h"
#include "support/shell.h"
#include "support/corpus.h"
#include "support/test_platform.h"
#include "support/zip_builder.h"

namespace {

std::vector<ZipEntrySpec> Entries(uint16_t madeBy = 20)
{
    return {{"first.txt", "one", madeBy, 0x20},
            {"docs/second.txt", "two two", madeBy, 0x20},
            {"docs/deeper/third.bin", "three", madeBy, 0x20}};
}

// Adds one entry with the given bytes through the archive's add operation.
void Add(CZipArchive& archive, const std::string& name, const Bytes& data, int level = -1)
{
    auto source = MemoryStream(data);
    CZipAddRequest request(source.get(), name);
    request.level = level;
    ASSERT_TRUE(archive.AddEntry(request)) << name;
}

Bytes Noise(size_t n, uint32_t seed)
{
    Bytes b(n);
    for (size_t i = 0; i < n; ++i) {
        seed = seed * 1103515245u + 12345u;
        b[i] = static_cast<uint8_t>(seed >> 16);
    }
    return b;
}

} // namespace

TEST(Archive, ClosedArchiveAnswersQuietly)
{
    CZipArchive archive;
    CZipEntryHeader h;
    std::vector<uint16_t> found;
    EXPECT_TRUE(archive.IsClosed(true));
    EXPECT_TRUE(archive.IsClosed(false));
    EXPECT_EQ(archive.GetCount(), 0);
    EXPECT_FALSE(archive.GetFileInfo(h, 0));
    EXPECT_EQ(archive.GetArchivePath(), "");
    EXPECT_EQ(archive.GetGlobalComment(), "");
    EXPECT_FALSE(archive.SetGlobalComment("x"));
    EXPECT_FALSE(archive.SetFileComment(0, "x"));
    EXPECT_FALSE(archive.SetSystemId(3));
    archive.FindMatches("*", found);
    EXPECT_TRUE(found.empty());
    EXPECT_NO_THROW(archive.Flush());
    EXPECT_EQ(CodeOf([&] { archive.ThrowError(ZipError::badZipFile); }), 101);

    // Mode 3 exists only for paths: over a stream nothing happens.
    auto stream = MemoryStream(BuildZip(Entries()).bytes);
    archive.Open(*stream, CZipArchive::createSpan);
    EXPECT_TRUE(archive.IsClosed(true));
    archive.Open(*stream, CZipArchive::openExisting);
    ASSERT_FALSE(archive.IsClosed(true));
    EXPECT_EQ(archive.GetCount(), 3);
    // A second open of an open archive does nothing.
    auto other = MemoryStream(BuildMany(10).bytes);
    archive.Open(*other, CZipArchive::openExisting);
    EXPECT_EQ(archive.GetCount(), 3);
}

TEST(Archive, EntryInformation)
{
    MemoryArchive m(BuildZip(Entries()).bytes);
    ASSERT_EQ(m.code, 0);
    CZipEntryHeader h;
    ASSERT_TRUE(m.archive.GetFileInfo(h, 65536 + 1));  // taken as 16 bits: index 1
    EXPECT_EQ(h.NameAsString(), "docs\\second.txt");
    EXPECT_FALSE(m.archive.GetFileInfo(h, 3));
    EXPECT_FALSE(m.archive.GetFileInfo(h, -1));
    // The copy is the caller's own.
    h.fileName[0] = 'X';
    EXPECT_EQ(m.archive.directory.GetHeader(1)->NameAsString(), "docs\\second.txt");

    std::vector<uint16_t> found;
    m.archive.FindMatches("*.TXT", found, false);
    EXPECT_EQ(found, (std::vector<uint16_t>{0, 1}));
    found.clear();
    m.archive.FindMatches("docs?*", found, true);
    EXPECT_EQ(found, (std::vector<uint16_t>{1, 2}));
    found.clear();
    m.archive.FindMatches("third.bin", found, false);
    EXPECT_EQ(found, (std::vector<uint16_t>{2}));
}

TEST(Archive, ExtractedNames)
{
    CZipArchive archive;
    struct Case {
        const char* entry;
        const char* path;
        bool fullPath;
        const char* newName;
        const char* expected;
    } cases[] = {
        {"docs\\a.txt", "out", true, nullptr, "out\\docs\\a.txt"},
        {"\\docs\\a.txt", "out\\\\", true, nullptr, "out\\docs\\a.txt"},
        {"docs\\a.txt", "out", false, nullptr, "out\\a.txt"},
        {"docs\\a.txt", "", true, nullptr, "docs\\a.txt"},
        {"docs\\a.txt", "out", true, "other\\b.bin", "out\\other\\b.bin"},
        {"", "out", true, nullptr, "out"},
    };
    for (const Case& c : cases)
        EXPECT_EQ(archive.GetExtractedName(c.entry, c.path, c.fullPath, c.newName), c.expected) << c.entry;

    // With a root path, fullPath false keeps what lies below the root.
    MemoryArchive m(BuildZip(Entries()).bytes);
    ASSERT_EQ(m.code, 0);
    m.archive.SetRootPath("DOCS\\/");
    EXPECT_EQ(m.archive.rootPath, "DOCS");
    EXPECT_EQ(m.archive.GetExtractedName("docs\\deeper\\x.txt", "out", false, nullptr), "out\\deeper\\x.txt");
    EXPECT_EQ(m.archive.GetExtractedName("docsy\\x.txt", "out", false, nullptr), "out\\x.txt");
}

TEST(Archive, Password)
{
    MemoryArchive m(BuildZip(Entries()).bytes);
    ASSERT_EQ(m.code, 0);
    CZipArchive& a = m.archive;
    EXPECT_TRUE(a.SetPassword("secret"));
    EXPECT_EQ(a.GetPassword(), "secret");
    EXPECT_FALSE(a.SetPassword("caf\xE9"));
    EXPECT_EQ(a.GetPassword(), "");
    EXPECT_TRUE(a.SetPassword("again"));
    EXPECT_TRUE(a.SetPassword(""));
    EXPECT_EQ(a.password.length(), 0u);
    EXPECT_TRUE(a.SetPassword("kept"));
    a.entryState = -1;  // an entry open for reading
    EXPECT_FALSE(a.SetPassword("new"));
    EXPECT_FALSE(a.SetPassword(nullptr));
    EXPECT_EQ(a.GetPassword(), "kept");
    a.entryState = 0;
    EXPECT_TRUE(a.SetPassword(nullptr));
    EXPECT_EQ(a.GetPassword(), "");
}

TEST(Archive, SystemIdFollowsTheFirstEntry)
{
    struct Case {
        uint16_t madeBy;
        int systemId;
    } cases[] = {{0x0314, 3}, {0x0214, 0}, {0x0A14, 10}, {0x0014, 0}, {0x1E14, 0}};
    for (const Case& c : cases) {
        MemoryArchive m(BuildZip(Entries(c.madeBy)).bytes);
        ASSERT_EQ(m.code, 0);
        EXPECT_EQ(m.archive.systemId, c.systemId) << std::hex << c.madeBy;
        EXPECT_FALSE(m.archive.SetSystemId(2));
        EXPECT_TRUE(m.archive.SetSystemId(7));
        EXPECT_EQ(m.archive.systemId, 7);
    }
}

TEST(Archive, SettingsAndCallbacks)
{
    struct Counter : CZipActionCallback {
        bool Callback(uint32_t) override { return true; }
    } one, two;
    CZipArchive a;
    a.SetCallback(&one, ZipFormat::callbackExtract | ZipFormat::callbackSave);
    a.SetCallback(&two, ZipFormat::callbackDelete);
    EXPECT_EQ(a.GetCallback(ZipFormat::callbackExtract), &one);
    EXPECT_EQ(one.kind, ZipFormat::callbackExtract);
    EXPECT_EQ(a.GetCallback(ZipFormat::callbackSave), &one);
    EXPECT_EQ(one.kind, ZipFormat::callbackSave);
    EXPECT_EQ(a.GetCallback(ZipFormat::callbackDelete), &two);
    EXPECT_EQ(a.GetCallback(ZipFormat::callbackAdd), nullptr);
    a.SetCallback(nullptr, ZipFormat::callbackAll);
    EXPECT_EQ(a.GetCallback(ZipFormat::callbackExtract), nullptr);
    EXPECT_TRUE(a.callbacks.empty());

    a.SetTempPath("/tmp/x//", false);
    EXPECT_EQ(a.tempPath, "/tmp/x");
    // Closed: the root path and auto-flush are not taken.
    a.SetRootPath("r");
    EXPECT_EQ(a.rootPath, "");
    a.SetAutoFlush(true);
    EXPECT_FALSE(a.autoFlush);
    EXPECT_NO_THROW(a.CheckZlibResult(2));
    EXPECT_EQ(CodeOf([&] { a.CheckZlibResult(1); }), 500);
    EXPECT_EQ(CodeOf([&] { a.CheckZlibResult(-3); }), 504);
}

TEST(Archive, TrackedAllocatorFreesWhatZlibLeaves)
{
    CZipArchive a;
    void* kept = CZipArchive::TrackedAlloc(&a.trackedBlocks, 10, 100);
    void* released = CZipArchive::TrackedAlloc(&a.trackedBlocks, 1, 64);
    void* untracked = CZipArchive::TrackedAlloc(nullptr, 1, 8);
    ASSERT_TRUE(kept && released && untracked);
    EXPECT_EQ(a.trackedBlocks.size(), 2u);
    CZipArchive::TrackedFree(&a.trackedBlocks, released);
    CZipArchive::TrackedFree(nullptr, untracked);
    EXPECT_EQ(a.trackedBlocks.size(), 1u);
    a.ReleaseTrackedBlocks();  // the leak checker sees "kept" go
    EXPECT_TRUE(a.trackedBlocks.empty());
    // A real inflate whose end is never called: the archive still frees it.
    CZipArchive b;
    b.transfer.zstream.opaque = &b.trackedBlocks;
    ASSERT_EQ(inflateInit2(&b.transfer.zstream, -15), Z_OK);
    EXPECT_FALSE(b.trackedBlocks.empty());
}

TEST(Archive, ErrorsCarryTheArchivePath)
{
    TempDir dir;
    std::string path = dir.File("p.zip");
    WriteWholeFile(path, BuildZip(Entries()).bytes);
    CZipArchive onDisk;
    onDisk.Open(path.c_str());
    try {
        onDisk.ThrowError(ZipError::badCrc);
    } catch (const CZipException& e) {
        EXPECT_EQ(e.code, 102);
        EXPECT_EQ(e.archivePath, path);
    }
    EXPECT_EQ(onDisk.GetArchivePath(), path);
    MemoryArchive m(BuildZip(Entries()).bytes);
    ASSERT_EQ(m.code, 0);
    try {
        m.archive.ThrowError(Z_DATA_ERROR, true);
    } catch (const CZipException& e) {
        EXPECT_EQ(e.code, 504);
        EXPECT_EQ(e.archivePath, "");
    }
    // Opening a damaged file by path reports the path too.
    std::string bad = dir.File("bad.zip");
    WriteWholeFile(bad, Bytes(10, 'P'));
    CZipArchive broken;
    try {
        broken.Open(bad.c_str());
        ADD_FAILURE();
    } catch (const CZipException& e) {
        EXPECT_EQ(e.code, 116);
        EXPECT_EQ(e.reason, ZipReason::endRecordMissing);
    }
}

// A comment change must never leave the archive without its directory,
// whether or not Flush follows.
TEST(Comments, UnflushedChangesKeepTheArchiveWhole)
{
    ZIPEXT_NEED_LINUX_TOOLS("unzip");
    TempDir dir;
    std::string path = dir.File("c.zip");
    ZipBuildOptions options;
    options.comment = "old comment";
    const Bytes original = BuildZip(Entries(), options).bytes;
    struct Case {
        const char* what;
        std::function<bool(CZipArchive&)> change;
    } cases[] = {
        {"archive comment", [](CZipArchive& a) { return a.SetGlobalComment("new comment"); }},
        {"entry comment", [](CZipArchive& a) { return a.SetFileComment(1, "entry note"); }},
        {"both", [](CZipArchive& a) { return a.SetFileComment(0, "e") && a.SetGlobalComment("g"); }},
    };
    for (const Case& c : cases) {
        WriteWholeFile(path, original);
        {
            CZipArchive a;
            a.Open(path.c_str());
            ASSERT_TRUE(c.change(a)) << c.what;
        }  // destroyed without Flush
        EXPECT_EQ(ReadWholeFile(path), original) << c.what;
        EXPECT_TRUE(Shell("unzip -tqq " + Quote(path))) << c.what;
    }
}

TEST(Comments, FlushedChangesAreWrittenOnce)
{
    ZIPEXT_NEED_LINUX_TOOLS("Python and unzip");
    TempDir dir;
    std::string path = dir.File("c.zip");
    ZipBuildOptions options;
    options.comment = "a much longer old comment that goes away";
    WriteWholeFile(path, BuildZip(Entries(), options).bytes);
    {
        CZipArchive a;
        a.Open(path.c_str());
        ASSERT_TRUE(a.SetFileComment(1, "entry note"));
        ASSERT_TRUE(a.SetGlobalComment("new"));
        EXPECT_EQ(a.GetGlobalComment(), "new");
        a.Flush();
        // Too long for the 16-bit length: refused, nothing changes.
        std::string tooLong(65536, 'x');
        EXPECT_FALSE(a.SetGlobalComment(tooLong.c_str()));
        EXPECT_EQ(a.GetGlobalComment(), "new");
    }
    EXPECT_TRUE(Shell("unzip -tqq " + Quote(path)));
    EXPECT_TRUE(Python("import zipfile\nz = zipfile.ZipFile('" + path + "')\n"
                       "assert z.comment == b'new', z.comment\n"
                       "assert z.getinfo('docs/second.txt').comment == b'entry note'\n"
                       "assert z.read('docs/deeper/third.bin') == b'three'\n"));
    // Nothing of the old directory is left behind.
    CZipArchive again;
    again.Open(path.c_str());
    EXPECT_EQ(again.directory.endInfo.foreignBytes, 0u);
    EXPECT_EQ(again.directory.endInfo.endRecordOffset + 22 + 3, ReadWholeFile(path).size());
}

TEST(Comments, AutoFlushWritesAtOnceOverAStream)
{
    ZipBuildOptions options;
    options.comment = "before";
    MemoryArchive m(BuildZip(Entries(), options).bytes);
    ASSERT_EQ(m.code, 0);
    m.archive.SetAutoFlush(true);
    ASSERT_TRUE(m.archive.SetGlobalComment("after, and longer"));
    MemoryArchive reread(m.Contents());
    ASSERT_EQ(reread.code, 0);
    EXPECT_EQ(reread.archive.GetGlobalComment(), "after, and longer");
    EXPECT_EQ(reread.archive.GetCount(), 3);
}

TEST(Spanned, LastVolumeOfASplitSetIsReadOnly)
{
    ZIPEXT_NEED_LINUX_TOOLS("sh and zip");
    ZIPEXT_NEED_CORPUS();
    TempDir dir;
    // The last piece of a set of two: directory and end record, the entries
    // on the first piece.
    ZipLayout whole = BuildZip(Entries());
    Bytes piece(whole.bytes.begin() + whole.directoryOffset, whole.bytes.end());
    const size_t end = piece.size() - 22;
    Put16(piece, end + 4, 1);
    Put16(piece, end + 6, 1);
    Put32(piece, end + 16, 0);
    std::string path = dir.File("last.zip");
    WriteWholeFile(path, piece);
    CZipArchive a;
    a.Open(path.c_str());
    EXPECT_EQ(a.store.SpanState(), -1);
    EXPECT_EQ(a.GetCount(), 3);
    EXPECT_FALSE(a.SetGlobalComment("no"));
    a.directory.DiscardWrittenDirectory();  // not even a forced rewrite
    a.Flush();
    EXPECT_EQ(ReadWholeFile(path), piece);
    // The entries lie on the first piece, which cannot be reached.
    EXPECT_EQ(CodeOf([&] { a.directory.OpenEntryData(0); }), 108);

    // This Info-ZIP last piece says its directory starts at the very end of
    // the first piece: 108 before any header is read.
    ASSERT_TRUE(Shell("cd " + Quote(dir.Path()) + " && head -c 65501 /dev/urandom > a && "
                      "zip -q -X -0 -s 64k split.zip a"));
    std::string split = dir.File("split.zip");
    CZipArchive b;
    EXPECT_EQ(CodeOf([&] { b.Open(split.c_str()); }), 108);
    EXPECT_EQ(b.GetCount(), 0);
    // A corpus last piece that holds its whole directory opens read-only.
    std::string corpus = std::string(ZIPEXT_CORPUS_DIR) + "/spanned/infozip-generated-split64k/split.zip";
    CZipArchive c;
    c.Open(corpus.c_str());
    EXPECT_EQ(c.store.SpanState(), -1);
    EXPECT_EQ(c.GetCount(), 4);
}

TEST(Spanned, CreatedOverSizedVolumesAndReadByOtherTools)
{
    ZIPEXT_NEED_LINUX_TOOLS("sh, zip, unzip and 7zz");
    // Volumes .000, .001, ... and the last renamed to .zip; Info-ZIP and
    // 7-Zip call them .z01, .z02, ... 7-Zip tests the set as it is. Info-ZIP
    // joins it (its join loses data of entries spread over three or more
    // pieces, its own splits included, so the entries here span two at most)
    // and tests the joined archive.
    struct Case {
        int32_t volumeSize;
        size_t bigSize;
        int volumes;
        bool infoZipJoins;
    } cases[] = {{65536, 150000, 3, false}, {100000, 150000, 2, true}};
    for (const Case& c : cases) {
        TempDir dir;
        std::string path = dir.File("span.zip");
        {
            CZipArchive a;
            a.Open(path.c_str(), CZipArchive::createSpan, c.volumeSize);
            Add(a, "big.bin", Noise(c.bigSize, 1));
            Add(a, "dir\\small.bin", Noise(3000, 2));
            Add(a, "text.txt", Bytes(20000, 'T'));
            a.Flush();
        }
        std::string cd = "cd " + Quote(dir.Path()) + " && ";
        ASSERT_TRUE(Shell(cd + "test -f span.000 && test ! -f span.00" + std::to_string(c.volumes - 1)));
        Bytes first = ReadWholeFile(dir.File("span.000"));
        EXPECT_EQ(first.size(), static_cast<size_t>(c.volumeSize));
        EXPECT_EQ(Get32(first, 0), 0x08074B50u);  // span marker
        ASSERT_TRUE(Shell(cd + "n=1; for f in span.0*; do mv $f span.z$(printf %02d $n); n=$((n+1)); done"));
        EXPECT_TRUE(Shell(cd + "7zz t -bso0 -bsp0 span.zip")) << c.volumeSize;
        if (c.infoZipJoins) {
            EXPECT_TRUE(Shell(cd + "zip -q -s 0 span.zip --out joined.zip && unzip -tqq joined.zip"));
        }
        // The last volume opens read-only with every entry listed.
        CZipArchive last;
        last.Open(path.c_str());
        EXPECT_EQ(last.store.SpanState(), -1);
        EXPECT_EQ(last.GetCount(), 3);
    }
}

TEST(Spanned, OneVolumeBecomesAnOrdinaryArchive)
{
    ZIPEXT_NEED_LINUX_TOOLS("Python and unzip");
    // Small enough to be still in the write buffer, or already flushed to
    // the file (collapsed through a file mapping).
    for (size_t size : {size_t(2000), size_t(300000)}) {
        TempDir dir;
        std::string path = dir.File("one.zip");
        {
            CZipArchive a;
            a.Open(path.c_str(), CZipArchive::createSpan, 10 * 1024 * 1024);
            Add(a, "a.bin", Noise(size, 3));
            Add(a, "b.txt", Bytes(size / 2, 'b'));
            Add(a, "empty", {});
            a.Flush();
        }
        EXPECT_FALSE(Shell("test -e " + Quote(dir.File("one.000")))) << size;
        Bytes image = ReadWholeFile(path);
        ASSERT_GT(image.size(), 4u);
        EXPECT_EQ(Get32(image, 0), 0x04034B50u) << size;  // no span marker
        EXPECT_TRUE(Shell("unzip -tqq " + Quote(path))) << size;
        EXPECT_TRUE(Python("import zipfile\nz = zipfile.ZipFile('" + path + "')\n"
                           "assert [i.flag_bits & 8 for i in z.infolist()] == [0, 0, 0]\n"
                           "assert len(z.read('a.bin')) == " + std::to_string(size) + "\n"
                           "assert z.testzip() is None\n")) << size;
        MemoryArchive m(image);
        ASSERT_EQ(m.code, 0);
        EXPECT_EQ(m.archive.store.SpanState(), 0);
        EXPECT_EQ(m.archive.directory.GetHeader(0)->localHeaderOffset, 0u);
    }
}
