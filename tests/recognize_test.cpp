// Recognition through the module's export, as the engine calls it: over an
// engine stream, at base offset 0 and inside a larger stream.
#include <gtest/gtest.h>

#include <fstream>
#include <sstream>

#include "support/shell.h"
#include "support/fake_host.h"
#include "support/corpus.h"
#include "support/test_platform.h"
#include "support/zip_builder.h"

namespace {

using RecognizeFunction = int (*)(VFStream*, void*, unsigned int, int, const unsigned char*);

class Module {
public:
    Module()
    {
        handle = LoadModule(ZIPEXT_MODULE_PATH);
        if (handle) recognize = reinterpret_cast<RecognizeFunction>(ModuleSymbol(handle, "ZipArchive_Recongnize"));
    }
    ~Module()
    {
        if (handle) UnloadModule(handle);
    }
    void* handle = nullptr;
    RecognizeFunction recognize = nullptr;
};

Module& TheModule()
{
    static Module module;
    return module;
}

struct Outcome {
    int result;
    int reads;
    int writes;  // writes and size changes: recognition must make none
};

// Recognises an image placed `base` bytes into the engine's stream.
Outcome Recognize(const Bytes& image, uint32_t base = 0)
{
    Bytes data(base, 0xA5);
    data.insert(data.end(), image.begin(), image.end());
    FakeHostStream host(data);
    unsigned char first[2] = {0, 0};
    for (size_t i = 0; i < 2 && i < image.size(); ++i) first[i] = image[i];
    int result = TheModule().recognize(&host, nullptr, base, 0, first);
    return {result, host.readCalls, host.writeCalls + host.setSizeCalls};
}

std::string Corpus(const std::string& relative)
{
    return std::string(ZIPEXT_CORPUS_DIR) + "/" + relative;
}

} // namespace

TEST(Recognize, ModuleExportsTheMisspelledName)
{
    ASSERT_NE(TheModule().handle, nullptr) << ModuleLoadError();
    ASSERT_NE(TheModule().recognize, nullptr);
    EXPECT_EQ(ModuleSymbol(TheModule().handle, "ZipArchive_Recognize"), nullptr);
}

TEST(Recognize, ArchivesAtBaseZeroAndInsideALargerStream)
{
    ZIPEXT_NEED_LINUX_TOOLS("sh, zip and 7zz");
    ASSERT_NE(TheModule().recognize, nullptr);
    TempDir dir;
    std::string a = dir.File("a.zip"), b = dir.File("b.zip");
    ASSERT_TRUE(Shell("cd " + Quote(dir.Path()) + " && printf 'hello world' > h.txt && mkdir -p d && "
                      "seq 1 3000 > d/n.txt && zip -qr a.zip h.txt d"));
    ASSERT_TRUE(Shell("cd " + Quote(dir.Path()) + " && 7zz a -tzip -bso0 -bsp0 b.zip h.txt d"));
    ZipBuildOptions commented;
    commented.comment.assign(65535, '#');
    const Bytes images[] = {ReadWholeFile(a), ReadWholeFile(b), BuildMany(300).bytes,
                            BuildZip({{"x", "y"}}, commented).bytes};
    for (const Bytes& image : images) {
        for (uint32_t base : {0u, 1u, 4096u, 70000u}) {
            Outcome o = Recognize(image, base);
            EXPECT_EQ(o.result, 1) << "base " << base;
            EXPECT_EQ(o.writes, 0);
        }
    }
}

TEST(Recognize, NotArchives)
{
    ASSERT_NE(TheModule().recognize, nullptr);
    ZipLayout good = BuildZip({{"a", "b"}});
    Bytes noEnd = good.bytes;
    noEnd.resize(good.endOffset);
    Bytes badDirectory = good.bytes;
    badDirectory[good.directoryOffset] = 'X';
    Bytes lowerK = good.bytes;
    lowerK[1] = 'k';
    Bytes swapped = good.bytes;
    std::swap(swapped[0], swapped[1]);
    Bytes noEntry = good.bytes;
    noEntry[good.directoryOffset] = 'X';
    noEntry[3] = 0;
    struct Case {
        const char* what;
        Bytes image;
        bool readsAllowed;
    } cases[] = {
        {"damaged central record, no local header at the start", noEntry, true},
        {"P then lower-case k", lowerK, false},
        {"K then P", swapped, false},
        {"empty", {}, false},
        {"text", {'P', 'K', ' ', 'i', 's', ' ', 'n', 'o', 't'}, true},
    };
    // Entries whose directory is missing or damaged are still an archive.
    for (const Bytes& image : {noEnd, badDirectory}) {
        Outcome o = Recognize(image, 12);
        EXPECT_EQ(o.result, 1);
        EXPECT_EQ(o.writes, 0);
    }
    for (const Case& c : cases) {
        Outcome o = Recognize(c.image, 12);
        EXPECT_EQ(o.result, 0) << c.what;
        EXPECT_EQ(o.writes, 0) << c.what;
        if (!c.readsAllowed) {
            EXPECT_EQ(o.reads, 0) << c.what;
        }
    }
}

TEST(Recognize, PiecesOfSplitArchives)
{
    ZIPEXT_NEED_LINUX_TOOLS("sh and zip");
    ASSERT_NE(TheModule().recognize, nullptr);
    TempDir dir;
    // A zip -s set whose first piece ends exactly with the one entry, so the
    // last piece begins with the central directory (and so with "PK"): the
    // engine shows it to us, and it is a ZIP archive.
    ASSERT_TRUE(Shell("cd " + Quote(dir.Path()) + " && head -c 65501 /dev/urandom > a && "
                      "zip -q -X -0 -s 64k split.zip a"));
    Bytes last = ReadWholeFile(dir.File("split.zip"));
    ASSERT_EQ(ReadWholeFile(dir.File("split.z01")).size(), 65536u);
    ASSERT_EQ(Get32(last, 0), 0x02014B50u);
    for (uint32_t base : {0u, 333u}) {
        Outcome o = Recognize(last, base);
        EXPECT_EQ(o.result, 1) << base;
        EXPECT_EQ(o.writes, 0);
        // The first piece starts with the span marker and has no end record.
        EXPECT_EQ(Recognize(ReadWholeFile(dir.File("split.z01")), base).result, 0);
    }
    // A piece whose end record puts the directory on an earlier volume: the
    // open stops with 108, which still means "ZIP archive".
    ZipLayout piece = BuildZip({{"a", "b"}});
    Put16(piece.bytes, piece.endOffset + 4, 3);
    Put16(piece.bytes, piece.endOffset + 6, 2);
    EXPECT_EQ(Recognize(piece.bytes, 0).result, 1);
    EXPECT_EQ(Recognize(piece.bytes, 5000).result, 1);
    // Last pieces that begin inside an entry's data do not start with the
    // signature and are turned away unread, as the engine's first bytes say.
    for (const char* lastPiece : {"spanned/commons-compress-infozip/split_zip_created_by_zip.zip",
                                  "spanned/commons-compress-winrar/split_zip_created_by_winrar.zip",
                                  "spanned/infozip-generated-split64k/split.zip"}) {
        Outcome o = Recognize(ReadWholeFile(Corpus(lastPiece)));
        EXPECT_EQ(o.result, 0) << lastPiece;
        EXPECT_EQ(o.reads, 0) << lastPiece;
    }
}

TEST(Recognize, WholeCorpusWithoutWrites)
{
    ZIPEXT_NEED_CORPUS();
    // Every archive of the corpus: an answer, no write. Plain single-volume
    // archives that begin with a local header must be recognised.
    ASSERT_NE(TheModule().recognize, nullptr);
    std::ifstream list(Corpus("ARCHIVES.tsv"));
    std::string line;
    std::getline(list, line);
    int expectedOnes = 0;
    while (std::getline(list, line)) {
        std::istringstream fields(line);
        std::string path, size, entries, prepended, delta, commentLength, commentPk, zip64, disks;
        std::getline(fields, path, '\t');
        std::getline(fields, size, '\t');
        std::getline(fields, entries, '\t');
        std::getline(fields, prepended, '\t');
        std::getline(fields, delta, '\t');
        std::getline(fields, commentLength, '\t');
        std::getline(fields, commentPk, '\t');
        std::getline(fields, zip64, '\t');
        std::getline(fields, disks, '\t');
        Bytes image = ReadWholeFile(Corpus(path));
        Outcome o = Recognize(image);
        EXPECT_EQ(o.writes, 0) << path;
        bool plain = image.size() > 4 && image[0] == 'P' && image[1] == 'K' && image[2] == 3 &&
                     image[3] == 4 && disks == "disk=0 cd-disk=0" &&
                     line.find("malformed") == std::string::npos &&
                     line.find("unparseable") == std::string::npos &&
                     line.find("fuzz") == std::string::npos && commentPk == "no";
        // Two central records naming one local header: refused.
        if (path == "structure/commons-compress/COMPRESS-227.zip") plain = false;
        if (plain) {
            ++expectedOnes;
            EXPECT_EQ(o.result, 1) << path;
        }
    }
    EXPECT_GT(expectedOnes, 100);
}
