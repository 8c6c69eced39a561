// The self-test export TestEntry over real archives: every file it writes
// lands in Test/ of the current directory under the entry's file name, with
// the bytes the corpus manifest records, and no entry name can make it write
// anywhere else.
#include <gtest/gtest.h>

#include <fcntl.h>
#ifdef _WIN32
#include <io.h>
#include <share.h>
#else
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#endif

#include <atomic>
#include <filesystem>
#include <thread>
#include <fstream>
#include <map>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "decoders/ZipArchiveEx.h"
#include "errors/ZipException.h"
#include "plugin/VFInterfaces.h"
#include "support/reading_support.h"
#include "support/corpus.h"
#include "support/shell.h"
#include "support/test_platform.h"
#include "support/zip_builder.h"

using namespace reading;

namespace {

struct ManifestEntry {
    std::string entry;
    int method = 0;
    uint32_t flags = 0;
    std::string sha256;
    std::string password;
    std::string notes;
};

std::map<std::string, std::vector<ManifestEntry>> LoadManifest()
{
    std::map<std::string, std::vector<ManifestEntry>> byArchive;
    std::ifstream in(std::string(ZIPEXT_CORPUS_DIR) + "/MANIFEST.tsv");
    std::string line;
    std::getline(in, line);  // column names
    while (std::getline(in, line)) {
        std::vector<std::string> cols;
        std::stringstream row(line);
        std::string col;
        while (std::getline(row, col, '\t')) cols.push_back(col);
        if (cols.size() < 9) continue;
        ManifestEntry e;
        e.entry = cols[1];
        e.method = std::atoi(cols[2].c_str());
        e.flags = static_cast<uint32_t>(std::strtoul(cols[3].c_str(), nullptr, 16));
        e.sha256 = cols[7];
        e.password = cols[8];
        if (cols.size() > 13) e.notes = cols[13];
        byArchive[cols[0]].push_back(e);
    }
    return byArchive;
}

std::string BaseName(const std::string& name)
{
    const size_t cut = name.find_last_of("/\\");
    return cut == std::string::npos ? name : name.substr(cut + 1);
}

// Every path below dir, relative to it, with '/' after directories (links
// are listed, not followed).
void ListTree(const std::string& dir, const std::string& prefix, std::vector<std::string>& out)
{
    std::error_code error;
    for (std::filesystem::directory_iterator it(dir, error), end; !error && it != end; it.increment(error)) {
        const std::string name = NarrowName(it->path().filename());
        std::error_code ignored;
        if (it->symlink_status(ignored).type() == std::filesystem::file_type::directory) {
            out.push_back(prefix + name + "/");
            ListTree(dir + "/" + name, prefix + name + "/", out);
        } else {
            out.push_back(prefix + name);
        }
    }
}

// Runs the test with the current directory inside a scratch directory.
class InScratchDirectory {
public:
    InScratchDirectory()
    {
        previous = std::filesystem::current_path();
        std::error_code error;
        std::filesystem::current_path(scratch.Path(), error);
        EXPECT_FALSE(error) << error.message();
    }
    ~InScratchDirectory()
    {
        std::error_code error;
        std::filesystem::current_path(previous, error);
        EXPECT_FALSE(error) << error.message();
    }
    const TempDir& dir() const { return scratch; }

private:
    TempDir scratch;
    std::filesystem::path previous;
};

bool MethodIsRead(int method)
{
    return method >= 0 && method <= 0xFFFF && ZipReadsMethod(static_cast<uint16_t>(method));
}

bool IsPlainAscii(const std::string& s)
{
    for (unsigned char c : s) {
        if (c < 0x20 || c >= 0x7F) return false;
    }
    return true;
}

} // namespace

TEST(SelfTest, EveryFileOfTheCorpusLandsInTestWithTheManifestBytes)
{
    ZIPEXT_NEED_CORPUS();
    const auto manifest = LoadManifest();
    ASSERT_GT(manifest.size(), 100u);
    InScratchDirectory scratch;
    int filesChecked = 0;
    int entriesCovered = 0;
    for (const auto& archive : manifest) {
        const std::string path = std::string(ZIPEXT_CORPUS_DIR) + "/" + archive.first;
        RemoveTree("Test");
        EXPECT_EQ(TestEntry(path.c_str()), 0);

        // Nothing but Test/ appears, and Test/ holds only files and the
        // directories of entries marked as directories, one level deep.
        std::vector<std::string> top;
        ListTree(".", "", top);
        for (const std::string& item : top) {
            EXPECT_TRUE(item.rfind("Test/", 0) == 0) << archive.first << ": " << item;
            const size_t slash = item.find('/', 5);
            EXPECT_TRUE(slash == std::string::npos || slash + 1 == item.size()) << archive.first << ": " << item;
        }

        // Each file holds the bytes of an entry of that name. Names that the
        // code-page conversion changed are matched by content alone; names
        // whose entries have unknown bytes cannot be checked.
        std::map<std::string, std::set<std::string>> known;
        std::set<std::string> anyEntry;
        std::set<std::string> uncheckable;
        for (const ManifestEntry& e : archive.second) {
            if (e.sha256 == "-") {
                uncheckable.insert(BaseName(e.entry));
            } else {
                known[BaseName(e.entry)].insert(e.sha256);
                anyEntry.insert(e.sha256);
            }
        }
        std::vector<std::string> written;
        ListTree("Test", "", written);
        std::set<std::string> writtenNames(written.begin(), written.end());
        for (const std::string& file : written) {
            if (file.back() == '/' || uncheckable.count(file)) continue;
            const std::string sha = Sha256OfFile("Test/" + file);
            const auto candidates = known.find(file);
            if (candidates != known.end())
                EXPECT_TRUE(candidates->second.count(sha)) << archive.first << ": " << file;
            else
                EXPECT_TRUE(anyEntry.count(sha)) << archive.first << ": " << file;
            ++filesChecked;
        }

        // Every entry this module reads, whose name is unique in its archive,
        // was written, if the archive opens at all.
        // Pieces of spanned sets hold their data on other volumes.
        if (archive.first.rfind("spanned/", 0) == 0) continue;
        std::set<std::string> directories;
        try {
            CZipArchiveEx probe;
            probe.Open(path.c_str(), CZipArchive::openExisting, 0);
            for (int i = 0; i < probe.GetCount(); ++i) {
                CZipEntryHeader header;
                if (probe.GetFileInfo(header, i) && header.IsDirectory())
                    directories.insert(BaseName(header.NameAsString()));
            }
        } catch (const CZipException&) {
            continue;
        }
        std::map<std::string, int> nameCount;
        for (const ManifestEntry& e : archive.second) ++nameCount[BaseName(e.entry)];
        for (const ManifestEntry& e : archive.second) {
            const std::string name = BaseName(e.entry);
            if (e.sha256 == "-" || e.password != "-" || (e.flags & 1) || !MethodIsRead(e.method) ||
                name.empty() || !IsPlainAscii(name) || name.back() == '.' || nameCount[name] != 1 ||
                directories.count(name))
                continue;
            // Local headers that are missing or disagree with the central
            // record are damage the module reports (101).
            if (e.notes.find("LFH-missing") != std::string::npos ||
                e.notes.find("bit3-in-CD-only") != std::string::npos)
                continue;
            EXPECT_TRUE(writtenNames.count(name)) << archive.first << ": " << e.entry;
            ++entriesCovered;
        }
    }
    std::printf("self-test: %d files compared, %d entries required\n", filesChecked, entriesCovered);
    EXPECT_GT(filesChecked, 300);
    EXPECT_GT(entriesCovered, 250);
}

TEST(SelfTest, NamesAndLinksCannotLeadOutOfTest)
{
    InScratchDirectory scratch;
    const std::string outside = scratch.dir().File("outside");
    std::filesystem::create_directory(outside);
    WriteWholeFile(outside + "/victim.txt", Bytes{'k', 'e', 'e', 'p'});
    // A hostile archive: climbing, absolute, drive and device names, names
    // that are nothing but dots, and one aimed at a planted link; stored
    // entries of system 0 (MS-DOS), as Python's zipfile writes them.
    const std::string archive = scratch.dir().File("hostile.zip");
    std::vector<ZipEntrySpec> entries;
    for (const char* n : {"../climb1.txt", "a/../../climb2.txt", "/abs/abs.txt", "..", "...", ". .", "x/..",
                          "..\\..\\climb3.txt", "C:drive.txt", "CON", "nul.txt", "victim.txt", "plain.txt"})
        entries.push_back({n, std::string("hostile ") + n});
    WriteWholeFile(archive, BuildZip(entries).bytes);

    // A link planted where an entry goes must be replaced, not written
    // through. Windows lets only privileged processes make links: there the
    // names are tried without it when the link cannot be made.
    std::filesystem::create_directory("Test");
    std::error_code linkError;
    std::filesystem::create_symlink(outside + "/victim.txt", "Test/victim.txt", linkError);
#ifdef _WIN32
    const bool linked = !linkError;
    if (!linked) std::printf("no symbolic link on this system (%s): names only\n", linkError.message().c_str());
#else
    ASSERT_FALSE(linkError) << linkError.message();
    const bool linked = true;
#endif
    EXPECT_EQ(TestEntry(archive.c_str()), 0);
    EXPECT_TRUE(ReadWholeFile(outside + "/victim.txt") == (Bytes{'k', 'e', 'e', 'p'}));
    EXPECT_EQ(std::filesystem::symlink_status("Test/victim.txt").type(), std::filesystem::file_type::regular);
    const Bytes plain = ReadWholeFile("Test/plain.txt");
    EXPECT_EQ(std::string(plain.begin(), plain.end()), "hostile plain.txt");

    std::vector<std::string> tree;
    ListTree(scratch.dir().Path(), "", tree);
    const std::set<std::string> expected = {
        "outside/", "outside/victim.txt", "hostile.zip", "Test/", "Test/victim.txt", "Test/plain.txt",
        "Test/climb1.txt", "Test/climb2.txt", "Test/climb3.txt", "Test/abs.txt", "Test/drive.txt"};
    EXPECT_EQ(std::set<std::string>(tree.begin(), tree.end()), expected);

    // Test itself a link to elsewhere: nothing is extracted through it.
    if (!linked) return;
    RemoveTree("Test");
    std::filesystem::create_directory_symlink(outside, "Test", linkError);
    ASSERT_FALSE(linkError) << linkError.message();
    EXPECT_EQ(TestEntry(archive.c_str()), 0);
    tree.clear();
    ListTree(outside, "", tree);
    EXPECT_EQ(tree, std::vector<std::string>{"victim.txt"});
}

// Whoever owns the folder the self-test runs in swaps "Test" for a link to
// another folder and back, and plants links in place of the files it
// writes, again and again while a self-test runs: nothing is ever written
// through a link. (Windows lets only privileged processes make links.)
#ifndef _WIN32
TEST(SelfTest, LinksSwappedInWhileItRunsLeadNowhere)
{
    InScratchDirectory scratch;
    const std::string outside = scratch.dir().File("outside");
    std::filesystem::create_directory(outside);
    WriteWholeFile(outside + "/victim.txt", Bytes{'k', 'e', 'e', 'p'});
    std::vector<ZipEntrySpec> entries;
    for (int i = 0; i < 3000; ++i)
        entries.push_back({i % 10 == 0 ? std::string("victim.txt") : "f" + std::to_string(i) + ".txt",
                           "race marker " + std::to_string(i)});
    const std::string archive = scratch.dir().File("race.zip");
    WriteWholeFile(archive, BuildZip(entries).bytes);

    std::atomic<bool> done{false};
    std::thread selfTest([&] {
        TestEntry(archive.c_str());
        done = true;
    });
    int swaps = 0;
    while (!done) {
        std::error_code ignored;
        std::filesystem::rename("Test", "Test.real", ignored);
        std::filesystem::create_directory_symlink(outside, "Test", ignored);
        std::filesystem::remove("Test.real/victim.txt", ignored);
        std::filesystem::create_symlink(outside + "/victim.txt", "Test.real/victim.txt", ignored);
        std::filesystem::remove("Test", ignored);
        std::filesystem::rename("Test.real", "Test", ignored);
        ++swaps;
    }
    selfTest.join();
    std::printf("%d swaps during the self-test\n", swaps);
    std::vector<std::string> tree;
    ListTree(outside, "", tree);
    EXPECT_EQ(tree, std::vector<std::string>{"victim.txt"});
    EXPECT_TRUE(ReadWholeFile(outside + "/victim.txt") == (Bytes{'k', 'e', 'e', 'p'}));
}
#endif

TEST(SelfTest, MissingOrDamagedArchivesReturnZero)
{
    InScratchDirectory scratch;
    EXPECT_EQ(TestEntry((scratch.dir().File("missing.zip")).c_str()), 0);
    EXPECT_EQ(TestEntry(nullptr), 0);
    WriteWholeFile(scratch.dir().File("junk.zip"), MakeNoise(5000, 9));
    EXPECT_EQ(TestEntry((scratch.dir().File("junk.zip")).c_str()), 0);
    EXPECT_FALSE(FileExists("Test"));
}

// An archive the process may read but not write extracts in full and is left
// as it was. Root may write any file whatever its mode bits, so as root the
// self-test runs in a child that has become "nobody"; where that cannot be
// done, or the file is still writable, the test is skipped. On Windows the
// self-test runs in this process, over a stored archive (no Python to
// deflate), with the read-only attribute set and the file held open by
// another handle that shares it for reading only, as an engine scanning it
// may: wine run as root lets the attribute pass, the sharing never.
#ifdef _WIN32
TEST(SelfTest, ReadOnlyArchiveExtractsInFull)
{
    InScratchDirectory scratch;
    std::string expected;
    for (int i = 0; i < 20; ++i) expected += "read-only marker deflated ";
    WriteWholeFile("ro.zip",
                   BuildZip({{"stored.txt", "read-only marker stored"}, {"dir/deflated.txt", expected}}).bytes);
    std::filesystem::permissions("ro.zip", std::filesystem::perms::all & ~std::filesystem::perms::owner_write &
                                               ~std::filesystem::perms::group_write &
                                               ~std::filesystem::perms::others_write);
    const int holder = _sopen("ro.zip", _O_RDONLY | _O_BINARY, _SH_DENYWR);
    ASSERT_GE(holder, 0);
    const int fd = _sopen("ro.zip", _O_RDWR | _O_BINARY, _SH_DENYNO);
    if (fd >= 0) _close(fd);
    ASSERT_LT(fd, 0) << "the archive is still writable";
    const Bytes before = ReadWholeFile("ro.zip");
    const auto beforeTime = std::filesystem::last_write_time("ro.zip");
    EXPECT_EQ(TestEntry("ro.zip"), 0);

    const Bytes stored = ReadWholeFile("Test/stored.txt");
    const Bytes deflated = ReadWholeFile("Test/deflated.txt");
    EXPECT_EQ(std::string(stored.begin(), stored.end()), "read-only marker stored");
    EXPECT_EQ(std::string(deflated.begin(), deflated.end()), expected);
    EXPECT_TRUE(ReadWholeFile("ro.zip") == before);
    EXPECT_TRUE(std::filesystem::last_write_time("ro.zip") == beforeTime);
    _close(holder);
}
#else
TEST(SelfTest, ReadOnlyArchiveExtractsInFull)
{
    InScratchDirectory scratch;
    ASSERT_EQ(chmod(scratch.dir().Path().c_str(), 0777), 0);
    const std::string script =
        "import zipfile\n"
        "z = zipfile.ZipFile('ro.zip', 'w')\n"
        "z.writestr('stored.txt', 'read-only marker stored')\n"
        "z.writestr('dir/deflated.txt', 'read-only marker deflated ' * 20, zipfile.ZIP_DEFLATED)\n"
        "z.close()\n";
    ASSERT_TRUE(Shell("python3 -c " + Quote(script)));
    ASSERT_EQ(chmod("ro.zip", 0444), 0);
    const Bytes before = ReadWholeFile("ro.zip");
    struct stat beforeInfo;
    ASSERT_EQ(stat("ro.zip", &beforeInfo), 0);

    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        constexpr uid_t kNobody = 65534;
        if (geteuid() == 0 && (setgid(kNobody) != 0 || setuid(kNobody) != 0)) _exit(77);
        const int fd = open("ro.zip", O_RDWR);
        if (fd >= 0) _exit(78);
        _exit(TestEntry("ro.zip") == 0 ? 0 : 1);
    }
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status));
    if (WEXITSTATUS(status) == 77) GTEST_SKIP() << "cannot drop root to make the archive unwritable";
    if (WEXITSTATUS(status) == 78) GTEST_SKIP() << "a file of mode 0444 is still writable here";
    ASSERT_EQ(WEXITSTATUS(status), 0);

    const Bytes stored = ReadWholeFile("Test/stored.txt");
    const Bytes deflated = ReadWholeFile("Test/deflated.txt");
    EXPECT_EQ(std::string(stored.begin(), stored.end()), "read-only marker stored");
    std::string expected;
    for (int i = 0; i < 20; ++i) expected += "read-only marker deflated ";
    EXPECT_EQ(std::string(deflated.begin(), deflated.end()), expected);
    struct stat afterInfo;
    ASSERT_EQ(stat("ro.zip", &afterInfo), 0);
    EXPECT_TRUE(ReadWholeFile("ro.zip") == before);
    EXPECT_EQ(afterInfo.st_mtim.tv_sec, beforeInfo.st_mtim.tv_sec);
    EXPECT_EQ(afterInfo.st_mtim.tv_nsec, beforeInfo.st_mtim.tv_nsec);
}
#endif
