// Explode (method 6) and Deflate64 (method 9): archives made by 7zz on
// varied inputs, hand-written streams for the resumption points and the
// deflate64-only codes, and damaged data; and the Huffman tables both
// build. The corpus's entries of these methods are in corpus_methods_test.cpp.
#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <random>
#include <string>
#include <vector>

#include "archive/ZipEntryHeader.h"
#include "decoders/ZipArchiveEx.h"
#include "decoders/ZipHuffman.h"
#include "errors/ZipErrorCodes.h"
#include "errors/ZipException.h"
#include "storage/ZipMemStream.h"
#include "support/huff_support.h"
#include "support/lzw_raw.h"
#include "support/corpus.h"
#include "support/test_platform.h"

namespace {

using Bytes = std::vector<uint8_t>;

// 7zz's deflate64 encoder at three levels on text, noise, long runs and a
// mix with far repeats: our output must be the input again.
TEST(Deflate64With7zz, VariedInputsRoundTrip)
{
    ZIPEXT_NEED_LINUX_TOOLS("7zz");
    TempDir dir;
    ASSERT_FALSE(dir.Path().empty());
    std::map<std::string, Bytes> inputs;
    for (const char* kind : {"text", "random", "runs", "mixed"}) {
        inputs[kind] = huff::MakeInput(kind, kind == std::string("random") ? 200000 : 700000, 7);
        std::FILE* f = std::fopen(dir.File(kind).c_str(), "wb");
        ASSERT_NE(f, nullptr);
        std::fwrite(inputs[kind].data(), 1, inputs[kind].size(), f);
        std::fclose(f);
    }
    for (const char* level : {"1", "5", "9"}) {
        const std::string zip = dir.File(std::string("d64-") + level + ".zip");
        ASSERT_TRUE(Shell("cd '" + dir.Path() + "' && 7zz a -tzip -mm=Deflate64 -mx=" + level + " '" +
                                zip + "' text random runs mixed >/dev/null"));
        const Bytes image = ReadWholeFile(zip);
        for (uint32_t size : {7u, 65536u}) {
            const auto all = ExtractAll(image, 9, size);
            // 7zz stores what it cannot shrink; the rest must be method 9.
            EXPECT_GE(all.size(), 3u);
            for (const auto& x : all) {
                SCOPED_TRACE(x.name + " -mx=" + level + " buffer " + std::to_string(size));
                EXPECT_TRUE(x.result);
                EXPECT_TRUE(x.bytes == inputs[x.name]);
            }
        }
    }
}

Bytes RandomBytes(uint32_t n, uint32_t seed)
{
    std::mt19937 rng(seed);
    Bytes b(n);
    for (auto& x : b) x = static_cast<uint8_t>(rng());
    return b;
}

// Read patterns that end the caller's buffer at many different points.
const std::vector<std::vector<uint32_t>> kPatterns = {
    {1}, {7}, {16384}, {65536}, {65535}, {100000}, {3, 65533, 11}, {65537, 2}, {999}};

void ExpectDeflate64(const Bytes& stream, const Bytes& expected)
{
    for (const auto& pattern : kPatterns) {
        SCOPED_TRACE("pattern starting " + std::to_string(pattern[0]));
        const auto r = lzw::DecodeRaw(9, 0, static_cast<uint32_t>(expected.size()), stream, pattern);
        ASSERT_EQ(r.bytes.size(), expected.size());
        EXPECT_TRUE(r.bytes == expected);
        EXPECT_EQ(r.uncompressedLeft, 0u);
        EXPECT_EQ(r.crc, lzw::Crc32(expected));
    }
}

// Length code 285 with 16 extra bits all set copies 65538 bytes, and
// distance code 31 with 14 extra bits all set reaches back 65536: the whole
// ring. The history comes from two stored blocks.
TEST(Deflate64Streams, LongestMatchAtTheWholeWindow)
{
    const Bytes data = RandomBytes(65536, 1);
    huff::DeflateWriter w;
    w.Stored(Bytes(data.begin(), data.end() - 1), false);
    w.Stored(Bytes(data.end() - 1, data.end()), false);
    w.FixedHeader(true);
    w.FixedLiteral(285);
    w.Bits(0xFFFF, 16);
    w.FixedDistance(31);
    w.Bits(0x3FFF, 14);
    w.FixedLiteral(256);
    Bytes expected = data;
    expected.insert(expected.end(), data.begin(), data.end());
    expected.insert(expected.end(), data.begin(), data.begin() + 2);
    ExpectDeflate64(w.Finish(), expected);
}

// A match that starts inside the ring and runs past its end (and past the
// caller's buffer end, for most patterns) at a short distance; then a match
// at distance code 30 (32769) and literals after both.
TEST(Deflate64Streams, MatchesAcrossTheRingEndAndCode30)
{
    const Bytes head = RandomBytes(40000, 2);
    huff::DeflateWriter w;
    w.FixedHeader(false);
    for (int i = 0; i < 5; ++i) w.FixedLiteral(head[i]);  // leaves the stored block unaligned
    w.FixedLiteral(256);
    w.Stored(Bytes(head.begin() + 5, head.end()), false);
    w.FixedHeader(true);
    w.FixedLiteral(285);  // 3 + 30000 at distance 1000
    w.Bits(30000, 16);
    w.FixedDistance(19);  // 769 + 231 = 1000
    w.Bits(231, 8);
    w.FixedLiteral(285);  // 3 + 1 at distance 32769
    w.Bits(1, 16);
    w.FixedDistance(30);
    w.Bits(0, 14);
    w.FixedLiteral('z');
    w.FixedLiteral(256);
    Bytes expected = head;
    for (int i = 0; i < 30003; ++i) expected.push_back(expected[expected.size() - 1000]);
    for (int i = 0; i < 4; ++i) expected.push_back(expected[expected.size() - 32769]);
    expected.push_back('z');
    ExpectDeflate64(w.Finish(), expected);
}

// Damaged streams end the data where the damage is: what came before is
// delivered, the counters show the entry short, nothing reads past the data.
TEST(Deflate64Streams, DamageEndsTheData)
{
    struct Case {
        const char* what;
        Bytes stream;
        uint32_t declared;
        std::string delivered;
    };
    std::vector<Case> cases;
    auto stored = [](huff::DeflateWriter& w) { w.Stored(Bytes{'a', 'b', 'c'}, false); };
    {
        huff::DeflateWriter w;
        stored(w);
        w.Bits(1, 1);
        w.Bits(3, 2);
        cases.push_back({"block type 3", w.Finish(), 10, "abc"});
    }
    {
        huff::DeflateWriter w;
        stored(w);
        w.FixedHeader(true);
        w.FixedLiteral('d');
        w.FixedLiteral(286);
        cases.push_back({"length code 286", w.Finish(), 10, "abcd"});
    }
    {
        huff::DeflateWriter w;
        stored(w);
        w.FixedHeader(true);
        w.FixedLiteral(257);  // length 3
        w.FixedDistance(3);   // distance 4, one byte before the first
        cases.push_back({"distance before the first byte", w.Finish(), 10, "abc"});
    }
    {
        huff::DeflateWriter w;
        stored(w);
        w.Bits(1, 1);
        w.Bits(0, 2);
        w.AlignToByte();
        w.Bits(5, 16);
        w.Bits(5, 16);
        cases.push_back({"stored length check", w.Finish(), 10, "abc"});
    }
    {
        huff::DeflateWriter w;
        stored(w);
        w.Bits(1, 1);
        w.Bits(0, 2);
        w.AlignToByte();
        w.Bits(100, 16);
        w.Bits(~100u & 0xFFFF, 16);
        for (int i = 0; i < 10; ++i) w.Bits('0' + i, 8);
        cases.push_back({"stored block cut short", w.Finish(), 200, "abc0123456789"});
    }
    {
        huff::DeflateWriter w;
        stored(w);
        w.Bits(1, 1);
        w.Bits(2, 2);  // dynamic
        w.Bits(0, 5);
        w.Bits(0, 5);
        w.Bits(15, 4);
        for (int i = 0; i < 19; ++i) w.Bits(1, 3);  // 19 codes of one bit
        cases.push_back({"over-subscribed code-length code", w.Finish(), 10, "abc"});
    }
    {
        huff::DeflateWriter w;
        stored(w);
        w.FixedHeader(true);
        for (char c : std::string("defgh")) w.FixedLiteral(static_cast<uint8_t>(c));
        cases.push_back({"data ends without end of block", w.Finish(), 20, "abcdefgh"});
    }
    {
        huff::DeflateWriter w;
        w.Stored(Bytes{'a', 'b', 'c', 'd', 'e', 'f'}, true);
        // The header's size hides nothing: the stream is decoded to its end.
        cases.push_back({"more data than the header says", w.Finish(), 4, "abcdef"});
    }
    for (const auto& c : cases) {
        for (uint32_t size : {1u, 65536u}) {
            SCOPED_TRACE(std::string(c.what) + " buffer " + std::to_string(size));
            const auto r = lzw::DecodeRaw(9, 0, c.declared, c.stream, size);
            EXPECT_EQ(std::string(r.bytes.begin(), r.bytes.end()), c.delivered);
            EXPECT_EQ(r.uncompressedLeft, c.declared - std::min<uint32_t>(c.declared, c.delivered.size()));
            EXPECT_EQ(r.crc, lzw::Crc32(r.bytes));
            EXPECT_LE(r.reads, c.delivered.size() + 3);
        }
    }
}

// Implode data by hand: both trees give all 64 symbols 6-bit codes, sent as
// four runs of 16; codes are sent inverted.
class ImplodeWriter {
public:
    explicit ImplodeWriter(bool literalTree)
    {
        if (literalTree) {
            bytes.push_back(15);  // 16 runs of 16 symbols of length 8
            for (int i = 0; i < 16; ++i) bytes.push_back(0xF7);
        }
        for (int tree = 0; tree < 2; ++tree) {
            bytes.push_back(3);
            for (int i = 0; i < 4; ++i) bytes.push_back(0xF5);
        }
    }
    void Literal(uint8_t b, bool literalTree)
    {
        bits.Put(1, 1);
        if (literalTree) Code(b, 8);
        else bits.Put(b, 8);
    }
    void Match(uint32_t distance, uint32_t length, uint32_t lowBits, uint32_t minimum)
    {
        bits.Put(0, 1);
        bits.Put((distance - 1) & ((1u << lowBits) - 1), lowBits);
        Code((distance - 1) >> lowBits, 6);
        const uint32_t symbol = std::min(length - minimum, 63u);
        Code(symbol, 6);
        if (symbol == 63) bits.Put(length - minimum - 63, 8);
    }
    Bytes Finish() const
    {
        Bytes out = bytes;
        const Bytes b = bits.Finish();
        out.insert(out.end(), b.begin(), b.end());
        return out;
    }

private:
    void Code(uint32_t symbol, uint32_t length)
    {
        for (uint32_t i = length; i-- > 0;) bits.Put(((~symbol) >> i) & 1u, 1);
    }
    Bytes bytes;
    lzw::BitWriter bits;
};

// All four variants: literals plain or through the literal tree, 4 or 8 KiB
// dictionaries; the longest length (code 63 plus 255), a match reaching
// before the first byte (zeros), and the farthest distance.
TEST(ExplodeStreams, VariantsLongMatchesAndZerosBeforeTheStart)
{
    for (uint16_t flags : {0, 2, 4, 6}) {
        const bool tree = flags & 4;
        const uint32_t lowBits = (flags & 2) ? 7 : 6;
        const uint32_t minimum = tree ? 3 : 2;
        const uint32_t far = 64u << lowBits;  // 4096 or 8192
        ImplodeWriter w(tree);
        Bytes expected;
        w.Literal('A', tree);
        w.Literal('B', tree);
        expected = {'A', 'B'};
        w.Match(5, minimum + 2, lowBits, minimum);  // three bytes before the start
        for (uint32_t i = 0; i < minimum + 2; ++i)
            expected.push_back(expected.size() >= 5 ? expected[expected.size() - 5] : 0);
        const Bytes noise = RandomBytes(far, flags);
        for (uint8_t b : noise) {
            w.Literal(b, tree);
            expected.push_back(b);
        }
        const uint32_t longest = minimum + 63 + 255;
        w.Match(far, longest, lowBits, minimum);
        for (uint32_t i = 0; i < longest; ++i) expected.push_back(expected[expected.size() - far]);
        w.Match(1, 40, lowBits, minimum);
        for (uint32_t i = 0; i < 40; ++i) expected.push_back(expected.back());
        const Bytes stream = w.Finish();
        for (const auto& pattern : kPatterns) {
            SCOPED_TRACE("flags " + std::to_string(flags) + " pattern " + std::to_string(pattern[0]));
            const auto r = lzw::DecodeRaw(6, flags, static_cast<uint32_t>(expected.size()), stream, pattern);
            EXPECT_TRUE(r.initOk);
            EXPECT_TRUE(r.bytes == expected);
            EXPECT_EQ(r.uncompressedLeft, 0u);
            EXPECT_EQ(r.crc, lzw::Crc32(expected));
        }
        // The data ends before the header's size: symbols that would need
        // bits past the end are not decoded.
        const auto r = lzw::DecodeRaw(6, flags, static_cast<uint32_t>(expected.size()) + 100, stream, 65536);
        EXPECT_TRUE(r.bytes == expected);
        EXPECT_EQ(r.uncompressedLeft, 100u);
    }
}

// Tree descriptions that do not add up, and trees that do not make a
// complete code: Init fails and the decoder delivers nothing.
TEST(ExplodeStreams, BadTreesDeliverNothing)
{
    const std::vector<Bytes> streams = {
        {3, 0xF5, 0xF5, 0xF5, 0xF4, 3, 0xF5, 0xF5, 0xF5, 0xF5, 0xFF},  // 63 symbols
        {3, 0xF5, 0xF5, 0xF5, 0xF5, 4, 0xF5, 0xF5, 0xF5, 0xF5, 0x05},  // 65 symbols
        {3, 0xF4, 0xF5, 0xF5, 0xF5, 3, 0xF5, 0xF5, 0xF5, 0xF5, 0xFF},  // incomplete
        {3, 0xF5, 0xF5, 0xF5, 0xF5, 3, 0xF5, 0xF5, 0xF5, 0xF6},        // over-subscribed
        {3, 0xF5, 0xF5},                                                // cut short
    };
    for (size_t i = 0; i < streams.size(); ++i) {
        const auto r = lzw::DecodeRaw(6, 0, 50, streams[i], 7);
        EXPECT_FALSE(r.initOk) << i;
        EXPECT_TRUE(r.bytes.empty()) << i;
        EXPECT_EQ(r.uncompressedLeft, 50u) << i;
    }
}

// Walks a built table with a code given in arrival order (first bit in bit 0).
const CZipHuffmanEntry* Walk(const CZipHuffmanTable& t, uint32_t bits, uint32_t code, uint32_t& used)
{
    const CZipHuffmanEntry* e = &t.Entries()[code & ZipHuffman::Mask(bits)];
    used = 0;
    while (e->op > ZipHuffman::opLiteral && e->op <= ZipHuffman::opLinkLast) {
        used += e->bits;
        e = &t.Entries()[e->value + ((code >> used) & ZipHuffman::Mask(e->op - ZipHuffman::opLinkBase))];
    }
    used += e->bits;
    return e;
}

// Random complete codes of up to 16 bits over 64 to 288 symbols: every
// symbol's canonical code leads to that symbol through any number of
// sub-table levels, and the result codes tell complete, incomplete and
// over-subscribed sets apart.
TEST(HuffmanTable, CanonicalCodesDecodeThroughSubTables)
{
    std::mt19937 rng(5);
    uint16_t base[288];
    uint8_t extra[288];
    for (uint32_t i = 0; i < 288; ++i) {
        base[i] = static_cast<uint16_t>(1000 + i);
        extra[i] = static_cast<uint8_t>(i % 17);
    }
    for (int round = 0; round < 200; ++round) {
        const uint32_t n = 64 + rng() % 225;
        // Split a complete tree at random until there are n leaves.
        std::vector<uint32_t> depth = {1, 1};
        while (depth.size() < n) {
            const size_t i = rng() % depth.size();
            if (depth[i] >= 16) continue;
            ++depth[i];
            depth.push_back(depth[i]);
        }
        std::shuffle(depth.begin(), depth.end(), rng);
        const uint32_t s = rng() % 2 ? 257 : 0;
        uint32_t bits = 5 + rng() % 5;
        CZipHuffmanTable table;
        ASSERT_EQ(BuildHuffmanTable(depth.data(), n, s, base, extra, table, bits), ZipHuffman::built);
        // Canonical codes, sent most significant bit first.
        uint32_t code = 0;
        for (uint32_t len = 1; len <= 16; ++len) {
            for (uint32_t sym = 0; sym < n; ++sym) {
                if (depth[sym] != len) continue;
                uint32_t arrival = 0;
                for (uint32_t i = 0; i < len; ++i) arrival |= ((code >> (len - 1 - i)) & 1u) << i;
                uint32_t used = 0;
                const CZipHuffmanEntry* e = Walk(table, bits, arrival, used);
                ASSERT_EQ(used, len) << "symbol " << sym;
                if (sym < s) {
                    EXPECT_EQ(e->value, sym);
                    EXPECT_EQ(e->op, sym < 256 ? ZipHuffman::opLiteral : ZipHuffman::opEndOfBlock);
                } else {
                    EXPECT_EQ(e->value, base[sym - s]);
                    EXPECT_EQ(e->op, extra[sym - s]);
                }
                ++code;
            }
            code <<= 1;
        }
        // One code more is too many; one less leaves a hole.
        std::vector<uint32_t> more = depth;
        more.push_back(16);
        uint32_t b = bits;
        EXPECT_EQ(BuildHuffmanTable(more.data(), n + 1, s, base, extra, table, b), ZipHuffman::overSubscribed);
        EXPECT_TRUE(table.Empty());
        std::vector<uint32_t> fewer = depth;
        *std::max_element(fewer.begin(), fewer.end()) = 0;
        b = bits;
        EXPECT_EQ(BuildHuffmanTable(fewer.data(), n, s, base, extra, table, b), ZipHuffman::incomplete);
        EXPECT_FALSE(table.Empty());
    }
}

TEST(HuffmanTable, EdgeCases)
{
    CZipHuffmanTable table;
    const uint32_t none[4] = {0, 0, 0, 0};
    uint32_t bits = 7;
    EXPECT_EQ(BuildHuffmanTable(none, 4, 4, nullptr, nullptr, table, bits), ZipHuffman::built);
    EXPECT_TRUE(table.Empty());
    EXPECT_EQ(bits, 0u);
    // A single one-bit code is complete; the other bit pattern is invalid.
    const uint32_t single[4] = {0, 1, 0, 0};
    bits = 7;
    EXPECT_EQ(BuildHuffmanTable(single, 4, 4, nullptr, nullptr, table, bits), ZipHuffman::built);
    ASSERT_EQ(bits, 1u);
    EXPECT_EQ(table.Entries()[0].value, 1u);
    EXPECT_EQ(table.Entries()[1].op, ZipHuffman::opInvalid);
    // The first-level width is raised to the shortest code.
    const uint32_t wide[4] = {2, 2, 2, 2};
    bits = 1;
    EXPECT_EQ(BuildHuffmanTable(wide, 4, 4, nullptr, nullptr, table, bits), ZipHuffman::built);
    EXPECT_EQ(bits, 2u);
    // Lengths past 16 are refused.
    const uint32_t tooLong[2] = {1, 17};
    bits = 7;
    EXPECT_EQ(BuildHuffmanTable(tooLong, 2, 2, nullptr, nullptr, table, bits), ZipHuffman::overSubscribed);
}

} // namespace
