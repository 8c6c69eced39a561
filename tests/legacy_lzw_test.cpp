// Unshrink (method 1) and unreduce (methods 2 to 5): hand-made streams for
// the corners real compressors rarely reach. The corpus's archives of these
// methods are read in the table of every method (legacy_huffman_test.cpp).
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <map>
#include <vector>

#include "support/lzw_raw.h"

namespace {

using Bytes = std::vector<uint8_t>;

const uint32_t kBufferSizes[] = {1, 7, 16384, 65536};

Bytes Text(const std::string& s) { return Bytes(s.begin(), s.end()); }

// ---- Unshrink, hand-made streams ---------------------------------------

// Codes of the given sizes, packed as the compressor writes them.
Bytes Codes(const std::vector<std::pair<uint32_t, uint32_t>>& codes)
{
    lzw::BitWriter w;
    for (const auto& c : codes) w.Put(c.first, c.second);
    return w.Finish();
}

lzw::DecodeResult Unshrink(const Bytes& data, uint32_t size, uint32_t bufferSize = 65536)
{
    return lzw::DecodeRaw(1, 0, size, data, bufferSize);
}

TEST(Unshrink, StringsCodeWideningAndTheUndefinedCode)
{
    // a b 257="ab" 259 (not yet defined: "ab" + 'a') 256,1 (10 bits) c
    const Bytes data = Codes({{'a', 9}, {'b', 9}, {257, 9}, {259, 9}, {256, 9}, {1, 9}, {'c', 10}});
    const Bytes expected = Text("abababac");
    // Every buffer size: strings split across reads, the rest kept pending.
    for (uint32_t size = 1; size <= 10; ++size) {
        const auto r = Unshrink(data, static_cast<uint32_t>(expected.size()), size);
        EXPECT_EQ(r.bytes, expected) << size;
        EXPECT_EQ(r.uncompressedLeft, 0u);
        EXPECT_EQ(r.crc, lzw::Crc32(expected));
    }
}

TEST(Unshrink, PartialClearFreesLeavesAndReusesTheLowestFreedCode)
{
    // a b 257 c: the table holds 257="ab", 258="ba", 259="abc". The clear
    // keeps 257 (259's prefix) and frees 258 and 259. Then d adds 258="cd",
    // 258 adds 259="dc", 257 adds 260="cda", 259 adds 261="abd".
    const Bytes data = Codes({{'a', 9}, {'b', 9}, {257, 9}, {'c', 9}, {256, 9}, {2, 9}, {'d', 9},
                              {258, 9}, {257, 9}, {259, 9}, {260, 9}, {261, 9}});
    const Bytes expected = Text("a" "b" "ab" "c" "d" "cd" "ab" "dc" "cda" "abd");
    for (uint32_t size : {1u, 2u, 65536u}) {
        const auto r = Unshrink(data, static_cast<uint32_t>(expected.size()), size);
        EXPECT_EQ(r.bytes, expected) << size;
    }
}

TEST(Unshrink, OneByteEntryAndALastCodeOnTheLastBit)
{
    const auto one = Unshrink(Codes({{'x', 9}}), 1, 10);
    EXPECT_EQ(one.bytes, Text("x"));
    EXPECT_EQ(one.uncompressedLeft, 0u);
    // Eight 9-bit codes fill exactly nine bytes.
    std::vector<std::pair<uint32_t, uint32_t>> codes;
    for (char c = 'a'; c <= 'h'; ++c) codes.push_back({static_cast<uint32_t>(c), 9});
    const Bytes data = Codes(codes);
    ASSERT_EQ(data.size(), 9u);
    EXPECT_EQ(Unshrink(data, 8).bytes, Text("abcdefgh"));
}

// Streams outside the format: each ends the data where it goes wrong, with
// the bytes before it delivered and the entry left incomplete.
TEST(Unshrink, MalformedStreamsEndTheData)
{
    struct Case {
        const char* what;
        Bytes data;
        Bytes delivered;
    };
    const Case cases[] = {
        {"code size past 13",
         Codes({{'a', 9}, {256, 9}, {1, 9}, {256, 10}, {1, 10}, {256, 11}, {1, 11}, {256, 12}, {1, 12},
                {'b', 13}, {256, 13}, {1, 13}, {'c', 13}, {'d', 13}}),
         Text("ab")},
        // After the clear the previous code 257 is free and the lowest free
        // one, so the next code added is 257 with itself as prefix.
        {"prefix chain that loops", Codes({{'a', 9}, {'b', 9}, {257, 9}, {256, 9}, {2, 9}, {'c', 9}, {257, 9}}),
         Text("ababc")},
        {"first code not a literal", Codes({{300, 9}, {'a', 9}}), Bytes()},
        {"no data", Bytes(), Bytes()},
        {"less than one code", Bytes{0x61}, Bytes()},
    };
    for (const auto& c : cases) {
        for (uint32_t size : {1u, 65536u}) {
            const auto r = Unshrink(c.data, 1000, size);
            EXPECT_EQ(r.bytes, c.delivered) << c.what;
            EXPECT_EQ(r.uncompressedLeft, 1000u - c.delivered.size()) << c.what;
        }
    }
}

TEST(Unshrink, UnknownControlCodesAreSkippedAndAHeaderSizeTooSmallCutsNothing)
{
    const Bytes data = Codes({{'a', 9}, {256, 9}, {3, 9}, {'b', 9}, {'c', 9}});
    EXPECT_EQ(Unshrink(data, 3).bytes, Text("abc"));
    // A header that says less than the data holds hides nothing: the data
    // is decoded to its end.
    const auto r = Unshrink(data, 2, 1);
    EXPECT_EQ(r.bytes, Text("abc"));
    EXPECT_EQ(r.uncompressedLeft, 0u);
    EXPECT_EQ(r.crc, lzw::Crc32(Text("abc")));
}

// The decoder keeps its clear bookkeeping incrementally. This is the plain
// form it must agree with: a clear scans the whole table, the next free code
// is searched from the last one assigned, and a stream outside the format
// ends where the decoder ends it.
Bytes UnshrinkByTableScans(const Bytes& data)
{
    constexpr uint32_t kCodes = 8192, kFree = 0x2000;
    std::vector<uint32_t> prefix(kCodes, kFree);
    std::vector<uint8_t> suffix(kCodes, 0);
    for (uint32_t i = 0; i < 256; ++i) {
        prefix[i] = 256;
        suffix[i] = static_cast<uint8_t>(i);
    }
    uint64_t at = 0;
    const uint64_t total = data.size() * 8ull;
    auto get = [&](uint32_t n, uint32_t& v) {
        if (total - at < n) return false;
        v = 0;
        for (uint32_t k = 0; k < n; ++k, ++at) v |= ((data[at / 8] >> (at % 8)) & 1u) << k;
        return true;
    };
    Bytes out;
    uint32_t size = 9, previous = 0, last = 256, code = 0;
    if (!get(9, previous) || previous >= 256) return out;
    out.push_back(static_cast<uint8_t>(previous));
    while (get(size, code)) {
        if (code == 256) {
            uint32_t sub = 0;
            if (!get(size, sub) || (sub == 1 && size == 13)) break;
            if (sub == 1) ++size;
            if (sub == 2) {
                std::vector<bool> hasChild(kCodes, false);
                for (uint32_t c = 257; c < kCodes; ++c)
                    if (prefix[c] != kFree) hasChild[prefix[c]] = true;
                for (uint32_t c = 257; c < kCodes; ++c)
                    if (!hasChild[c]) prefix[c] = kFree;
                    else if (prefix[c] == kFree) prefix[c] = 0;  // a free code made a prefix
                last = 256;
            }
            continue;
        }
        const bool undefined = prefix[code] == kFree;
        Bytes string;
        uint32_t c = undefined ? previous : code;
        const size_t room = kCodes - (undefined ? 2 : 1);
        for (; c > 256 && string.size() < room; c = prefix[c] == kFree ? 0 : prefix[c]) string.push_back(suffix[c]);
        if (c > 256) break;
        string.push_back(static_cast<uint8_t>(c));
        std::reverse(string.begin(), string.end());
        if (undefined) string.push_back(string[0]);
        out.insert(out.end(), string.begin(), string.end());
        uint32_t j = last + 1;
        while (j < kCodes && prefix[j] != kFree) ++j;
        last = std::min(j, kCodes - 1);
        if (j < kCodes) {
            prefix[j] = previous;
            suffix[j] = string[0];
        }
        previous = code;
    }
    return out;
}

// Random streams rich in clears, undefined codes and codes of any number,
// well-formed or not, decode exactly as the table scans do.
TEST(Unshrink, ClearsAgreeWithFullTableScans)
{
    uint32_t seed = 12345;
    auto next = [&](uint32_t n) {
        seed = seed * 1103515245u + 12345u;
        return (seed >> 8) % n;
    };
    for (int stream = 0; stream < 100; ++stream) {
        lzw::BitWriter w;
        w.Put('a' + next(3), 9);
        uint32_t size = 9;
        // Stretches with clears now and then or in bursts, and long ones
        // without (the first one always), each ending in a clear.
        for (int phase = 0, phases = 2 + static_cast<int>(next(4)); phase < phases; ++phase) {
            const uint32_t clearPercent = phase == 0 ? 0 : std::vector<uint32_t>{0, 1, 5, 20, 50}[next(5)];
            const int n = (phase == 0 ? 1100 : 100) + static_cast<int>(next(2000));
            for (int k = 0; k < n; ++k) {
                const uint32_t pick = next(100);
                if (pick < clearPercent) {
                    w.Put(256, size);
                    w.Put(2, size);
                } else if (pick < clearPercent + 2 && size < 13) {
                    w.Put(256, size);
                    w.Put(1, size);
                    ++size;
                } else if (pick < 50) {
                    w.Put('a' + next(4), size);
                } else if (pick < 98) {
                    // Mostly codes near the ones in use, some not yet assigned.
                    w.Put(std::min(257 + next(64u << (size - 9)), (1u << size) - 1), size);
                } else {
                    w.Put(next(1u << size), size);
                }
            }
            w.Put(256, size);
            w.Put(2, size);
        }
        const Bytes data = w.Finish();
        const Bytes expected = UnshrinkByTableScans(data);
        for (uint32_t buffer : {7u, 65536u}) {
            const auto r = Unshrink(data, 0xFFFFFFFFu, buffer);
            ASSERT_EQ(r.bytes, expected) << "stream " << stream << " buffer " << buffer;
        }
    }
}

// ---- Unreduce, hand-made streams ---------------------------------------

// Writes reduced data for one factor and keeps the bytes it stands for: a
// back reference copies byte by byte from `distance` bytes back (zeros
// before the first byte).
class ReduceWriter {
public:
    ReduceWriter(uint32_t factorArg, const std::map<int, Bytes>& setsArg) : factor(factorArg), sets(setsArg)
    {
        for (int i = 255; i >= 0; --i) {
            const Bytes& set = Set(i);
            bits.Put(static_cast<uint32_t>(set.size()), 6);
            for (uint8_t b : set) bits.Put(b, 8);
        }
    }
    // One first-stage symbol, coded through the follower set of the last.
    void Symbol(uint8_t s)
    {
        const Bytes& set = Set(last);
        if (set.empty()) {
            bits.Put(s, 8);
        } else {
            size_t i = 0;
            while (i < set.size() && set[i] != s) ++i;
            if (i < set.size()) {
                bits.Put(0, 1);
                bits.Put(static_cast<uint32_t>(i), Width(set.size()));
            } else {
                bits.Put(1, 1);
                bits.Put(s, 8);
            }
        }
        last = s;
    }
    void Literal(uint8_t b)
    {
        Symbol(b);
        if (b == 0x90) Symbol(0);
        expected.push_back(b);
    }
    void Match(uint32_t length, uint32_t distance)
    {
        const uint32_t mask = 0xFFu >> factor;
        const uint32_t extra = length - 3;
        const uint32_t escape = (((distance - 1) >> 8) << (8 - factor)) | std::min(extra, mask);
        ASSERT_NE(escape, 0u) << "not expressible";
        Symbol(0x90);
        Symbol(static_cast<uint8_t>(escape));
        if (extra >= mask) Symbol(static_cast<uint8_t>(extra - mask));
        Symbol(static_cast<uint8_t>(distance - 1));
        for (uint32_t k = 0; k < length; ++k) {
            const size_t n = expected.size();
            expected.push_back(n >= distance ? expected[n - distance] : 0);
        }
    }
    static uint32_t Width(size_t n)
    {
        uint32_t w = 1;
        while ((1u << w) < n) ++w;
        return w;
    }
    const Bytes& Set(int i) const
    {
        static const Bytes none;
        auto it = sets.find(i);
        return it == sets.end() ? none : it->second;
    }

    uint32_t factor;
    std::map<int, Bytes> sets;
    lzw::BitWriter bits;
    uint8_t last = 0;
    Bytes expected;
};

lzw::DecodeResult Unreduce(uint32_t factor, const Bytes& data, uint32_t size, uint32_t bufferSize = 65536)
{
    return lzw::DecodeRaw(static_cast<uint16_t>(factor + 1), 0, size, data, bufferSize);
}

// Every factor: literals, the escaped escape byte, the longest length and
// the farthest distance, a reference before the first byte, runs.
TEST(Unreduce, LiteralsEscapesAndBackReferencesOfEveryFactor)
{
    for (uint32_t factor = 1; factor <= 4; ++factor) {
        SCOPED_TRACE("factor " + std::to_string(factor));
        ReduceWriter w(factor, {{'e', Text("xe ")}, {' ', Text("t")}});
        w.Match(5, 10);  // before the first byte: zeros
        for (int i = 0; i < 5000; ++i) w.Literal(static_cast<uint8_t>("the text\x90 "[i % 10] + i / 700));
        const uint32_t mask = 0xFFu >> factor;
        const uint32_t longest = mask + 255 + 3;
        const uint32_t farthest = 256u << factor;
        w.Match(longest, farthest);
        w.Match(4, 1);
        w.Match(100, 9);
        w.Match(mask + 2, 300);  // the longest length without an extra byte
        w.Match(mask + 3, 3);    // an extra byte of 0
        w.Match(mask + 4, 2);    // an extra byte of 1
        w.Literal(0x90);
        const Bytes data = w.bits.Finish();
        for (uint32_t size : kBufferSizes) {
            const auto r = Unreduce(factor, data, static_cast<uint32_t>(w.expected.size()), size);
            EXPECT_EQ(r.bytes, w.expected) << size;
            EXPECT_EQ(r.uncompressedLeft, 0u);
            EXPECT_EQ(r.crc, lzw::Crc32(w.expected));
        }
    }
}

// Follower sets: an empty set takes no flag bit, a byte outside a set is
// flagged and sent whole, and an index past the set's count reads a byte the
// stream never filled: zero.
TEST(Unreduce, FollowerSets)
{
    ReduceWriter w(2, {{0, Text("xy")}, {'y', Text("abc")}});
    w.Literal('y');  // set 0 (the start), index 1
    w.Literal('c');  // set 'y', index 2
    w.Literal('q');  // empty set: eight bits
    w.Literal('y');
    w.Literal('z');  // outside set 'y': flag and eight bits
    w.Literal('y');
    w.bits.Put(0, 1);
    w.bits.Put(3, 2);  // set 'y' has 3 bytes; index 3 was never filled
    w.expected.push_back(0);
    const Bytes data = w.bits.Finish();
    const auto r = Unreduce(2, data, static_cast<uint32_t>(w.expected.size()), 1);
    EXPECT_EQ(r.bytes, w.expected);
    EXPECT_EQ(r.uncompressedLeft, 0u);
}

// A long run made of references crosses many window boundaries: with a
// 16384-byte buffer each read returns one window; smaller buffers stop in
// the middle of references and resume there.
TEST(Unreduce, ReferencesAcrossWindowsAndReads)
{
    ReduceWriter w(3, {});
    for (const char* p = "abcdefg"; *p; ++p) w.Literal(static_cast<uint8_t>(*p));
    while (w.expected.size() < 40000) w.Match(289, 7);
    for (const char* p = "hijklm"; *p; ++p) w.Literal(static_cast<uint8_t>(*p));
    while (w.expected.size() < 70000) w.Match(289, 13);
    const Bytes data = w.bits.Finish();
    const uint32_t total = static_cast<uint32_t>(w.expected.size());
    for (uint32_t size : {1u, 7u, 16384u, 65536u}) {
        const auto r = Unreduce(3, data, total, size);
        EXPECT_EQ(r.bytes, w.expected) << size;
    }
    // Read by read with the window's size.
    const auto one = lzw::DecodeRaw(4, 0, total, data, 16384, 1);
    EXPECT_EQ(one.bytes.size(), 16384u);
    const auto five = lzw::DecodeRaw(4, 0, total, data, 16384, 5);
    EXPECT_EQ(five.bytes.size(), total);
}

// The data ends before the header's size: what was decoded is delivered and
// the decoder stops at once, however large the announced size.
TEST(Unreduce, ShortDataEndsTheEntry)
{
    ReduceWriter w(1, {});
    for (const char* p = "hello"; *p; ++p) w.Literal(static_cast<uint8_t>(*p));
    w.Match(20, 1);
    const Bytes data = w.bits.Finish();
    for (uint32_t size : {1u, 16384u}) {
        const auto r = Unreduce(1, data, 0xFFFFFFF0u, size);
        EXPECT_EQ(r.bytes, w.expected) << size;
        EXPECT_EQ(r.uncompressedLeft, 0xFFFFFFF0u - w.expected.size());
    }
    // More data than the header says: exactly the announced bytes.
    const auto r = Unreduce(1, data, 10, 3);
    EXPECT_EQ(r.bytes, Bytes(w.expected.begin(), w.expected.begin() + 10));
    EXPECT_EQ(r.uncompressedLeft, 0u);
    // No data at all, not even the follower sets.
    EXPECT_TRUE(Unreduce(1, Bytes(), 100).bytes.empty());
}

} // namespace
