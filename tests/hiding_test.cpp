// Archives built to hide content from a scanner, one construct each, and
// exactly what the cleaning export hands the engine for them. Each archive
// is made record by record here; the payload is a marker string.
#include <gtest/gtest.h>
#include <zlib.h>

#include <algorithm>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "archive/ZipCrypto.h"
#include "decoders/ZipArchiveEx.h"
#include "platform/ZipAesPrimitives.h"
#include "support/cleaning_peers.h"
#include "support/fake_host.h"
#include "support/shell.h"
#include "support/test_platform.h"
#include "support/zip_builder.h"

namespace {

const std::string kMarker = "<<hidden payload 7f3a>>";

Bytes B(const std::string& s) { return Bytes(s.begin(), s.end()); }
Bytes Payload(size_t fill) { return B(std::string(fill, '.') + kMarker + std::string(fill, '.')); }

Bytes Deflate(const Bytes& plain, int flush = Z_FINISH)
{
    z_stream z{};
    deflateInit2(&z, 9, Z_DEFLATED, -15, 8, Z_DEFAULT_STRATEGY);
    Bytes out(plain.size() + 1024);
    z.next_in = const_cast<uint8_t*>(plain.data());
    z.avail_in = static_cast<uInt>(plain.size());
    z.next_out = out.data();
    z.avail_out = static_cast<uInt>(out.size());
    deflate(&z, flush);
    out.resize(z.total_out);
    deflateEnd(&z);
    return out;
}

uint32_t Crc(const Bytes& b) { return CleaningCrc(b); }

// A plain entry whose records tell the truth about `plain`, and go on
// telling it when a case changes the data.
ZipEntrySpec Stored(const std::string& name, const Bytes& plain)
{
    ZipEntrySpec e{name, plain};
    e.crc = Crc(plain);
    e.uncompressedSize = static_cast<uint32_t>(plain.size());
    return e;
}

ZipEntrySpec Deflated(const std::string& name, const Bytes& plain)
{
    ZipEntrySpec e = Stored(name, plain);
    e.method = 8;
    e.data = Deflate(plain);
    return e;
}

// Traditional encryption of `plain` under `password`, header included.
Bytes Encrypt(const Bytes& plain, const std::string& password, uint32_t crc)
{
    uint32_t keys[3];
    ZipCrypto::InitKeys(keys, reinterpret_cast<const uint8_t*>(password.data()),
                        static_cast<uint32_t>(password.size()));
    Bytes out(12, 0x5A);
    out[11] = static_cast<uint8_t>(crc >> 24);
    out.insert(out.end(), plain.begin(), plain.end());
    ZipCrypto::EncryptBlock(keys, out.data(), static_cast<uint32_t>(out.size()));
    return out;
}

bool Contains(const Bytes& haystack, const Bytes& needle)
{
    return std::search(haystack.begin(), haystack.end(), needle.begin(), needle.end()) != haystack.end();
}

Bytes Joined(Bytes first, const Bytes& second)
{
    first.insert(first.end(), second.begin(), second.end());
    return first;
}

// `input` through a command that writes what it makes of its standard input
// to its standard output (a compressor).
Bytes Piped(const std::string& command, const Bytes& input)
{
    TempDir dir;
    WriteWholeFile(dir.File("in"), input);
    const std::string out = ShellOutput(command + " < " + Quote(dir.File("in")));
    return Bytes(out.begin(), out.end());
}

// An entry of `method` whose data is `packed`, and whose records tell the
// truth about `plain`.
ZipEntrySpec Packed(const std::string& name, uint16_t method, const Bytes& packed, const Bytes& plain)
{
    ZipEntrySpec e = Stored(name, plain);
    e.method = method;
    e.data = packed;
    return e;
}

// `plain` as 7zz writes it in a WinZip AES-256 entry over deflate: the
// entry's data and extra field as 7zz's local header has them.
ZipEntrySpec Aes(const std::string& name, const Bytes& plain, const std::string& password)
{
    TempDir dir;
    WriteWholeFile(dir.File("f"), plain);
    Shell("cd " + Quote(dir.Path()) + " && 7zz a -tzip -mem=AES256 -mm=Deflate -p" + Quote(password) +
          " a.zip f >/dev/null");
    const Bytes zip = ReadWholeFile(dir.File("a.zip"));
    ZipEntrySpec e{name};
    if (zip.size() < 30) return e;
    const size_t extraAt = 30 + Get16(zip, 26);
    const size_t dataAt = extraAt + Get16(zip, 28);
    e.method = 99;
    e.flags = Get16(zip, 6);
    e.crc = Get32(zip, 14);
    e.uncompressedSize = Get32(zip, 22);
    e.extra = Bytes(zip.begin() + extraAt, zip.begin() + dataAt);
    e.data = Bytes(zip.begin() + dataAt, zip.begin() + dataAt + Get32(zip, 18));
    return e;
}

// A deflate stream of `plain` with one byte of its codes (behind the first
// block's header) changed where zlib stops at it, before its output reaches
// `from`.
Bytes DamagedDeflate(const Bytes& plain, size_t from)
{
    const Bytes good = Deflate(plain);
    for (size_t at = good.size() / 8; at < good.size(); ++at) {
        Bytes bad = good;
        bad[at] ^= 0x24;
        z_stream z{};
        inflateInit2(&z, -15);
        Bytes out(plain.size() * 2);
        z.next_in = bad.data();
        z.avail_in = static_cast<uInt>(bad.size());
        z.next_out = out.data();
        z.avail_out = static_cast<uInt>(out.size());
        const int result = inflate(&z, Z_FINISH);
        inflateEnd(&z);
        if (result == Z_DATA_ERROR && z.total_out < from) return bad;
    }
    return good;
}

struct Case {
    const char* what;
    std::function<Bytes()> archive;
    // The engine must be handed, under this name, a content that holds
    // these bytes.
    std::string name;
    Bytes mustSee;
    std::vector<std::string> passwords = {};
    // The reading is marked damaged, so the entry's raw bytes follow it.
    bool damaged = false;
};

} // namespace

TEST(Hiding, EveryContentOfAListedEntryReachesTheEngine)
{
    ZIPEXT_NEED_LINUX_TOOLS("Python's zipfile and unzip as readers");
    const Bytes text = Payload(300);
    const Bytes deflated = Deflate(text);
    std::vector<Case> cases;

    cases.push_back({"deflate stream cut short", [&] {
                         Bytes plain = B(kMarker);
                         const Bytes noise = CleaningText(20000, 7);
                         plain.insert(plain.end(), noise.begin(), noise.end());
                         ZipEntrySpec e = Deflated("cut.txt", plain);
                         e.data.resize(e.data.size() / 2);
                         return BuildZip({e}).bytes;
                     },
                     "cut.txt", B(kMarker)});
    cases.push_back({"bad block after good data", [&] {
                         ZipEntrySpec e = Deflated("bad.txt", text);
                         e.data = Deflate(text, Z_FULL_FLUSH);
                         e.data.insert(e.data.end(), 16, 0xFF);  // block type 3
                         return BuildZip({e, Stored("next.txt", B("x"))}).bytes;
                     },
                     "bad.txt", text});
    cases.push_back({"stored entry longer than the archive", [&] {
                         ZipEntrySpec e = Stored("short.bin", text);
                         e.compressedSize = e.uncompressedSize = 1u << 20;
                         return BuildZip({e}).bytes;
                     },
                     "short.bin", text});
    cases.push_back({"uncompressed size says less than the stream holds", [&] {
                         ZipEntrySpec e = Deflated("small.txt", text);
                         e.uncompressedSize = 10;
                         return BuildZip({e}).bytes;
                     },
                     "small.txt", text});
    cases.push_back({"compressed size says less than the stream holds", [&] {
                         ZipEntrySpec e = Deflated("runs-on.txt", text);
                         e.compressedSize = 10;
                         return BuildZip({e, Stored("next.txt", B("x"))}).bytes;
                     },
                     "runs-on.txt", text});
    cases.push_back({"local method differs from the central one", [&] {
                         ZipEntrySpec e = Deflated("method.txt", text);
                         e.method = 0;
                         e.localMethod = 8;
                         return BuildZip({e}).bytes;
                     },
                     "method.txt", text});
    cases.push_back({"local sizes differ from the central ones", [&] {
                         ZipEntrySpec e = Stored("sizes.txt", text);
                         e.compressedSize = e.uncompressedSize = 50;
                         e.localCompressedSize = e.localUncompressedSize = text.size();
                         return BuildZip({e}).bytes;
                     },
                     "sizes.txt", text});
    cases.push_back({"only the local header says encrypted", [&] {
                         ZipEntrySpec e = Stored("locked.txt", text);
                         e.data = Encrypt(text, "pw", *e.crc);
                         e.localFlags = 1;
                         return BuildZip({e}).bytes;
                     },
                     "locked.txt", text, {"pw"}});
    cases.push_back({"only the central record says encrypted", [&] {
                         ZipEntrySpec e = Stored("open.txt", text);
                         e.flags = 1;
                         e.localFlags = 0;
                         return BuildZip({e}).bytes;
                     },
                     "open.txt", text, {"pw"}});
    cases.push_back({"directory name carrying data", [&] {
                         return BuildZip({Stored("folder/", text)}).bytes;
                     },
                     "folder\\", text});
    cases.push_back({"directory attribute carrying data", [&] {
                         ZipEntrySpec e = Stored("attr", text);
                         e.externalAttributes = 0x10;
                         return BuildZip({e}).bytes;
                     },
                     "attr", text});
    for (uint16_t method : {5, 7, 10, 12, 99}) {
        cases.push_back({"a method the module does not decode", [=] {
                             ZipEntrySpec e = Stored("m" + std::to_string(method), text);
                             e.method = method;
                             return BuildZip({e}).bytes;
                         },
                         "m" + std::to_string(method), text});
    }
    cases.push_back({"deflate data labelled stored", [&] {
                         ZipEntrySpec e = Stored("label.txt", text);
                         e.data = deflated;
                         e.uncompressedSize = static_cast<uint32_t>(deflated.size());
                         return BuildZip({e}).bytes;
                     },
                     "label.txt", text});
    cases.push_back({"plain data labelled deflated", [&] {
                         ZipEntrySpec e = Stored("plain.txt", B("X" + kMarker));
                         e.method = 8;
                         return BuildZip({e}).bytes;
                     },
                     "plain.txt", B(kMarker)});
    for (const uint16_t method : {0, 8}) {
        for (const bool password : {false, true}) {
            cases.push_back({"encryption flag on plain data", [=] {
                                 ZipEntrySpec e = method == 0 ? Stored("flag.txt", text) : Deflated("flag.txt", text);
                                 e.flags = 1;
                                 return BuildZip({e, Stored("next.txt", B("x"))}).bytes;
                             },
                             "flag.txt", text, password ? std::vector<std::string>{"pw"} : std::vector<std::string>{}});
        }
    }
    // Data in several streams or frames, and bytes behind the last.
    const Bytes front = CleaningText(3000, 5);
    const Bytes whole = Joined(front, text);
    const Bytes skippable = {0x50, 0x2A, 0x4D, 0x18, 4, 0, 0, 0, 'j', 'u', 'n', 'k'};
    const struct {
        const char* what;
        uint16_t method;
        std::function<Bytes()> pack;
    } streams[] = {
        {"xz data in two streams", 95, [&] { return Joined(Piped("xz -c", front), Piped("xz -c", text)); }},
        {"xz streams with padding between", 95,
         [&] { return Joined(Joined(Piped("xz -c", front), Bytes(8, 0)), Piped("xz -c", text)); }},
        {"junk behind an xz stream", 95, [&] { return Joined(Piped("xz -c", whole), B("junk")); }},
        {"bzip2 data in two streams", 12, [&] { return Joined(Piped("bzip2 -c", front), Piped("bzip2 -c", text)); }},
        {"junk behind a bzip2 stream", 12, [&] { return Joined(Piped("bzip2 -c", whole), B("junk")); }},
        {"zstd data in two frames", 93, [&] { return Joined(Piped("zstd -q -c", front), Piped("zstd -q -c", text)); }},
        {"skippable zstd frame first", 93, [&] { return Joined(skippable, Piped("zstd -q -c", whole)); }},
        {"junk behind a zstd frame", 93, [&] { return Joined(Piped("zstd -q -c", whole), B("junk")); }},
    };
    for (const auto& row : streams) {
        if (!ZipReadsMethod(row.method)) continue;
        const Bytes packed = row.pack();
        const bool junk = std::string(row.what).compare(0, 4, "junk") == 0;
        cases.push_back({row.what, [=] { return BuildZip({Packed("s.txt", row.method, packed, whole)}).bytes; },
                         "s.txt", text, {}, junk});
    }
    // Archives inside entries of the later methods reach the engine decoded.
    const Bytes inner = BuildZip({Stored("in.txt", text)}).bytes;
    const struct {
        uint16_t method;
        const char* tool;
    } nested[] = {{12, "bzip2 -c"}, {95, "xz -c"}, {93, "zstd -q -c"}};
    for (const auto& row : nested) {
        if (!ZipReadsMethod(row.method)) continue;
        const Bytes packed = Piped(row.tool, inner);
        cases.push_back({"archive inside an entry of a later method",
                         [=] { return BuildZip({Packed("inner.zip", row.method, packed, inner)}).bytes; }, "inner.zip",
                         inner});
    }
    if (ZipReadsMethod(14)) {
        cases.push_back({"archive inside an LZMA entry", [&] {
                             TempDir dir;
                             WriteWholeFile(dir.File("inner.zip"), inner);
                             Python("import zipfile, os\nos.chdir(" + Quote(dir.Path()) +
                                    ")\nwith zipfile.ZipFile('a.zip', 'w', zipfile.ZIP_LZMA) as z:\n"
                                    "    z.write('inner.zip')\n");
                             return ReadWholeFile(dir.File("a.zip"));
                         },
                         "inner.zip", inner});
    }
    // WinZip AES entries: the field only in one record, a wrong
    // authentication code (the content is handed over all the same), an
    // archive inside.
    if (CZipAesPrimitives::Available()) {
        const ZipEntrySpec aes = Aes("aes.txt", text, "pw");
        ZipEntrySpec localOnly = aes;
        localOnly.localExtra = localOnly.extra;
        localOnly.extra = {};
        ZipEntrySpec centralOnly = aes;
        centralOnly.localExtra = ZipBytes();
        ZipEntrySpec badCode = aes;
        badCode.data.back() ^= 1;
        for (const auto& row : {std::make_pair("AES field only in the local header", localOnly),
                                std::make_pair("AES field only in the central record", centralOnly),
                                std::make_pair("AES authentication code wrong", badCode)}) {
            const ZipEntrySpec e = row.second;
            cases.push_back({row.first, [=] { return BuildZip({e}).bytes; }, "aes.txt", text, {"pw"}});
        }
        const ZipEntrySpec aesInner = Aes("inner.zip", inner, "pw");
        cases.push_back({"archive inside an AES entry", [=] { return BuildZip({aesInner}).bytes; }, "inner.zip",
                         inner, {"pw"}});
    }
    // Compressed sizes that reach past the archive's end: the data ends with
    // the stream.
    cases.push_back({"central compressed size past the end, local method stored", [&] {
                         ZipEntrySpec e = Deflated("past.txt", text);
                         e.compressedSize = 5000;
                         e.localMethod = 0;
                         e.localCompressedSize = static_cast<uint32_t>(deflated.size());
                         return BuildZip({e}).bytes;
                     },
                     "past.txt", text});
    cases.push_back({"wrong ZIP64 compressed size of an entry with a descriptor", [&] {
                         ZipEntrySpec e = Deflated("z64.txt", text);
                         e.flags = 8;
                         e.descriptor = true;
                         e.localCompressedSize = e.localUncompressedSize = 0;
                         e.compressedSize = 0xFFFFFFFF;
                         e.extra = Bytes{1, 0, 8, 0, 0x88, 0x13, 0, 0, 0, 0, 0, 0};
                         e.localExtra = ZipBytes();
                         return BuildZip({e}).bytes;
                     },
                     "z64.txt", text});
    // A changed byte in deflated data stops zlib; the marker behind it is
    // read on past the damage.
    cases.push_back({"changed byte in deflated data", [&] {
                         Bytes plain = CleaningText(30000, 9);
                         const Bytes marker = B(kMarker);
                         plain.insert(plain.begin() + 20000, marker.begin(), marker.end());
                         ZipEntrySpec e = Deflated("flip.txt", plain);
                         e.data = DamagedDeflate(plain, 20000);
                         return BuildZip({e}).bytes;
                     },
                     "flip.txt", B(kMarker)});

    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        CleaningEngine engine;
        engine.passwords = c.passwords;
        const Bytes image = c.archive();
        const CleaningResult out = CleaningDecode(image, engine);
        EXPECT_EQ(out.result, 0);
        // Whatever Python's zipfile reads whole, the engine was handed too.
        for (const PeerEntry& e : CleaningReadWithPeers(image, c.passwords.empty() ? "" : c.passwords[0]).entries) {
            if (!e.ok || e.data.empty()) continue;
            bool handed = false;
            for (const auto& scan : engine.scans) handed = handed || scan.data == e.data;
            EXPECT_TRUE(handed) << "peer read " << e.name;
        }
        bool seen = false;
        size_t readings = 0;
        for (const auto& scan : engine.scans) {
            // The engine is told how many bytes it was handed.
            EXPECT_EQ(scan.size, scan.data.size());
            if (scan.name == c.name && Contains(scan.data, c.mustSee)) seen = true;
            if (scan.name == c.name) ++readings;
        }
        EXPECT_TRUE(seen) << engine.scans.size() << " scans";
        if (c.damaged) {
            EXPECT_GE(readings, 2u);
        }
    }
}

TEST(Hiding, WellFormedEntriesAreHandedOverOnceAndWhole)
{
    // Deflated, stored, empty and a true directory: one scan per file, with
    // exactly the header's size.
    const Bytes text = Payload(500);
    ZipEntrySpec dir = Stored("d/", {});
    dir.externalAttributes = 0x10;
    const Bytes zip = BuildZip({Deflated("a.txt", text), Stored("b.txt", text), Stored("e.txt", {}), dir}).bytes;
    CleaningEngine engine;
    CleaningDecode(zip, engine);
    ASSERT_EQ(engine.scans.size(), 3u);
    EXPECT_TRUE(engine.scans[0].data == text);
    EXPECT_TRUE(engine.scans[1].data == text);
    EXPECT_TRUE(engine.scans[2].data.empty());

    // An archive stored as the last entry: its records lie inside that
    // entry's data and are its content, not entries of the outer archive.
    const Bytes inner = BuildZip({Stored("in.txt", text)}).bytes;
    CleaningEngine nested;
    CleaningDecode(BuildZip({Stored("a.txt", text), Stored("inner.zip", inner)}).bytes, nested);
    ASSERT_EQ(nested.scans.size(), 2u);
    EXPECT_EQ(nested.scans[1].name, "inner.zip");
    EXPECT_TRUE(nested.scans[1].data == inner);
}

TEST(Hiding, CuresOfAnythingButOneWholeContentAreDeletions)
{
    ZIPEXT_NEED_LINUX_TOOLS("Python's zipfile and unzip as readers");
    const Bytes text = Payload(300);
    struct Row {
        const char* what;
        ZipEntrySpec entry;
        bool curedCopy;
    };
    ZipEntrySpec cut = Deflated("x.txt", text);
    cut.data.resize(cut.data.size() / 2);
    ZipEntrySpec raw = Stored("x.txt", text);
    raw.method = 12;
    ZipEntrySpec disagree = Stored("x.txt", text);
    disagree.localCompressedSize = disagree.localUncompressedSize = 40;
    ZipEntrySpec overlong = Deflated("x.txt", text);
    overlong.uncompressedSize = 20;
    ZipEntrySpec flagged = Stored("x.txt", text);
    flagged.flags = 1;
    std::vector<Row> rows = {
        {"whole entry", Deflated("x.txt", text), true},
        {"damaged data", cut, false},
        {"stored bytes of an unknown method", raw, false},
        {"records that disagree", disagree, false},
        {"more bytes than the header says", overlong, false},
        {"plain data flagged encrypted", flagged, false},
    };
    if (CZipAesPrimitives::Available()) {
        ZipEntrySpec badCode = Aes("x.txt", text, "pw");
        badCode.data.back() ^= 1;
        rows.push_back({"AES entry whose authentication code is wrong", badCode, false});
    }
    for (const Row& row : rows) {
        SCOPED_TRACE(row.what);
        CleaningEngine engine;
        engine.passwords = {"pw"};
        engine.Cure("x.txt", CleaningBytesOf("clean"));
        const CleaningResult out = CleaningDecode(BuildZip({Stored("keep.txt", B("keep")), row.entry}).bytes, engine);
        EXPECT_EQ(out.result, 3);
        PeerReading r = CleaningReadWithPeers(out.archive, "");
        EXPECT_TRUE(r.Sound()) << r.error;
        std::vector<std::string> names;
        for (const PeerEntry& e : r.entries) names.push_back(e.name);
        if (row.curedCopy)
            EXPECT_EQ(names, (std::vector<std::string>{"keep.txt", "x.txt"}));
        else
            EXPECT_EQ(names, (std::vector<std::string>{"keep.txt"}));
    }
}

TEST(Hiding, TheTemporaryStreamBoundsAHugeEntry)
{
    // 16 MiB of zeros in about 16 KiB of deflate data, claiming 10 bytes.
    const Bytes zeros(16u << 20, 0);
    ZipEntrySpec bomb = Deflated("bomb.bin", zeros);
    bomb.uncompressedSize = 10;
    const Bytes zip = BuildZip({bomb, Stored("after.txt", B("a"))}).bytes;
    CleaningEngine whole;
    CleaningDecode(zip, whole);
    ASSERT_EQ(whole.scans.size(), 2u);
    EXPECT_EQ(whole.scans[0].data.size(), zeros.size());

    struct Row {
        const char* what;
        CleaningFaults::Kind kind;
        int at;
        size_t scans;  // a refused write ends the entry, a stop the walk
        bool whole;    // a write the host takes in part goes on with the rest
    } rows[] = {
        {"stop request", CleaningFaults::stopRequest, 8, 1, false},
        {"refused write", CleaningFaults::zeroWrite, 3, 2, false},
        {"shortened write", CleaningFaults::shortWrite, 3, 2, true},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.what);
        CleaningFaults faults;
        faults.kind = row.kind;
        faults.at = row.at;
        CleaningEngine engine;
        const CleaningResult out = CleaningDecode(zip, engine, 0, &faults);
        EXPECT_EQ(out.result, 0);
        ASSERT_EQ(engine.scans.size(), row.scans);
        // What the stream took is handed over, and only that.
        if (row.whole) {
            EXPECT_TRUE(engine.scans[0].data == zeros);
        } else {
            EXPECT_GT(engine.scans[0].data.size(), 0u);
            EXPECT_LE(engine.scans[0].data.size(), 8u * 65536);
        }
        EXPECT_EQ(engine.scans[0].size, engine.scans[0].data.size());
    }
}

namespace {

ZipEntrySpec Unlisted(ZipEntrySpec e)
{
    e.unlisted = true;
    return e;
}

// Where a streaming writer puts the sizes: in a descriptor behind the data.
ZipEntrySpec Streamed(const std::string& name, const Bytes& plain)
{
    ZipEntrySpec e = Deflated(name, plain);
    e.flags = 8;
    e.localCompressedSize = e.localUncompressedSize = 0;
    e.descriptor = true;
    return e;
}

// The end record and directory cut off: only local entries are left.
Bytes WithoutDirectory(const Bytes& archive)
{
    return Bytes(archive.begin(), archive.begin() + Get32(archive, archive.size() - 6));
}

// The archive's comment set to `comment`.
Bytes WithComment(Bytes archive, const Bytes& comment)
{
    Put16(archive, archive.size() - 2, static_cast<uint16_t>(comment.size()));
    archive.insert(archive.end(), comment.begin(), comment.end());
    return archive;
}

// The end record's entry count (both fields).
Bytes WithCount(Bytes archive, uint16_t count)
{
    Put16(archive, archive.size() - 22 + 8, count);
    Put16(archive, archive.size() - 22 + 10, count);
    return archive;
}

// A listed deflated entry whose local header lies inside the extent a
// stored entry in front declares locally: a walk by local headers sees it
// only as that entry's data, so only the directory gives it.
Bytes Covered(const Bytes& plain, const ZipBuildOptions& options = {})
{
    ZipEntrySpec x = Deflated("x.txt", plain);
    ZipEntrySpec a = Stored("a.txt", B("listed and harmless"));
    a.localCompressedSize = a.localUncompressedSize = static_cast<uint32_t>(a.data.size() + 30 + 5 + x.data.size());
    return BuildZip({a, x}, options).bytes;
}

// Fake end records that give no directory, one behind the other.
Bytes FailingEndRecords(int count)
{
    Bytes fake = B(std::string("PK\x05\x06") + std::string(18, '\0'));
    Put16(fake, 8, 1);
    Put16(fake, 10, 1);
    Put32(fake, 12, 46);
    Bytes out;
    for (int i = 0; i < count; ++i) out.insert(out.end(), fake.begin(), fake.end());
    return out;
}

struct Seen {
    std::string name;
    Bytes data;
};

// The local entries of an archive, with no directory: what an entry can
// hide in front of or inside another.
Bytes LocalImage(const std::vector<ZipEntrySpec>& entries) { return WithoutDirectory(BuildZip(entries).bytes); }

// An entry whose records declare `hidden` as part of its data, behind the
// data they describe.
ZipEntrySpec Covering(ZipEntrySpec e, const Bytes& hidden)
{
    e.data.insert(e.data.end(), hidden.begin(), hidden.end());
    if (e.method == 0) e.uncompressedSize = static_cast<uint32_t>(e.data.size());
    return e;
}

// A stored entry followed by bytes its records do not count.
ZipEntrySpec Appended(ZipEntrySpec e, const Bytes& payload)
{
    e.compressedSize = static_cast<uint32_t>(e.data.size());
    e.data.insert(e.data.end(), payload.begin(), payload.end());
    return e;
}

// `junk` bytes put in front of the directory, the end record unchanged: the
// directory's offset then lies by as many bytes.
Bytes ShiftedDirectory(const ZipLayout& zip, size_t junk)
{
    Bytes bytes = zip.bytes;
    bytes.insert(bytes.begin() + zip.directoryOffset, junk, 'J');
    return bytes;
}

// Every local header's "version needed" set to a value no reader knows.
Bytes WithVersionNeeded(const ZipLayout& zip, uint16_t version)
{
    Bytes bytes = zip.bytes;
    for (uint32_t at : zip.localOffsets) Put16(bytes, at + 4, version);
    return bytes;
}

} // namespace

TEST(Hiding, EveryEntryTheFileHoldsReachesTheEngine)
{
    ZIPEXT_NEED_LINUX_TOOLS("Python's zipfile and unzip as readers");
    const Bytes text = Payload(200);
    const Bytes other = B("listed and harmless");
    struct Row {
        const char* what;
        Bytes archive;
        std::vector<Seen> mustSee;  // in addition to whatever else is handed over
    };
    Bytes badComment = BuildZip({Stored("a.txt", other), Deflated("b.txt", text)}).bytes;
    badComment[badComment.size() - 2] = 0x40;  // a comment running past the end
    const std::vector<Row> rows = {
        {"local entry between listed ones",
         BuildZip({Stored("a.txt", other), Unlisted(Deflated("x.txt", text)), Stored("c.txt", other)}).bytes,
         {{"x.txt", text}, {"a.txt", other}, {"c.txt", other}}},
        {"local entry behind the last listed one",
         BuildZip({Stored("a.txt", other), Unlisted(Stored("x.txt", text))}).bytes,
         {{"x.txt", text}}},
        {"local entry in front of the first listed one",
         BuildZip({Unlisted(Stored("x.txt", text)), Stored("a.txt", other)}).bytes,
         {{"x.txt", text}}},
        {"streamed local entry with a descriptor",
         BuildZip({Stored("a.txt", other), Unlisted(Streamed("x.txt", text)), Stored("c.txt", other)}).bytes,
         {{"x.txt", text}}},
        {"no directory at all",
         WithoutDirectory(
             BuildZip({Stored("a.txt", other), Deflated("b\\x.txt", text), Streamed("s.txt", text)}).bytes),
         {{"a.txt", other}, {"b\\x.txt", text}, {"s.txt", text}}},
        {"end record refused (comment past the end)", badComment, {{"b.txt", text}}},
        {"second archive in the comment",
         WithComment(BuildZip({Stored("a.txt", other)}).bytes, BuildZip({Deflated("x.txt", text)}).bytes),
         {{"a.txt", other}, {"x.txt", text}}},
        {"second archive in the comment, its folder record on the payload's local header",
         [&] {
             ZipLayout inner = BuildZip({Stored("d/", Bytes{}), Deflated("d/x.txt", text)});
             Put32(inner.bytes, inner.centralOffsets[0] + 42, inner.localOffsets[1]);
             return WithComment(BuildZip({Stored("a.txt", other)}).bytes, inner.bytes);
         }(),
         {{"a.txt", other}, {"d\\x.txt", text}}},
        {"archives joined, payload in the first",
         Joined(BuildZip({Deflated("x.txt", text)}).bytes, BuildZip({Stored("a.txt", other)}).bytes),
         {{"a.txt", other}, {"x.txt", text}}},
        {"archives joined, payload in the first, a big second",
         Joined(BuildZip({Deflated("x.txt", text)}).bytes, BuildZip({Stored("a.txt", CleaningText(200000, 3))}).bytes),
         {{"x.txt", text}}},
        {"a broken end record appended behind the archive",
         Joined(BuildZip({Stored("a.txt", other), Deflated("x.txt", text)}).bytes,
                B(std::string("PK\x05\x06") + std::string(30, '\x7f'))),
         {{"a.txt", other}, {"x.txt", text}}},
        {"end record counts fewer entries than the directory holds",
         WithCount(BuildZip({Stored("a.txt", other), Deflated("x.txt", text)}).bytes, 1),
         {{"a.txt", other}, {"x.txt", text}}},
        {"end record counts more entries than the directory holds",
         WithCount(BuildZip({Stored("a.txt", other), Deflated("x.txt", text)}).bytes, 3),
         {{"a.txt", other}, {"x.txt", text}}},
        {"local entry inside a deflated entry's declared size",
         BuildZip({Covering(Deflated("a.txt", other), LocalImage({Deflated("x.txt", text)})), Stored("c.txt", other)})
             .bytes,
         {{"a.txt", other}, {"x.txt", text}, {"c.txt", other}}},
        {"local entry behind a deflated entry whose central size reaches past the stream",
         [&] {
             ZipEntrySpec a = Deflated("a.txt", other);
             a.localCompressedSize = static_cast<uint32_t>(a.data.size());
             a.compressedSize = 0x7FFFFFFF;
             return BuildZip({a, Unlisted(Deflated("x.txt", text)), Stored("c.txt", other)}).bytes;
         }(),
         {{"a.txt", other}, {"x.txt", text}, {"c.txt", other}}},
        {"local entry inside a streamed entry's declared size, behind its descriptor",
         [&] {
             ZipEntrySpec a = Streamed("a.txt", other);
             Bytes tail = {0x50, 0x4B, 0x07, 0x08};
             for (uint32_t v : {*a.crc, static_cast<uint32_t>(a.data.size()), *a.uncompressedSize})
                 for (int k = 0; k < 4; ++k) tail.push_back(static_cast<uint8_t>(v >> (8 * k)));
             const Bytes hidden = LocalImage({Deflated("x.txt", text)});
             tail.insert(tail.end(), hidden.begin(), hidden.end());
             a.descriptor = false;  // written by hand, the hidden entry behind it
             return BuildZip({Covering(a, tail), Stored("c.txt", other)}).bytes;
         }(),
         {{"a.txt", other}, {"x.txt", text}}},
        {"local entry inside a stored entry's declared size",
         BuildZip({Covering(Stored("a.txt", other), LocalImage({Deflated("x.txt", text)})), Stored("c.txt", other)})
             .bytes,
         {{"x.txt", text}, {"c.txt", other}}},
        {"directory offset wrong by the bytes in front of the directory",
         ShiftedDirectory(BuildZip({Stored("a.txt", other), Deflated("x.txt", CleaningText(6000, 5)),
                                    Stored("s.txt", text)}),
                          2383),
         {{"a.txt", other}, {"x.txt", CleaningText(6000, 5)}, {"s.txt", text}}},
        {"payload behind a stored entry's declared size",
         BuildZip({Appended(Stored("a.txt", other), text), Stored("c.txt", other)}).bytes,
         {{"a.txt", other}, {"a.txt", Joined(other, text)}, {"c.txt", other}}},
        {"payload behind the last stored entry's declared size",
         BuildZip({Stored("c.txt", other), Appended(Stored("a.txt", other), text)}).bytes,
         {{"a.txt", other}, {"a.txt", Joined(other, text)}}},
        {"local compressed size covering the next entry, no directory",
         [&] {
             ZipEntrySpec w = Deflated("w.txt", other);
             w.localCompressedSize = static_cast<uint32_t>(w.data.size() + LocalImage({Deflated("x.txt", text)}).size());
             return WithoutDirectory(BuildZip({w, Deflated("x.txt", text), Stored("c.txt", Bytes(3000, 'C'))}).bytes);
         }(),
         {{"w.txt", other}, {"x.txt", text}}},
        {"local name length 0, no directory",
         [&] {
             ZipLayout zip = BuildZip({Stored("a.txt", other), Stored("x.txt", text), Stored("c.txt", other)});
             Put16(zip.bytes, zip.localOffsets[1] + 26, 0);
             return WithoutDirectory(zip.bytes);
         }(),
         // The local sizes count from where the name should have ended.
         {{"", [&] {
               Bytes shifted = Joined(B("x.txt"), text);
               shifted.resize(text.size());
               return shifted;
           }()},
          {"c.txt", other}}},
        {"stored entry with a 64-bit descriptor, no directory",
         [&] {
             ZipEntrySpec x = Stored("x.txt", text);
             x.flags = 8;
             x.localCompressedSize = x.localUncompressedSize = 0;
             Bytes descriptor(24, 0);
             std::memcpy(descriptor.data(), "PK\x07\x08", 4);
             Put32(descriptor, 4, *x.crc);
             Put32(descriptor, 8, static_cast<uint32_t>(text.size()));
             Put32(descriptor, 16, static_cast<uint32_t>(text.size()));
             x.data = Joined(text, descriptor);
             x.compressedSize = static_cast<uint32_t>(text.size());
             return WithoutDirectory(BuildZip({Stored("a.txt", other), x, Stored("c.txt", other)}).bytes);
         }(),
         {{"x.txt", text}, {"c.txt", other}}},
        {"version needed out of range, no directory",
         WithoutDirectory(WithVersionNeeded(BuildZip({Stored("a.txt", other), Deflated("x.txt", text)}), 0x3FF)),
         {{"a.txt", other}, {"x.txt", text}}},
    };
    Bytes twenty = Covered(text);
    for (int i = 0; i < 19; ++i)
        twenty = Joined(twenty, BuildZip({Stored("a" + std::to_string(i), CleaningText(5000, i))}).bytes);
    ZipBuildOptions stub;
    stub.prefix = B("#!/bin/sh\nexit 0\n" + std::string(2000, '#') + "\n");
    Bytes damagedOnDisk1 = BuildZip({Stored("a.txt", other), Deflated("x.txt", text)}).bytes;
    Put16(damagedOnDisk1, damagedOnDisk1.size() - 22 + 4, 1);
    damagedOnDisk1[Get32(damagedOnDisk1, damagedOnDisk1.size() - 6)] = 'Q';
    Bytes saturated = Covered(text);
    Put32(saturated, saturated.size() - 6, 0xFFFFFFFF);
    // The directory dropped and the end record, listing nothing, names a
    // later disk: what the stream holds is searched and read as in a single
    // file, data behind a descriptor's zero sizes too.
    const auto onLaterDiskEmpty = [&](const ZipEntrySpec& entry, uint16_t disk) {
        Bytes zip = BuildZip({entry}).bytes;
        const Bytes end(zip.end() - 22, zip.end());
        zip.resize(Get32(end, 16));
        const size_t at = zip.size();
        zip.insert(zip.end(), end.begin(), end.end());
        for (size_t field : {8, 10}) Put16(zip, at + field, 0);
        Put32(zip, at + 12, 0);
        Put16(zip, at + 4, disk);
        return zip;
    };
    // The directory moved in front of the entries and the end record naming
    // a later disk: a piece whose directory is out of reach, its entries
    // still on it behind a central record.
    const auto directoryInFront = [&](uint16_t disk) {
        const Bytes zip = BuildZip({Stored("a.txt", other), Deflated("x.txt", text)}).bytes;
        const size_t end = zip.size() - 22, from = Get32(zip, end + 16);
        Bytes moved(zip.begin() + static_cast<std::ptrdiff_t>(from), zip.begin() + static_cast<std::ptrdiff_t>(end));
        moved.insert(moved.end(), zip.begin(), zip.begin() + static_cast<std::ptrdiff_t>(from));
        moved.insert(moved.end(), zip.begin() + static_cast<std::ptrdiff_t>(end), zip.end());
        Put16(moved, moved.size() - 22 + 4, disk);
        return moved;
    };
    // The later end record's count damaged: the module takes the earlier
    // archive's, and the later one's entries lie behind its end record.
    Bytes laterCountDamaged =
        Joined(BuildZip({Stored("a.txt", other)}).bytes, BuildZip({Deflated("x.txt", text)}).bytes);
    Put16(laterCountDamaged, laterCountDamaged.size() - 22 + 10, 0xFFFF);
    ZipEntrySpec described = Deflated("x.txt", text);
    described.flags = 8;
    described.localCompressedSize = described.localUncompressedSize = 0;
    {
        Bytes descriptor(16, 0);
        std::memcpy(descriptor.data(), "PK\x07\x08", 4);
        Put32(descriptor, 4, *described.crc);
        Put32(descriptor, 8, static_cast<uint32_t>(described.data.size()));
        Put32(descriptor, 12, static_cast<uint32_t>(text.size()));
        described.data = Joined(described.data, descriptor);
    }
    const std::vector<Row> directoryRows = {
        {"more than 16 failing end records behind the real one", Joined(Covered(text), FailingEndRecords(40)),
         {{"x.txt", text}}},
        {"the real end record far from the end", Joined(Covered(text), Bytes(100000, 'j')), {{"x.txt", text}}},
        {"twenty archives joined, payload in the first", twenty, {{"x.txt", text}, {"a18", CleaningText(5000, 18)}}},
        {"ZIP64 end record, the end record's disk number 1", Zip64Framed(Covered(text), 1), {{"x.txt", text}}},
        {"ZIP64 archive behind a stub", Zip64Framed(Covered(text, stub)), {{"x.txt", text}}},
        {"end record on disk 1, directory damaged", damagedOnDisk1, {{"x.txt", text}}},
        {"directory offset saturated, no ZIP64 record", saturated, {{"x.txt", text}}},
        {"end record on disk 1 listing nothing, directory dropped", onLaterDiskEmpty(Deflated("x.txt", text), 1),
         {{"x.txt", text}}},
        {"an archive behind the one read, its end record's count damaged", laterCountDamaged,
         {{"a.txt", other}, {"x.txt", text}}},
        {"end record on disk 65534 listing nothing, a descriptor's entry", onLaterDiskEmpty(described, 65534),
         {{"x.txt", text}}},
        {"end record on disk 242, the directory in front of the entries", directoryInFront(242),
         {{"a.txt", other}, {"x.txt", text}}},
    };
    for (const auto* table : {&rows, &directoryRows})
    for (const Row& row : *table) {
        SCOPED_TRACE(row.what);
        CleaningEngine engine;
        const CleaningResult out = CleaningDecode(row.archive, engine);
        EXPECT_EQ(out.result, 0);
        for (const Seen& want : row.mustSee) {
            bool seen = false;
            for (const auto& scan : engine.scans)
                seen = seen || (scan.name == want.name && scan.data == want.data);
            EXPECT_TRUE(seen) << want.name;
        }
        // Whatever Python's zipfile reads whole, the engine was handed too.
        const PeerReading peer = CleaningReadWithPeers(row.archive, "");
        for (const PeerEntry& e : peer.entries) {
            if (!e.ok || e.directory) continue;
            std::string name = e.name;
            std::replace(name.begin(), name.end(), '/', '\\');
            bool seen = false;
            for (const auto& scan : engine.scans) seen = seen || (scan.name == name && scan.data == e.data);
            EXPECT_TRUE(seen) << "peer read " << e.name;
        }
        // Each content is handed over once.
        for (size_t i = 0; i < engine.scans.size(); ++i)
            for (size_t j = i + 1; j < engine.scans.size(); ++j)
                EXPECT_FALSE(engine.scans[i].name == engine.scans[j].name &&
                             engine.scans[i].data == engine.scans[j].data)
                    << engine.scans[i].name;
    }
}

// Condemned content no record of the archive's own lists is erased, and
// only its own bytes: every kept entry reads as before for the module and
// for two peers. A kept entry whose reading depends on those bytes gets them
// back (the answer then says nothing changed).
TEST(Hiding, CondemnedUnlistedContentIsGoneForEveryReader)
{
    ZIPEXT_NEED_LINUX_TOOLS("Python's zipfile and unzip as readers");
    const Bytes text = Payload(200);
    const Bytes other = B("listed and harmless");
    const ZipEntrySpec x = Unlisted(Deflated("x.txt", text));
    const Bytes between = BuildZip({Stored("a.txt", other), x, Stored("c.txt", other)}).bytes;

    // A second listing naming x, its directory and end record between c
    // and the archive's own directory: x's data "goes on" to there.
    ZipLayout own = BuildZip({Stored("a.txt", other), x, Stored("c.txt", other)});
    const ZipLayout lone = BuildZip({Deflated("x.txt", text)});
    Bytes listing(lone.bytes.begin() + lone.directoryOffset, lone.bytes.begin() + lone.endOffset + 22);
    Put32(listing, 42, own.localOffsets[1]);
    Put32(listing, lone.endOffset - lone.directoryOffset + 16, own.directoryOffset);
    Bytes otherListing = own.bytes;
    otherListing.insert(otherListing.begin() + own.directoryOffset, listing.begin(), listing.end());
    Put32(otherListing, own.endOffset + listing.size() + 16, own.directoryOffset + static_cast<uint32_t>(listing.size()));

    // x's local entry lies inside a's deflate stream (stored blocks) past
    // a's declared size: erasing x would change what a reads.
    const Bytes xEntry(between.begin() + BuildZip({Stored("a.txt", other), x}).localOffsets[1],
                       between.begin() + BuildZip({Stored("a.txt", other), x}).directoryOffset);
    Bytes aPlain = other;
    aPlain.insert(aPlain.end(), xEntry.begin(), xEntry.end());
    ZipEntrySpec a = Stored("a.txt", aPlain);
    a.method = 8;
    {
        z_stream z{};
        deflateInit2(&z, 0, Z_DEFLATED, -15, 8, Z_DEFAULT_STRATEGY);
        Bytes out(aPlain.size() + 1024);
        z.next_in = aPlain.data();
        z.avail_in = static_cast<uInt>(aPlain.size());
        z.next_out = out.data();
        z.avail_out = static_cast<uInt>(out.size());
        deflate(&z, Z_FINISH);
        out.resize(z.total_out);
        deflateEnd(&z);
        a.data = out;
    }
    const auto at = std::search(a.data.begin(), a.data.end(), xEntry.begin(), xEntry.end());
    ASSERT_NE(at, a.data.end());
    a.compressedSize = static_cast<uint32_t>(at - a.data.begin());
    const Bytes inside = BuildZip({a, Stored("c.txt", other)}).bytes;

    // An archive holding x joined in front of one listing a and c (whose
    // offsets count the bytes in front).
    ZipBuildOptions joined;
    joined.prefix = BuildZip({Deflated("x.txt", text)}).bytes;
    joined.offsetsCountPrefix = true;
    const Bytes inFront = BuildZip({Stored("a.txt", other), Stored("c.txt", other)}, joined).bytes;

    // An archive holding x joined behind, its end record's count damaged so
    // that the earlier end record is the one read.
    Bytes behind = Joined(BuildZip({Stored("a.txt", other), Stored("c.txt", other)}).bytes,
                          BuildZip({Deflated("x.txt", text)}).bytes);
    Put16(behind, behind.size() - 22 + 10, 0xFFFF);

    struct Row {
        const char* title;
        Bytes archive;
        int result;
        std::vector<std::pair<std::string, Bytes>> kept;
        bool gone;  // x's bytes are no longer in the archive
    };
    const std::vector<Row> rows = {
        {"between two listed entries", between, 3, {{"a.txt", other}, {"c.txt", other}}, true},
        {"listed by a directory behind the kept entries", otherListing, 3, {{"a.txt", other}, {"c.txt", other}}, true},
        {"an archive joined in front", inFront, 3, {{"a.txt", other}, {"c.txt", other}}, true},
        {"an archive joined behind, its count damaged", behind, 3, {{"a.txt", other}, {"c.txt", other}}, true},
        {"inside a kept entry's stream past its declared size", inside, 0, {{"a.txt", aPlain}, {"c.txt", other}}, false},
    };
    for (const Row& row : rows) {
        for (int verdict : {3, 5}) {
            SCOPED_TRACE(std::string(row.title) + " " + std::to_string(verdict));
            CleaningEngine engine;
            engine.verdicts["x.txt"] = CleaningEngine::Verdict{verdict, B("cured")};
            const CleaningResult out = CleaningDecode(row.archive, engine);
            EXPECT_EQ(out.result, row.result);
            if (!row.gone) {
                EXPECT_TRUE(out.archive == row.archive);
                continue;
            }
            // The kept entries read as before; nothing of the payload is
            // left for the module's own walk or any peer.
            PeerReading r = CleaningReadWithPeers(out.archive, "");
            EXPECT_TRUE(r.Sound()) << r.error << r.unzipOutput;
            ASSERT_EQ(r.entries.size(), row.kept.size());
            for (size_t i = 0; i < row.kept.size(); ++i) {
                EXPECT_EQ(r.entries[i].name, row.kept[i].first);
                EXPECT_TRUE(r.entries[i].data == row.kept[i].second) << row.kept[i].first;
            }
            EXPECT_TRUE(std::any_of(engine.scans.begin(), engine.scans.end(),
                                    [&](const CleaningEngine::Scan& s) { return s.name == "x.txt" && s.data == text; }));
            CleaningEngine again;
            CleaningDecode(out.archive, again);
            for (const auto& scan : again.scans) EXPECT_NE(scan.name, "x.txt");
            EXPECT_FALSE(Contains(out.archive, x.data));
        }
    }
}

TEST(Hiding, ManyTinyLocalEntriesWithoutDirectoryAreAllWalked)
{
    std::vector<ZipEntrySpec> entries;
    for (int i = 0; i < 20000; ++i) entries.push_back(Stored("f" + std::to_string(i), B(std::to_string(i))));
    CleaningEngine engine;
    CleaningDecode(WithoutDirectory(BuildZip(entries).bytes), engine);
    ASSERT_EQ(engine.scans.size(), entries.size());
    EXPECT_EQ(engine.scans.back().name, "f19999");
    EXPECT_TRUE(engine.scans.back().data == B("19999"));
}

TEST(Hiding, LocalWalksGrowLinearlyAndStopWhenAsked)
{
    const Bytes text = Payload(100);
    const Bytes real = BuildZip({Stored("a.txt", B("listed")), Deflated("x.txt", text)}).bytes;
    // Signatures whose fixed records cannot start an entry (no name, or a
    // method no reader knows), in front of an archive: judged from the bytes
    // already searched, they cost no reads of their own.
    auto fakes = [&](size_t count) {
        Bytes image;
        for (size_t i = 0; i < count; ++i) {
            Bytes fake(30, 0);
            std::memcpy(fake.data(), "PK\x03\x04", 4);
            Put16(fake, 8, i % 2 ? 0 : 0x7777);
            Put16(fake, 26, i % 2 ? 0 : 1);
            image.insert(image.end(), fake.begin(), fake.end());
        }
        return Joined(image, real);
    };
    struct Run {
        int reads;
        size_t wanted;
    };
    auto run = [&](size_t count) {
        CleaningFaults counted;
        CleaningEngine engine;
        CleaningDecode(fakes(count), engine, 0, &counted);
        bool seen = false;
        for (const auto& scan : engine.scans) seen = seen || (scan.name == "x.txt" && scan.data == text);
        EXPECT_TRUE(seen) << count;
        return Run{counted.reads, engine.wanted.size()};
    };
    const Run small = run(2000), large = run(8000);
    EXPECT_EQ(small.wanted, large.wanted);
    EXPECT_LE(large.reads, 4 * small.reads);
    EXPECT_LT(large.reads, 100) << small.reads;

    // Entries are handed over as the walk finds them: a stop request after
    // the tenth ends the call before the rest of the file is read.
    std::vector<ZipEntrySpec> entries;
    for (int i = 0; i < 5000; ++i) entries.push_back(Stored("f" + std::to_string(i), B(std::to_string(i))));
    const Bytes many = WithoutDirectory(BuildZip(entries).bytes);
    for (int stopAt : {10, 100}) {
        CleaningFaults counted;
        CleaningEngine engine;
        engine.stopAfterScans = stopAt;
        CleaningDecode(many, engine, 0, &counted);
        EXPECT_EQ(engine.scans.size(), static_cast<size_t>(stopAt));
        EXPECT_LT(counted.reads, 4 * stopAt + 20);
    }
}

TEST(Hiding, SelfExtractorsOfBothKindsReadFromTheirFirstEntry)
{
    ZIPEXT_NEED_LINUX_TOOLS("Python's zipfile and unzip as readers");
    const Bytes text = Payload(100);
    const Bytes stub(3000, 'S');
    for (bool adjusted : {false, true}) {
        SCOPED_TRACE(adjusted ? "offsets from the file's start" : "offsets from the first entry");
        ZipBuildOptions sfx;
        sfx.prefix = stub;
        sfx.offsetsCountPrefix = adjusted;
        const Bytes file = BuildZip({Stored("a.txt", text), Deflated("b.txt", text)}, sfx).bytes;
        for (uint64_t base : {uint64_t{0}, uint64_t{stub.size()}}) {
            CleaningEngine engine;
            engine.Delete("a.txt");
            const CleaningResult out = CleaningDecode(file, engine, base);
            ASSERT_EQ(engine.scans.size(), 2u) << base;
            EXPECT_TRUE(engine.scans[1].data == text);
            EXPECT_EQ(out.result, 3);
            const PeerReading r = CleaningReadWithPeers(out.archive, "");
            // unzip warns of the stub in front of an unadjusted one, before
            // and after.
            if (adjusted) {
                EXPECT_TRUE(r.Sound()) << r.error << r.unzipOutput;
            }
            ASSERT_EQ(r.entries.size(), 1u);
            EXPECT_TRUE(r.entries[0].data == text);
        }
    }
}

TEST(Hiding, SearchesOfRecordsAndEndRecordsGrowLinearlyAndStop)
{
    // Records behind the counted one that all name one local header, and
    // failing end records behind the real one: the host's reads and stop
    // checks grow with the bytes, the stop is asked at least every 64 KiB,
    // and a stop request in the middle ends the call.
    const Bytes text = Payload(100);
    auto recordsBehind = [&](int n) {
        ZipEntrySpec x = Stored("x.txt", text);
        Bytes one = BuildZip({x}).bytes;
        const size_t directory = Get32(one, one.size() - 6);
        const Bytes record(one.begin() + static_cast<std::ptrdiff_t>(directory), one.end() - 22);
        Bytes image(one.begin(), one.begin() + static_cast<std::ptrdiff_t>(directory));
        for (int i = 0; i <= n; ++i) image.insert(image.end(), record.begin(), record.end());
        image.insert(image.end(), one.end() - 22, one.end());
        Put32(image, image.size() - 10, static_cast<uint32_t>(record.size() * (n + 1)));
        return image;
    };
    auto endRecords = [&](int n) { return Joined(Covered(text), FailingEndRecords(n)); };
    for (const auto& build : std::vector<std::function<Bytes(int)>>{recordsBehind, endRecords}) {
        int reads[2] = {0, 0};
        int checks[2] = {0, 0};
        for (int k = 0; k < 2; ++k) {
            const Bytes image = build(20000 << k);
            CleaningFaults counts;
            CleaningEngine engine;
            EXPECT_EQ(CleaningDecode(image, engine, 0, &counts).result, 0);
            bool seen = false;
            for (const auto& scan : engine.scans) seen = seen || (scan.name == "x.txt" && scan.data == text);
            EXPECT_TRUE(seen);
            reads[k] = counts.reads;
            checks[k] = counts.stopChecks;
            EXPECT_GE(checks[k], static_cast<int>(image.size() / 65536));

            CleaningFaults stop;
            stop.kind = CleaningFaults::stopRequest;
            stop.at = checks[k] / 2;
            CleaningEngine stopped;
            EXPECT_EQ(CleaningDecode(image, stopped, 0, &stop).result, 0);
            EXPECT_LE(stop.stopChecks, stop.at + 16);
        }
        EXPECT_LE(reads[1], 2 * reads[0] + 16);
        EXPECT_LE(checks[1], 2 * checks[0] + 16);
    }
}
