// The decoder framework on its own: bit and byte input, read-ahead bounds,
// window delivery, traditional encryption (checked against CPython's own
// decrypter), and the inflate decoder over a storage that holds nothing but
// its compressed bytes.
#include <gtest/gtest.h>

#include <cstdio>
#include <string>

#include <zlib.h>

#include "archive/ZipCrc32.h"
#include "archive/ZipCrypto.h"
#include "archive/ZipEntryHeader.h"
#include "decoders/ZipInflateDecoder.h"
#include "decoders/ZipReadings.h"
#include "decoders/ZipStoredDecoder.h"
#include "errors/ZipException.h"
#include "storage/ZipMemStream.h"
#include "storage/ZipStore.h"
#include "support/reading_support.h"
#include "support/shell.h"
#include "support/test_platform.h"

using namespace reading;

namespace {

// A storage over a memory stream holding exactly the given bytes.
struct MemoryStore {
    explicit MemoryStore(const Bytes& bytes) : stream(65536)
    {
        store.OpenStream(&stream, CZipStore::create);
        if (!bytes.empty()) stream.Write(bytes.data(), static_cast<uint32_t>(bytes.size()));
        stream.SeekToBegin();
    }
    CZipMemStream stream;
    CZipStore store;
};

CZipEntryHeader MakeHeader(uint32_t compressed, uint32_t uncompressed, uint16_t flags = 0)
{
    CZipEntryHeader header;
    header.compressedSize = compressed;
    header.uncompressedSize = uncompressed;
    header.flags = flags;
    return header;
}

// Opens the framework's counters to the tests.
template <class Base>
class Open : public Base {
public:
    using Base::Base;
    using Base::compressedLeft;
    using Base::inputExhausted;
    using Base::uncompressedLeft;
};
using BitProbe = Open<CZipStoredDecoder>;

Bytes Deflate(const Bytes& data)
{
    z_stream z{};
    EXPECT_EQ(deflateInit2(&z, 9, Z_DEFLATED, -15, 8, Z_DEFAULT_STRATEGY), Z_OK);
    Bytes out(deflateBound(&z, static_cast<uLong>(data.size())) + 16);
    z.next_in = const_cast<Bytes::value_type*>(data.data());
    z.avail_in = static_cast<uInt>(data.size());
    z.next_out = out.data();
    z.avail_out = static_cast<uInt>(out.size());
    EXPECT_EQ(deflate(&z, Z_FINISH), Z_STREAM_END);
    out.resize(z.total_out);
    deflateEnd(&z);
    return out;
}

uint32_t Crc(const Bytes& data)
{
    return static_cast<uint32_t>(crc32(0, data.data(), static_cast<uInt>(data.size())));
}

Bytes ReadAll(CZipDecoder& decoder, uint32_t chunk, std::vector<uint32_t>* counts = nullptr)
{
    Bytes out;
    Bytes buffer(chunk);
    for (;;) {
        const uint32_t n = decoder.Read(buffer.data(), chunk);
        if (counts) counts->push_back(n);
        out.insert(out.end(), buffer.begin(), buffer.begin() + n);
        if (n < chunk) return out;
    }
}

int CodeOf(CZipDecoder& decoder, uint32_t chunk)
{
    try {
        ReadAll(decoder, chunk);
    } catch (const CZipException& e) {
        return e.code;
    }
    return 0;
}

} // namespace

TEST(DecoderBits, ReadAheadNeverPassesTheCompressedSize)
{
    Bytes bytes = MakeNoise(200000, 5);
    MemoryStore memory(bytes);
    const uint32_t size = 150001;
    CZipEntryHeader header = MakeHeader(size, size);
    BitProbe d;
    d.Init(&memory.store, &header, nullptr);
    EXPECT_EQ(d.FetchByte(), bytes[0]);
    EXPECT_EQ(d.compressedLeft, size - 1);
    uint8_t block[100];
    d.FetchBlock(block, 100);  // read-ahead bytes come first; counting is the caller's
    d.compressedLeft -= 100;
    EXPECT_TRUE(Bytes(block, block + 100) == Bytes(bytes.begin() + 1, bytes.begin() + 101));
    for (uint32_t i = 101; i < size; ++i) ASSERT_EQ(d.FetchByte(), bytes[i]) << i;
    EXPECT_EQ(d.compressedLeft, 0u);
    EXPECT_EQ(d.FetchByte(), 0xFF);
    EXPECT_EQ(memory.stream.GetPosition(), size);
}

TEST(DecoderBits, EncryptedEntriesStartBehindTheEncryptionHeader)
{
    MemoryStore memory(Bytes(100, 0));
    uint32_t keys[3] = {0, 0, 0};
    CZipEntryHeader header = MakeHeader(100, 88, 1);
    BitProbe d;
    d.Init(&memory.store, &header, keys);
    EXPECT_EQ(d.compressedLeft, 88u);
    // A size smaller than the encryption header itself leaves nothing to read.
    CZipEntryHeader tiny = MakeHeader(5, 5, 1);
    BitProbe t;
    t.Init(&memory.store, &tiny, keys);
    EXPECT_EQ(t.compressedLeft, 0u);
    uint8_t buffer[8];
    EXPECT_EQ(t.Read(buffer, 8), 0u);
}

TEST(DecoderCrypto, AgreesWithCPythonAndRoundTrips)
{
    ZIPEXT_NEED_LINUX_TOOLS("Python");
    const Bytes cipher = MakeNoise(300, 11);
    TempDir dir;
    WriteWholeFile(dir.File("cipher"), cipher);
    // CPython's zipfile decrypter, an independent implementation.
    const std::string script =
        "import sys, zipfile\n"
        "d = zipfile._ZipDecrypter(b'pass word')\n"
        "data = open(sys.argv[1], 'rb').read()\n"
        "open(sys.argv[2], 'wb').write(d(data))\n";
    ASSERT_TRUE(Shell("python3 -c " + Quote(script) + " " + Quote(dir.File("cipher")) + " " + Quote(dir.File("plain"))));
    const Bytes expected = ReadWholeFile(dir.File("plain"));
    ASSERT_EQ(expected.size(), cipher.size());

    const std::string password = "pass word";
    uint32_t keys[3];
    ZipCrypto::InitKeys(keys, reinterpret_cast<const uint8_t*>(password.data()), 9);
    Bytes block = cipher;
    ZipCrypto::DecryptBlock(keys, block.data(), 150);
    for (size_t i = 150; i < block.size(); ++i) ZipCrypto::DecryptByte(keys, block[i]);
    EXPECT_TRUE(block == expected);

    uint32_t encrypt[3];
    ZipCrypto::InitKeys(encrypt, reinterpret_cast<const uint8_t*>(password.data()), 9);
    ZipCrypto::EncryptBlock(encrypt, block.data(), 100);
    for (size_t i = 100; i < block.size(); ++i) ZipCrypto::EncryptByte(encrypt, block[i]);
    EXPECT_TRUE(block == cipher);
}

// Every inflate back end the build carries must deliver and fail alike.
TEST(DecoderInflate, DrainsAtExactMultiplesAndReportsZlibErrors)
{
    for (const ZipInflateBackend backend : ZipInflateBackends()) {
        SCOPED_TRACE(ZipInflateBackendName(backend));
        const Bytes plain = MakeText(131072, 8);
        Bytes deflated = Deflate(plain);
        const uint32_t size = static_cast<uint32_t>(deflated.size());
        {
            MemoryStore memory(deflated);
            CZipEntryHeader header = MakeHeader(size, 131072);
            Open<CZipInflateDecoder> d(backend);
            d.Init(&memory.store, &header, nullptr);
            std::vector<uint32_t> counts;
            EXPECT_TRUE(ReadAll(d, 65536, &counts) == plain);
            EXPECT_EQ(counts, (std::vector<uint32_t>{65536, 65536, 0}));
            EXPECT_EQ(d.compressedLeft, 0u);
            EXPECT_EQ(d.Crc(), Crc(plain));
            d.End();
        }
        for (uint32_t chunk : {1u, 333u, 65535u, 1u << 20}) {
            MemoryStore memory(deflated);
            CZipEntryHeader header = MakeHeader(size, 131072);
            CZipInflateDecoder d(backend);
            d.Init(&memory.store, &header, nullptr);
            EXPECT_TRUE(ReadAll(d, chunk) == plain) << chunk;
            // No End: the destructor must free the back end's state by itself.
        }
        {   // Cut short: the inflater runs out of input. What came before the damage is
            // delivered; the decoder names the error for the close.
            MemoryStore memory(deflated);
            CZipEntryHeader header = MakeHeader(size / 2, 131072);
            CZipInflateDecoder d(backend);
            d.Init(&memory.store, &header, nullptr);
            const Bytes got = ReadAll(d, 65536);
            EXPECT_GT(got.size(), 0u);
            EXPECT_TRUE(std::equal(got.begin(), got.end(), plain.begin()));
            EXPECT_TRUE(d.Damaged());
            EXPECT_EQ(d.ErrorCode(), ZipError::zlibBuffer);
            EXPECT_STREQ(d.StopReason(), "input ended");
        }
        {   // An invalid block type.
            Bytes bad = deflated;
            bad[0] = 0x07;
            MemoryStore memory(bad);
            CZipEntryHeader header = MakeHeader(size, 131072);
            CZipInflateDecoder d(backend);
            d.Init(&memory.store, &header, nullptr);
            EXPECT_EQ(CodeOf(d, 65536), ZipError::zlibData);
            EXPECT_STREQ(d.StopReason(), "invalid block type");
        }
        {   // A match reaching in front of the data: compressed against a
            // preset dictionary the entry does not carry.
            const std::string text = "a marker that repeats: a marker that repeats";
            Bytes packed(256);
            z_stream z{};
            ASSERT_EQ(deflateInit2(&z, 9, Z_DEFLATED, -15, 8, Z_DEFAULT_STRATEGY), Z_OK);
            deflateSetDictionary(&z, reinterpret_cast<const Bytef*>(text.data()), static_cast<uInt>(text.size()));
            z.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(text.data()));
            z.avail_in = static_cast<uInt>(text.size());
            z.next_out = packed.data();
            z.avail_out = static_cast<uInt>(packed.size());
            ASSERT_EQ(deflate(&z, Z_FINISH), Z_STREAM_END);
            packed.resize(z.total_out);
            deflateEnd(&z);
            MemoryStore memory(packed);
            CZipEntryHeader header = MakeHeader(static_cast<uint32_t>(packed.size()), static_cast<uint32_t>(text.size()));
            CZipInflateDecoder d(backend);
            d.Init(&memory.store, &header, nullptr);
            // The literal in front of the match is delivered; the close reports the damage.
            EXPECT_EQ(ReadAll(d, 65536), Bytes(1, 'a'));
            EXPECT_EQ(d.ErrorCode(), ZipError::zlibData);
            EXPECT_STREQ(d.StopReason(), "invalid distance too far back");
        }
        {   // The storage ends before the compressed size says: the data
            // ends with it, and the stream in it is decoded whole.
            MemoryStore memory(deflated);
            CZipEntryHeader header = MakeHeader(size + 70000, 131072);
            CZipInflateDecoder d(backend);
            d.Init(&memory.store, &header, nullptr);
            EXPECT_EQ(CodeOf(d, 65536), 0);
            EXPECT_EQ(d.Delivered(), plain.size());
            EXPECT_FALSE(d.Damaged());
            EXPECT_EQ(d.StopReason(), nullptr);
        }
        {   // Cut short as well: what decodes, then damage.
            MemoryStore memory(Bytes(deflated.begin(), deflated.begin() + size / 2));
            CZipEntryHeader header = MakeHeader(size, 131072);
            CZipInflateDecoder d(backend);
            d.Init(&memory.store, &header, nullptr);
            const Bytes got = ReadAll(d, 65536);
            EXPECT_TRUE(got.size() > 0 && std::equal(got.begin(), got.end(), plain.begin()));
            EXPECT_EQ(d.ErrorCode(), ZipError::zlibBuffer);
            EXPECT_TRUE(d.Damaged());
        }
        {   // Encrypted deflate data.
            const std::string password = "pw";
            uint32_t keys[3];
            ZipCrypto::InitKeys(keys, reinterpret_cast<const uint8_t*>(password.data()), 2);
            Bytes cipher = deflated;
            ZipCrypto::EncryptBlock(keys, cipher.data(), size);
            ZipCrypto::InitKeys(keys, reinterpret_cast<const uint8_t*>(password.data()), 2);
            MemoryStore memory(cipher);
            CZipEntryHeader header = MakeHeader(size + 12, 131072, 1);
            CZipInflateDecoder d(backend);
            d.Init(&memory.store, &header, keys);
            EXPECT_TRUE(ReadAll(d, 4096) == plain);
        }
    }
}

namespace {

// What one inflate run handed over and how it ended.
struct Outcome {
    Bytes bytes;
    int code = 0;
    bool damaged = false;
    bool operator==(const Outcome& o) const { return bytes == o.bytes && code == o.code && damaged == o.damaged; }
};

Outcome InflateWith(ZipInflateBackend backend, const Bytes& data, uint32_t chunk)
{
    MemoryStore memory(data);
    CZipEntryHeader header = MakeHeader(static_cast<uint32_t>(data.size()), 0);
    CZipInflateDecoder d(backend);
    d.Init(&memory.store, &header, nullptr);
    Outcome o;
    Bytes buffer(chunk);
    try {
        for (uint32_t n = chunk; n == chunk && o.bytes.size() < (1u << 20);) {
            n = d.Read(buffer.data(), chunk);
            o.bytes.insert(o.bytes.end(), buffer.begin(), buffer.begin() + n);
        }
    } catch (const CZipException& e) {
        o.code = e.code;
    }
    o.damaged = d.Damaged();
    if (o.code == 0) o.code = d.ErrorCode();
    return o;
}

} // namespace

// Each byte of a small stream (fixed and dynamic Huffman blocks and a
// stored one) set to a few other values in turn: the back ends must hand
// over the same bytes and name the same damage, at any read size.
TEST(DecoderInflate, BackEndsAgreeOnEveryDamagedByte)
{
    const std::vector<ZipInflateBackend> backends = ZipInflateBackends();
    if (backends.size() < 2) GTEST_SKIP() << "this build carries one inflate back end";
    Bytes plain = MakeText(3000, 5);
    const Bytes dynamic = Deflate(plain);
    Bytes input = dynamic;
    // A stored block and a fixed-Huffman one behind it: zlib's level 0 and
    // a short string at level 1.
    z_stream z{};
    deflateInit2(&z, 0, Z_DEFLATED, -15, 8, Z_DEFAULT_STRATEGY);
    Bytes mixed(4096);
    z.next_in = plain.data();
    z.avail_in = 300;
    z.next_out = mixed.data();
    z.avail_out = 4096;
    deflate(&z, Z_BLOCK);
    deflateParams(&z, 1, Z_FIXED);
    const Bytes tail = {'a', 'b', 'a', 'b', 'a', 'b', 'c'};
    z.next_in = const_cast<uint8_t*>(tail.data());
    z.avail_in = static_cast<uInt>(tail.size());
    deflate(&z, Z_FINISH);
    mixed.resize(z.total_out);
    deflateEnd(&z);
    for (const Bytes& stream : {dynamic, mixed}) {
        for (size_t at = 0; at < stream.size(); ++at) {
            for (const uint8_t delta : {0x01, 0x10, 0x80, 0xFF}) {
                Bytes bad = stream;
                bad[at] = static_cast<uint8_t>(bad[at] ^ delta);
                for (const uint32_t chunk : {1u, 7u, 65536u}) {
                    const Outcome a = InflateWith(backends[0], bad, chunk);
                    const Outcome b = InflateWith(backends[1], bad, chunk);
                    ASSERT_TRUE(a == b) << "byte " << at << " ^ " << int(delta) << ", reads of " << chunk << ": "
                                        << a.bytes.size() << " bytes, code " << a.code << " against "
                                        << b.bytes.size() << " bytes, code " << b.code;
                }
            }
        }
    }
}

// The checksum of entry data, whichever implementation the build uses,
// carried across pieces of every length.
TEST(DecoderCrc, MatchesZlibOverPiecesOfEveryLength)
{
    const Bytes data = MakeText(5000, 3);
    for (size_t piece = 1; piece < 300; piece += 7) {
        uint32_t crc = 0;
        for (size_t at = 0; at < data.size(); at += piece)
            crc = ZipCrc32(crc, data.data() + at, std::min(piece, data.size() - at));
        ASSERT_EQ(crc, Crc(data)) << piece;
    }
    EXPECT_EQ(ZipCrc32(0x12345678u, data.data(), 0), 0x12345678u);
}

namespace {

// Decodes "ahead" into a small window: a counting pattern of total bytes,
// produced in uneven pieces.
class PatternWindowDecoder : public CZipWindowDecoder {
public:
    explicit PatternWindowDecoder(uint32_t totalBytes) : total(totalBytes) { window = storage; }
    bool Produce() override
    {
        if (made == total) return false;
        const uint32_t n = std::min<uint32_t>(total - made, 700 + made % 300);
        for (uint32_t i = 0; i < n; ++i) storage[i] = static_cast<uint8_t>((made + i) * 7);
        made += n;
        return FlushWindow(n);
    }
    uint32_t total;
    uint32_t made = 0;
    uint8_t storage[1000];
};

} // namespace

TEST(DecoderWindow, DeliversPendingBytesAcrossReadsOfAnySize)
{
    const uint32_t total = 12345;
    Bytes expected(total);
    for (uint32_t i = 0; i < total; ++i) expected[i] = static_cast<uint8_t>(i * 7);
    for (uint32_t chunk : {1u, 7u, 699u, 1000u, 4096u, 20000u}) {
        MemoryStore memory({});
        CZipEntryHeader header = MakeHeader(0, total);
        PatternWindowDecoder d(total);
        d.Init(&memory.store, &header, nullptr);
        EXPECT_TRUE(ReadAll(d, chunk) == expected) << chunk;
        EXPECT_EQ(d.UncompressedLeft(), 0u);
        EXPECT_EQ(d.Crc(), Crc(expected));
        uint8_t b;
        EXPECT_EQ(d.Read(&b, 1), 0u);
        EXPECT_EQ(d.Read(nullptr, 5), 0u);
    }
    // More bytes than the header promised: the count stops at 0.
    MemoryStore memory({});
    CZipEntryHeader header = MakeHeader(0, 100);
    PatternWindowDecoder d(total);
    d.Init(&memory.store, &header, nullptr);
    EXPECT_EQ(ReadAll(d, 4096).size(), total);
    EXPECT_EQ(d.UncompressedLeft(), 0u);
}

// The reading table: a listed entry is read as listed first, every kind has
// one row that the lookup finds, and only the listed reading of one content
// both headers agree on may be cured in place.
TEST(DecoderReadings, EveryKindHasOneRowAndOnlyTheListedReadingCuresInPlace)
{
    std::vector<int> seen(static_cast<size_t>(ZipReadingKind::lenientUnlisted) + 1, 0);
    for (const ZipReadingRows& rows : {ZipListedReadings(), ZipFoundReadings()})
        for (const ZipReadingRow& row : rows) {
            ++seen[static_cast<size_t>(row.kind)];
            EXPECT_EQ(&ZipReading(row.kind), &row) << row.name;
            EXPECT_TRUE(row.applies && row.view && row.reads && row.when) << row.name;
        }
    EXPECT_EQ(seen, std::vector<int>(seen.size(), 1));
    EXPECT_EQ(ZipListedReadings().begin()->kind, ZipReadingKind::listed);

    ZipReadingState s;
    s.header = MakeHeader(10, 10);
    s.header.method = 8;
    s.decodable = true;
    CZipExtraction x;
    x.complete = true;
    const ZipReadingRow& listed = ZipReading(ZipReadingKind::listed);
    EXPECT_TRUE(ZipReadingReplaces(listed, s, x));
    EXPECT_FALSE(ZipReadingReplaces(ZipReading(ZipReadingKind::raw), s, x));
    s.disagree = true;
    EXPECT_FALSE(ZipReadingReplaces(listed, s, x));
    s.disagree = false;
    x.readAsPlain = true;
    EXPECT_FALSE(ZipReadingReplaces(listed, s, x));
    // Raw bytes are read only where the first reading did not decode.
    s.first.opened = s.first.intact = s.first.ownEnd = true;
    EXPECT_FALSE(ZipReading(ZipReadingKind::raw).applies(s));
    s.first.intact = false;
    EXPECT_TRUE(ZipReading(ZipReadingKind::raw).applies(s));
    EXPECT_EQ(ZipReading(ZipReadingKind::raw).view(s).method, 0);
}
