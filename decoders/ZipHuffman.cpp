#include "decoders/ZipHuffman.h"

#include <algorithm>
#include <new>

namespace {

using namespace ZipHuffman;

// The largest alphabet any caller builds (deflate64's 288 literal/length
// symbols) with some room to spare.
constexpr uint32_t kMaxSymbols = 320;

struct CanonicalCode {
    uint32_t reversed;  // the code's bits in arrival order (first bit in bit 0)
    uint16_t symbol;
    uint8_t length;
};

uint32_t ReverseBits(uint32_t code, uint32_t length)
{
    uint32_t result = 0;
    for (uint32_t i = 0; i < length; ++i) {
        result = (result << 1) | (code & 1u);
        code >>= 1;
    }
    return result;
}

// Lays out the first-level table and its sub-tables. Runs twice: once
// without an output block to learn the total size, then to fill the block.
class CTableLayout {
public:
    const CanonicalCode* codes = nullptr;
    uint32_t codeCount = 0;
    uint32_t rootBits = 0;
    uint32_t longest = 0;
    uint32_t endOfBlockLength = 0;  // 0: no cut (alphabet without end-of-block code)
    uint32_t simpleBelow = 0;
    const uint16_t* base = nullptr;
    const uint8_t* extra = nullptr;

    CZipHuffmanEntry* out = nullptr;
    uint32_t used = 0;
    bool overflow = false;

    void Run()
    {
        used = 1u << rootBits;
        overflow = false;
        Fill(0, codeCount, 0, rootBits, 0);
    }

private:
    CZipHuffmanEntry EntryFor(const CanonicalCode& code, uint32_t consumed) const
    {
        CZipHuffmanEntry e;
        e.bits = static_cast<uint8_t>(consumed);
        if (code.symbol < simpleBelow) {
            e.op = code.symbol < 256 ? opLiteral : opEndOfBlock;
            e.value = code.symbol;
        } else if (base && extra) {
            e.op = extra[code.symbol - simpleBelow];
            e.value = base[code.symbol - simpleBelow];
        } else {
            e.op = opInvalid;
            e.value = 0;
        }
        return e;
    }

    // Index bits of the sub-table that holds codes [first, last), all longer
    // than the `consumed` bits they share. It starts wide enough for the
    // shortest of them and widens one bit at a time while the codes that
    // end within it leave patterns unused, never past the first-level width
    // or the longest code. In a literal/length alphabet it stops at the
    // end-of-block code's length, so that code never needs bits behind it.
    uint32_t SubTableBits(uint32_t first, uint32_t last, uint32_t consumed) const
    {
        uint32_t perLength[maxCodeLength + 1] = {};
        for (uint32_t i = first; i < last; ++i) ++perLength[codes[i].length];
        const uint32_t cap = std::min(rootBits, longest - consumed);
        uint32_t width = std::min(static_cast<uint32_t>(codes[first].length) - consumed, cap);
        int64_t left = (int64_t{1} << width) - perLength[consumed + width];
        while (left > 0 && width < cap) {
            ++width;
            left = left * 2 - perLength[consumed + width];
        }
        if (endOfBlockLength > consumed && endOfBlockLength < consumed + width)
            width = endOfBlockLength - consumed;
        return width;
    }

    void Fill(uint32_t first, uint32_t last, uint32_t consumed, uint32_t width, uint32_t at)
    {
        const uint32_t size = 1u << width;
        if (out) {
            const CZipHuffmanEntry invalid = {opInvalid, static_cast<uint8_t>(width), 0};
            std::fill(out + at, out + at + size, invalid);
        }
        uint32_t i = first;
        // Codes that end inside this table fill every slot whose low bits are theirs.
        for (; i < last && codes[i].length - consumed <= width; ++i) {
            const uint32_t own = codes[i].length - consumed;
            if (!out) continue;
            const CZipHuffmanEntry e = EntryFor(codes[i], own);
            for (uint32_t index = codes[i].reversed >> consumed; index < size; index += 1u << own)
                out[at + index] = e;
        }
        // Longer codes: canonical order keeps the codes of one slot together.
        while (i < last) {
            const uint32_t slot = (codes[i].reversed >> consumed) & Mask(width);
            uint32_t j = i + 1;
            while (j < last && ((codes[j].reversed >> consumed) & Mask(width)) == slot) ++j;
            const uint32_t subBits = SubTableBits(i, j, consumed + width);
            const uint32_t subAt = used;
            if (subAt > 0xFFFFu) {
                overflow = true;
                return;
            }
            used += 1u << subBits;
            if (out) {
                out[at + slot] = {static_cast<uint8_t>(opLinkBase + subBits),
                                  static_cast<uint8_t>(width), static_cast<uint16_t>(subAt)};
            }
            Fill(i, j, consumed + width, subBits, subAt);
            if (overflow) return;
            i = j;
        }
    }
};

} // namespace

bool CZipHuffmanTable::Allocate(uint32_t count)
{
    Free();
    entries.reset(new (std::nothrow) CZipHuffmanEntry[count]);
    if (!entries) return false;
    size = count;
    return true;
}

void FreeHuffmanTable(CZipHuffmanTable& table)
{
    table.Free();
}

int BuildHuffmanTable(const uint32_t* lengths, uint32_t n, uint32_t s, const uint16_t* base,
                      const uint8_t* extra, CZipHuffmanTable& table, uint32_t& bits)
{
    table.Free();
    if (n > kMaxSymbols) return overSubscribed;

    uint32_t perLength[maxCodeLength + 1] = {};
    for (uint32_t i = 0; i < n; ++i) {
        if (lengths[i] > maxCodeLength) return overSubscribed;
        ++perLength[lengths[i]];
    }
    const uint32_t codeCount = n - perLength[0];
    if (codeCount == 0) {
        bits = 0;
        return built;
    }

    // More codes than the lengths leave room for are refused before anything
    // is allocated; fewer leave patterns that decode to nothing.
    int64_t left = 1;
    for (uint32_t len = 1; len <= maxCodeLength; ++len) {
        left = left * 2 - perLength[len];
        if (left < 0) return overSubscribed;
    }
    const bool complete = left == 0 || (codeCount == 1 && perLength[1] == 1);

    uint32_t shortest = 1;
    while (perLength[shortest] == 0) ++shortest;
    uint32_t longest = maxCodeLength;
    while (perLength[longest] == 0) --longest;
    bits = std::min(std::max(bits, shortest), longest);

    // Canonical codes: shorter codes first, equal lengths in symbol order.
    uint32_t firstOfLength[maxCodeLength + 2] = {};
    uint32_t nextCode[maxCodeLength + 1] = {};
    uint32_t code = 0;
    for (uint32_t len = 1; len <= maxCodeLength; ++len) {
        firstOfLength[len + 1] = firstOfLength[len] + perLength[len];
        code = (code + perLength[len - 1] * (len > 1 ? 1u : 0u)) << 1;
        nextCode[len] = code;
    }
    CanonicalCode codes[kMaxSymbols];
    for (uint32_t sym = 0; sym < n; ++sym) {
        const uint32_t len = lengths[sym];
        if (len == 0) continue;
        CanonicalCode& c = codes[firstOfLength[len]++];
        c.symbol = static_cast<uint16_t>(sym);
        c.length = static_cast<uint8_t>(len);
        c.reversed = ReverseBits(nextCode[len]++, len);
    }

    CTableLayout layout;
    layout.codes = codes;
    layout.codeCount = codeCount;
    layout.rootBits = bits;
    layout.longest = longest;
    layout.endOfBlockLength = n > 256 ? lengths[256] : 0;
    layout.simpleBelow = s;
    layout.base = base;
    layout.extra = extra;
    layout.Run();
    if (layout.overflow) return outOfMemory;
    if (!table.Allocate(layout.used)) return outOfMemory;
    layout.out = table.MutableEntries();
    layout.Run();
    return complete ? built : incomplete;
}
