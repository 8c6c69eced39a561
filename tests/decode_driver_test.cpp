// The cleaning export as the engine sees it: which questions it is asked,
// in which order, and what the archive looks like afterwards to Python's
// zipfile and to unzip.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <functional>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "support/fake_host.h"
#include "support/cleaning_peers.h"
#include "support/corpus.h"
#include "support/shell.h"
#include "support/test_platform.h"

namespace {

using Bytes = std::vector<uint8_t>;
using Expected = std::vector<std::pair<std::string, Bytes>>;

Bytes T(size_t n, uint32_t seed) { return CleaningText(n, seed); }

Bytes FromHex(const std::string& hex)
{
    Bytes out;
    for (size_t i = 0; i + 1 < hex.size(); i += 2)
        out.push_back(static_cast<uint8_t>(std::stoi(hex.substr(i, 2), nullptr, 16)));
    return out;
}

// "secret text that only the password opens\n" three times, deflated and
// encrypted under "s3cret" with an encryption header chosen so that the
// encrypted bytes also inflate, to one byte, as they stand.
const char* const alsoInflatesEncrypted =
    "504b03041400010008000000210043b34f73380000007b00000005000000612e747874bb0cf8c500d3ff13a580b52462873bc00631509be1"
    "1ec2e08c041cb34a1829c793c76ab1406d68aaf1c58a83cd07ec1615a02b9310ef091c504b010214001400010008000000210043b34f7338"
    "0000007b000000050000000000000000000000000000000000612e747874504b05060000000001000100330000005b0000000000";

// The peers read exactly these entries, in this order, with these bytes.
PeerReading ExpectArchive(const Bytes& archive, const Expected& expected,
                          const std::string& password = "")
{
    PeerReading r = CleaningReadWithPeers(archive, password);
    EXPECT_TRUE(r.Sound()) << r.error << " / " << r.unzipOutput;
    EXPECT_EQ(r.entries.size(), expected.size());
    for (size_t i = 0; i < expected.size() && i < r.entries.size(); ++i) {
        EXPECT_EQ(r.entries[i].name, expected[i].first) << "entry " << i;
        EXPECT_TRUE(r.entries[i].data == expected[i].second) << expected[i].first;
    }
    return r;
}

Bytes FiveEntries()
{
    return CleaningMakeZip({{"e0.txt", T(3000, 10)},
                            {"e1.bin", CleaningNoise(5000, 11), 0},
                            {"e2.txt", T(70000, 12)},
                            {"e3.txt", T(100, 13)},
                            {"e4.bin", CleaningNoise(90000, 14)}});
}

std::string Corpus(const std::string& path) { return std::string(ZIPEXT_CORPUS_DIR) + "/" + path; }

} // namespace

TEST(DecodeDriver, NothingWantedStillAsksToStopPerEntry)
{
    const Bytes zip = FiveEntries();
    CleaningEngine engine;
    engine.wantNone = true;
    const CleaningResult out = CleaningDecode(zip, engine);
    EXPECT_EQ(out.result, 0);
    EXPECT_TRUE(engine.scans.empty());
    EXPECT_EQ(engine.wanted.size(), 5u);
    // One per entry, and the few reads of the search for other listings.
    EXPECT_GE(engine.stopChecksAfterFirstWant, 5);
    EXPECT_LE(engine.stopChecksAfterFirstWant, 8);
    EXPECT_EQ(out.archiveWrites, 0);
}

// One cleaning call per row: the verdicts the engine gives, what the export
// returns, and what Python's zipfile and unzip read in the archive afterwards.
// A row with a cure writes new times (and new encryption headers), so the
// Windows run, which reads the Linux run's verdicts of the peers, skips it.
TEST(DecodeDriver, VerdictsAndWhatThePeersReadAfterwards)
{
    using Cured = std::vector<std::pair<std::string, Bytes>>;
    using EngineHook = std::function<void(CleaningEngine&)>;
    struct Row {
        std::string title;
        Bytes archive;
        std::vector<std::string> deleted;
        Cured cured;
        int result;
        // What the peers must read afterwards; none: the archive must come
        // back untouched, without a single write.
        std::optional<Expected> listing;
        std::string password = "";   // the engine's answer, and the peers'
        size_t front = 0;            // foreign bytes the engine's base skips
        std::vector<std::pair<int, int>> flags = {};  // each entry's flags: mask, value
        std::vector<int> methods = {};
        EngineHook setup = nullptr;  // anything else the engine does
        EngineHook check = nullptr;  // what the engine must have been asked
        // Reads the archive afterwards instead of Python's zipfile and unzip.
        std::function<void(const Bytes&)> read = nullptr;
    };
    const Bytes three = CleaningMakeZip({{"a.txt", T(1000, 1)}, {"b.txt", T(2000, 2)}, {"c.txt", T(3000, 3)}});
    const Bytes locked = CleaningMakeEncryptedZip({{"a.txt", T(3000, 1)}, {"b.txt", T(40, 2)}}, "s3cret");
    const Bytes lockedThenPlain =
        CleaningZipAdd(CleaningMakeEncryptedZip({{"a.txt", T(3000, 1)}}, "s3cret"), {{"b.txt", T(2000, 2)}});
    const Bytes lockedInTheMiddle = CleaningZipAdd(
        CleaningZipAdd(CleaningMakeZip({{"a.txt", T(1000, 1)}}), {{"enc.txt", T(2000, 2)}}, "s3cret"),
        {{"c.txt", T(3000, 3)}});
    Bytes behindNoise = CleaningNoise(1000, 77);
    behindNoise.insert(behindNoise.end(), three.begin(), three.end());
    const auto scansAre = [](std::vector<std::pair<std::string, Bytes>> expected) {
        return [expected](CleaningEngine& e) {
            ASSERT_EQ(e.scans.size(), expected.size());
            for (size_t i = 0; i < expected.size(); ++i) {
                EXPECT_EQ(e.scans[i].name, expected[i].first);
                EXPECT_TRUE(e.scans[i].data == expected[i].second) << expected[i].first;
                EXPECT_EQ(e.scans[i].size, expected[i].second.size());
            }
        };
    };

    std::vector<Row> rows = {
        {"no verdict", FiveEntries(), {}, {}, 0, std::nullopt, "", 0, {}, {}, nullptr,
         scansAre({{"e0.txt", T(3000, 10)}, {"e1.bin", CleaningNoise(5000, 11)}, {"e2.txt", T(70000, 12)},
                   {"e3.txt", T(100, 13)}, {"e4.bin", CleaningNoise(90000, 14)}})},
        {"delete one of three", three, {"b.txt"}, {}, 3, Expected{{"a.txt", T(1000, 1)}, {"c.txt", T(3000, 3)}}},
        {"cure the first of two: it goes last", CleaningMakeZip({{"a.txt", T(4000, 1)}, {"b.txt", T(2000, 2)}}), {},
         {{"a.txt", CleaningBytesOf("cured content of a")}}, 3,
         Expected{{"b.txt", T(2000, 2)}, {"a.txt", CleaningBytesOf("cured content of a")}}},
        {"delete two and cure one of five", FiveEntries(), {"e0.txt", "e2.txt"}, {{"e3.txt", T(66000, 99)}}, 3,
         Expected{{"e1.bin", CleaningNoise(5000, 11)}, {"e4.bin", CleaningNoise(90000, 14)}, {"e3.txt", T(66000, 99)}}},
        {"stop after the first entry still carries out its verdict", three, {"a.txt", "b.txt"}, {}, 3,
         Expected{{"b.txt", T(2000, 2)}, {"c.txt", T(3000, 3)}}, "", 0, {}, {},
         [](CleaningEngine& e) { e.stopAfterScans = 1; },
         [](CleaningEngine& e) {
             EXPECT_EQ(e.scans.size(), 1u);
             EXPECT_EQ(e.wanted.size(), 1u);
         }},
        {"the right password is asked for once", locked, {}, {}, 0, std::nullopt, "s3cret", 0, {}, {}, nullptr,
         [&](CleaningEngine& e) {
             EXPECT_EQ(e.passwordQuestions, std::vector<std::string>{"a.txt"});
             scansAre({{"a.txt", T(3000, 1)}, {"b.txt", T(40, 2)}})(e);
         }},
        // Empty data is written in the clear; the rest encrypted, with the
        // sizes also in a descriptor.
        {"a cure under a password is encrypted", locked, {}, {{"a.txt", T(10, 5)}, {"b.txt", {}}}, 3,
         Expected{{"a.txt", T(10, 5)}, {"b.txt", {}}}, "s3cret", 0, {{0x9, 0x9}, {0xFFFF, 0}}},
        // Regression: a plain entry cured after the engine had given a
        // password for another entry came back encrypted with that password.
        {"cured entries keep their own protection", lockedThenPlain, {}, {{"a.txt", T(10, 5)}, {"b.txt", T(20, 6)}}, 3,
         Expected{{"a.txt", T(10, 5)}, {"b.txt", T(20, 6)}}, "s3cret", 0, {{1, 1}, {1, 0}}, {}, nullptr,
         [](CleaningEngine& e) { EXPECT_EQ(e.passwordQuestions.size(), 1u); }},
        // c.txt is never reached: its verdict is never given.
        {"a declined password stops the walk", lockedInTheMiddle, {"a.txt", "c.txt"}, {}, 3,
         Expected{{"enc.txt", T(2000, 2)}, {"c.txt", T(3000, 3)}}, "s3cret", 0, {}, {},
         [](CleaningEngine& e) { e.passwords.clear(); },
         [](CleaningEngine& e) {
             EXPECT_EQ(e.passwordQuestions.size(), 1u);
             EXPECT_EQ(e.wanted.size(), 2u);
         }},
        {"a declined password before the only verdict", lockedInTheMiddle, {"c.txt"}, {}, 0, std::nullopt, "", 0, {}, {},
         [](CleaningEngine& e) { e.passwords.clear(); }},
        // The engine fills all 128 bytes without a terminator; the first 127
        // are the password.
        {"the password buffer is read as at most 127 bytes",
         CleaningMakeEncryptedZip({{"a.txt", T(700, 1)}}, std::string(127, 'p')), {}, {}, 0, std::nullopt, "", 0, {}, {},
         [](CleaningEngine& e) { e.rawPassword = std::string(127, 'p') + "Z"; },
         scansAre({{"a.txt", T(700, 1)}})},
        {"encrypted data that also inflates as it stands is still decrypted", FromHex(alsoInflatesEncrypted), {}, {}, 0,
         std::nullopt, "s3cret", 0, {}, {}, nullptr,
         [](CleaningEngine& e) {
             std::string text;
             for (int i = 0; i < 3; ++i) text += "secret text that only the password opens\n";
             EXPECT_EQ(e.passwordQuestions.size(), 1u);
             ASSERT_EQ(e.scans.size(), 1u);
             EXPECT_TRUE(e.scans[0].data == CleaningBytesOf(text));
         }},
        // Names come in the local form the directory holds.
        {"empty files are scanned, directories are not",
         CleaningMakeZip({{"dir/", {}}, {"dir/empty.txt", {}}, {"dir/x.txt", T(100, 1)}}), {},
         {{"dir\\x.txt", CleaningBytesOf("clean")}}, 3,
         Expected{{"dir/", {}}, {"dir/empty.txt", {}}, {"dir/x.txt", CleaningBytesOf("clean")}}, "", 0, {}, {},
         nullptr,
         [&](CleaningEngine& e) {
             EXPECT_EQ(e.wanted, (std::vector<std::string>{"dir\\", "dir\\empty.txt", "dir\\x.txt"}));
             scansAre({{"dir\\empty.txt", {}}, {"dir\\x.txt", T(100, 1)}})(e);
         }},
        {"an archive at a base offset", behindNoise, {"a.txt"}, {{"c.txt", CleaningBytesOf("cured c")}}, 3,
         Expected{{"b.txt", T(2000, 2)}, {"c.txt", CleaningBytesOf("cured c")}}, "", 1000},
    };
    // The cured data's size chooses the method: stored up to 4 bytes, with
    // no deflate option bits and no encryption either way.
    for (const auto& [size, method] : std::vector<std::pair<size_t, int>>{{0, 0}, {4, 0}, {5, 8}, {65536, 8}, {65537, 8}})
        rows.push_back({"a cure of " + std::to_string(size) + " bytes", CleaningMakeZip({{"a.txt", T(500, 1)}}), {},
                        {{"a.txt", T(size, 7)}}, 3, Expected{{"a.txt", T(size, 7)}}, "", 0, {{0xFFFF, 0}}, {method}});
#ifndef _WIN32
    // A cured WinZip AES entry goes back as AES of the same strength and AE
    // version under the same password, readable by 7zz and bsdtar: 7-Zip's
    // AE-2 and libarchive's AE-1.
    struct AesMaker {
        std::string kind, command;
        int strength, version;
    };
    for (const AesMaker& maker : std::vector<AesMaker>{
             {"AES128", "7zz a -tzip -mem=AES128 -ps3cret t.zip a.txt b.txt >/dev/null", 1, 2},
             {"AES256", "7zz a -tzip -mem=AES256 -ps3cret t.zip a.txt b.txt >/dev/null", 3, 2},
             {"AE-1 AES256",
              "bsdtar --format zip --options zip:encryption=aes256 --passphrase s3cret -cf t.zip a.txt b.txt", 3, 1}}) {
        TempDir dir;
        WriteWholeFile(dir.File("a.txt"), T(3000, 1));
        WriteWholeFile(dir.File("b.txt"), T(2000, 2));
        EXPECT_TRUE(Shell("cd " + Quote(dir.Path()) + " && " + maker.command));
        const auto read = [maker](const Bytes& out) {
            TempDir place;
            const std::string file = place.File("out.zip");
            WriteWholeFile(file, out);
            EXPECT_TRUE(Shell("7zz t -ps3cret " + Quote(file) + " >/dev/null"));
            for (const std::string& reader : {"7zz x -so -ps3cret " + Quote(file) + " a.txt 2>/dev/null",
                                              "bsdtar -xOf " + Quote(file) + " --passphrase s3cret a.txt"}) {
                const std::string got = ShellOutput(reader);
                EXPECT_EQ(got, "cured under AES") << reader;
            }
            // The central record: method 99, the encryption flag, the CRC
            // (AE-1) or 0 (AE-2), the AES block over deflate; b.txt first.
            const std::string listing = ShellOutput(
                "python3 -c 'import zipfile,sys\nfor i in zipfile.ZipFile(sys.argv[1]).infolist(): "
                "print(i.filename, i.compress_type, i.flag_bits & 1, i.CRC, i.extra.hex())' " + Quote(file));
            const uint32_t crc = maker.version == 1 ? CleaningCrc(CleaningBytesOf("cured under AES")) : 0;
            const std::string block =
                "019907000" + std::to_string(maker.version) + "0041450" + std::to_string(maker.strength) + "0800";
            EXPECT_NE(listing.find("a.txt 99 1 " + std::to_string(crc) + " " + block), std::string::npos) << listing;
            EXPECT_EQ(listing.rfind("b.txt 99 1 ", 0), 0u) << listing;
            // The block is in the local headers too: b.txt's two, a.txt's two.
            const Bytes local = {0x01, 0x99, 0x07, 0x00, static_cast<uint8_t>(maker.version), 0x00, 'A', 'E',
                                 static_cast<uint8_t>(maker.strength), 0x08, 0x00};
            int blocks = 0;
            for (auto at = out.begin(); (at = std::search(at, out.end(), local.begin(), local.end())) != out.end(); ++at)
                ++blocks;
            EXPECT_EQ(blocks, 4);
        };
        rows.push_back({"a cure of an " + maker.kind + " entry", ReadWholeFile(dir.File("t.zip")), {},
                        {{"a.txt", CleaningBytesOf("cured under AES")}}, 3, Expected{}, "s3cret", 0, {}, {}, nullptr,
                        nullptr, read});
    }
#endif
    // Not archives: nothing is asked and nothing written.
    for (const Bytes& junk : {Bytes{}, CleaningNoise(3000, 5), CleaningBytesOf("PK\x05\x06")})
        rows.push_back({"not an archive", junk, {"a.txt"}, {}, 0, std::nullopt});

    for (const Row& row : rows) {
        SCOPED_TRACE(row.title);
#ifdef _WIN32
        if (!row.cured.empty()) continue;
#endif
        CleaningEngine engine;
        if (!row.password.empty()) engine.passwords = {row.password};
        for (const std::string& n : row.deleted) engine.Delete(n);
        for (const auto& [name, bytes] : row.cured) engine.Cure(name, bytes);
        if (row.setup) row.setup(engine);
        const CleaningResult out = CleaningDecode(row.archive, engine, row.front);
        EXPECT_EQ(out.result, row.result);
        if (row.check) row.check(engine);
        if (!row.listing) {
            EXPECT_EQ(out.archiveWrites, 0);
            EXPECT_EQ(out.archiveSetSizes, 0);
            EXPECT_TRUE(out.archive == row.archive);
            continue;
        }
        ASSERT_GE(out.archive.size(), row.front);
        EXPECT_TRUE(std::equal(row.archive.begin(), row.archive.begin() + static_cast<long>(row.front),
                               out.archive.begin()));
        const Bytes archive(out.archive.begin() + static_cast<long>(row.front), out.archive.end());
        if (row.read) {
            row.read(archive);
            continue;
        }
        const PeerReading r = ExpectArchive(archive, *row.listing, row.password);
        for (size_t i = 0; i < row.flags.size() && i < r.entries.size(); ++i)
            EXPECT_EQ(r.entries[i].flags & row.flags[i].first, row.flags[i].second) << r.entries[i].name;
        for (size_t i = 0; i < row.methods.size() && i < r.entries.size(); ++i)
            EXPECT_EQ(r.entries[i].method, row.methods[i]) << r.entries[i].name;
    }
}

TEST(DecodeDriver, WrongCrcIsStillScanned)
{
    Bytes zip = CleaningMakeZip({{"a.txt", T(300, 1), 0}, {"b.txt", T(200, 2)}});
    // Flip the stored CRC of a.txt in its local and its central record.
    const uint32_t crc = CleaningCrc(T(300, 1));
    int patched = 0;
    for (size_t i = 0; i + 4 <= zip.size(); ++i) {
        uint32_t v;
        std::memcpy(&v, &zip[i], 4);
        if (v == crc) {
            zip[i] ^= 0xFF;
            ++patched;
        }
    }
    ASSERT_EQ(patched, 2);
    CleaningEngine engine;
    engine.Delete("b.txt");
    const CleaningResult out = CleaningDecode(zip, engine);
    EXPECT_EQ(out.result, 3);
    ASSERT_EQ(engine.scans.size(), 2u);
    EXPECT_TRUE(engine.scans[0].data == T(300, 1));
}

TEST(DecodeDriver, HostRefusingWritesKeepsTheArchiveAndHearsNothingChanged)
{
    // An archive stream that takes no byte of any write (its size can
    // still be set), and one that claims every write and keeps nothing.
    const Bytes zip = FiveEntries();
    struct Case {
        const char* title;
        CleaningFaults::Kind host;
        std::vector<const char*> deleted, cured;
    } cases[] = {
        {"delete the last", CleaningFaults::archiveRefusesWrites, {"e4.bin"}, {}},
        {"delete the first", CleaningFaults::archiveRefusesWrites, {"e0.txt"}, {}},
        {"delete all", CleaningFaults::archiveRefusesWrites, {"e0.txt", "e1.bin", "e2.txt", "e3.txt", "e4.bin"}, {}},
        {"cure", CleaningFaults::archiveRefusesWrites, {}, {"e2.txt"}},
        {"cure and delete", CleaningFaults::archiveRefusesWrites, {"e1.bin"}, {"e3.txt"}},
        {"cure, writes dropped", CleaningFaults::archiveDropsWrites, {}, {"e2.txt"}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.title);
        CleaningEngine engine;
        for (const char* n : c.deleted) engine.Delete(n);
        for (const char* n : c.cured) engine.Cure(n, CleaningBytesOf("cured"));
        CleaningFaults faults;
        faults.kind = c.host;
        const CleaningResult out = CleaningDecode(zip, engine, 0, &faults);
        EXPECT_EQ(out.result, 0);
        EXPECT_TRUE(out.archive == zip);
    }
}

TEST(DecodeDriver, ForeignBytesInFrontStayUntouched)
{
    ZIPEXT_NEED_LINUX_TOOLS("Python's zipfile and unzip as readers");
    ZIPEXT_NEED_CORPUS();
    // A self-extractor stub whose offsets do not count it, and one whose do.
    for (const char* name : {"structure/generated/infozip-sfx-unadjusted.zip",
                             "structure/generated/infozip-sfx-adjusted-A.zip"}) {
        SCOPED_TRACE(name);
        const Bytes zip = ReadWholeFile(Corpus(name));
        ASSERT_GT(zip.size(), 84848u);
        CleaningEngine engine;
        engine.Cure("rep100.txt", CleaningBytesOf("cured"));
        const CleaningResult out = CleaningDecode(zip, engine);
        EXPECT_EQ(out.result, 3);
        EXPECT_TRUE(std::equal(zip.begin(), zip.begin() + 84848, out.archive.begin()));
        const PeerReading r = CleaningReadWithPeers(out.archive);
        EXPECT_TRUE(r.opened) << r.error;
        ASSERT_EQ(r.entries.size(), 2u);
        EXPECT_EQ(r.entries[0].name, "text200k.txt");
        EXPECT_TRUE(r.entries[0].ok);
        EXPECT_TRUE(r.entries[1].data == CleaningBytesOf("cured"));
    }
}

TEST(DecodeDriver, DeletingKeepsWhatLiesInFront)
{
    ZIPEXT_NEED_LINUX_TOOLS("Python's zipfile and unzip over what it wrote, whose bytes differ from the Linux run's");
    ZIPEXT_NEED_CORPUS();
    const Bytes plain = CleaningMakeZip({{"a.txt", T(1000, 1)}, {"b.txt", T(2000, 2)}});
    const Bytes unadjusted = ReadWholeFile(Corpus("structure/generated/infozip-sfx-unadjusted.zip"));
    const Bytes adjusted = ReadWholeFile(Corpus("structure/generated/infozip-sfx-adjusted-A.zip"));
    const Bytes shell = ReadWholeFile(Corpus("structure/generated/prepended-stub-unadjusted.zip"));
    const std::vector<std::string> all = {"a.txt", "b.txt", "rep100.txt", "text200k.txt"};
    struct Case {
        std::string name;
        const Bytes& zip;
        size_t front;      // bytes in front of the first local header
        bool adjusted;     // the offsets count those bytes
        uint64_t base = 0; // where the engine says the archive starts
        std::vector<std::string> deleted;
    } cases[] = {
        {"plain", plain, 0, false, 0, all},
        {"unadjusted stub", unadjusted, 84848, false, 0, all},
        {"unadjusted stub at its base", unadjusted, 84848, false, 84848, all},
        {"adjusted stub", adjusted, 84848, true, 0, all},
        {"shell stub", shell, 1045, false, 0, all},
        {"unadjusted stub, first", unadjusted, 84848, false, 0, {"rep100.txt"}},
        {"unadjusted stub, last", unadjusted, 84848, false, 84848, {"text200k.txt"}},
        {"adjusted stub, first", adjusted, 84848, true, 0, {"rep100.txt"}},
        {"adjusted stub, last", adjusted, 84848, true, 0, {"text200k.txt"}},
        {"shell stub, first", shell, 1045, false, 1045, {"rep100.txt"}},
    };
    // The peers read every archive before and after in one go each.
    const std::vector<const Bytes*> sources = {&plain, &unadjusted, &adjusted, &shell};
    std::vector<Bytes> inputs, outputs;
    for (const Bytes* b : sources) inputs.push_back(*b);
    const std::vector<PeerReading> before = CleaningReadManyWithPeers(inputs);
    std::vector<int> results;
    for (const Case& c : cases) {
        CleaningEngine engine;
        for (const std::string& n : c.deleted) engine.Delete(n);
        const CleaningResult out = CleaningDecode(c.zip, engine, c.base);
        results.push_back(out.result);
        outputs.push_back(out.archive);
    }
    const std::vector<PeerReading> after = CleaningReadManyWithPeers(outputs);

    for (size_t k = 0; k < std::size(cases); ++k) {
        const Case& c = cases[k];
        const Bytes& archive = outputs[k];
        SCOPED_TRACE(c.name);
        EXPECT_EQ(results[k], 3);
        ASSERT_GT(archive.size(), c.front);
        EXPECT_TRUE(std::equal(c.zip.begin(), c.zip.begin() + static_cast<long>(c.front), archive.begin()));
        Expected kept;
        const auto source = std::find(sources.begin(), sources.end(), &c.zip) - sources.begin();
        for (const PeerEntry& e : before[static_cast<size_t>(source)].entries)
            if (std::find(c.deleted.begin(), c.deleted.end(), e.name) == c.deleted.end()) kept.push_back({e.name, e.data});
        if (kept.empty()) {
            // What is left: the bytes in front, then an end record alone.
            ASSERT_EQ(archive.size(), c.front + 22);
            EXPECT_EQ(archive[c.front], 'P');
            EXPECT_EQ(archive[c.front + 3], 6);
        }
        // The peers read the whole file, the bytes in front included.
        const PeerReading& r = after[k];
        EXPECT_TRUE(r.opened) << r.error;
        ASSERT_EQ(r.entries.size(), kept.size());
        for (size_t i = 0; i < kept.size(); ++i) {
            EXPECT_EQ(r.entries[i].name, kept[i].first);
            EXPECT_TRUE(r.entries[i].ok && r.entries[i].data == kept[i].second) << kept[i].first;
        }
        // unzip counts as extra the bytes in front that the offsets do not
        // count: all of them once no entry is left (it takes an archive
        // without entries only with a directory offset of 0).
        const PeerTestRun t = CleaningTestWithUnzipAnd7zz(archive);
        EXPECT_EQ(t.sevenZipStatus, 0);
        const size_t extra = c.adjusted && !kept.empty() ? 0 : c.front;
        if (extra == 0 && !kept.empty()) {
            EXPECT_EQ(t.unzipStatus, 0) << t.unzipOutput;
        } else {
            EXPECT_EQ(t.unzipStatus, 1) << t.unzipOutput;
            EXPECT_EQ(t.unzipOutput.find("error"), std::string::npos) << t.unzipOutput;
            if (extra) {
                EXPECT_NE(t.unzipOutput.find(" " + std::to_string(extra) + " extra bytes at beginning"), std::string::npos)
                    << t.unzipOutput;
            }
        }
    }
}

TEST(DecodeDriver, PiecesOfSplitArchivesAreLeftAlone)
{
    ZIPEXT_NEED_CORPUS();
    // The last piece of a split archive: only what lies on it can be read,
    // and a multi-volume archive is never changed.
    const Bytes last = ReadWholeFile(Corpus("spanned/infozip-generated-split64k/split.zip"));
    ASSERT_FALSE(last.empty());
    // A whole archive whose end record calls it a later piece, with the
    // directory on another one: everything it holds is scanned all the
    // same, and it is not changed either.
    Bytes other = CleaningMakeZip({{"a.txt", T(100, 1)}});
    other[other.size() - 22 + 4] = 1;  // number of this disk
    for (const Bytes* p : std::vector<const Bytes*>{&last, &other}) {
        const Bytes& piece = *p;
        CleaningEngine engine;
        for (const char* n : {"rep100.txt", "text200k.txt", "random300k.bin", "rep1m.bin", "a.txt"})
            engine.Delete(n);
        const CleaningResult out = CleaningDecode(piece, engine);
        EXPECT_EQ(out.result, 0);
        ASSERT_FALSE(engine.scans.empty());
        if (&piece == &other) {
            EXPECT_EQ(engine.scans[0].name, "a.txt");
            EXPECT_TRUE(engine.scans[0].data == T(100, 1));
        }
        EXPECT_EQ(out.archiveWrites, 0);
        EXPECT_TRUE(out.archive == piece);
    }
}

TEST(DecodeDriver, FullArchiveKeepsAnEntryItCannotReplace)
{
    ZIPEXT_NEED_LINUX_TOOLS("Python");
    // 65535 entries: the cured copy cannot be added, so the old entry must
    // not be deleted either.
    TempDir dir;
    int status = 0;
    ShellOutput("python3 -c 'import zipfile,sys\n"
                  "z=zipfile.ZipFile(sys.argv[1],\"w\")\n"
                  "[z.writestr(\"%05d\" % i, b\"x\") for i in range(65535)]\n"
                  "z.close()' " + dir.File("full.zip"),
                  &status);
    ASSERT_EQ(status, 0);
    const Bytes zip = ReadWholeFile(dir.File("full.zip"));
    CleaningEngine engine;
    engine.wantNone = false;
    for (int i = 0; i < 65535; ++i)
        if (i != 123) engine.skip.insert(std::to_string(100000 + i).substr(1));
    engine.Cure("00123", CleaningBytesOf("cured"));
    const CleaningResult out = CleaningDecode(zip, engine);
    EXPECT_EQ(engine.scans.size(), 1u);
    EXPECT_EQ(out.result, 0);
    EXPECT_TRUE(out.archive == zip);
}

TEST(DecodeDriver, CommentHoldingTheEndSignatureIsNotRewritten)
{
    ZIPEXT_NEED_CORPUS();
    // A directory written anew behind such a comment would not be found
    // again: these archives are scanned but never changed.
    for (const char* name : {"structure/generated/infozip-comment-fake-eocd.zip",
                             "structure/generated/py-comment-with-eocd-sig.zip"}) {
        SCOPED_TRACE(name);
        const Bytes zip = ReadWholeFile(Corpus(name));
        ASSERT_FALSE(zip.empty());
        CleaningEngine engine;
        engine.verdictsInOrder = {5, 3, 5, 3};
        engine.curedInOrder = CleaningBytesOf("cured");
        const CleaningResult out = CleaningDecode(zip, engine);
        EXPECT_EQ(out.result, 0);
        EXPECT_TRUE(out.archive == zip);
    }
}
