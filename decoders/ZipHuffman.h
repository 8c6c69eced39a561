#pragma once
#include <cstdint>
#include <memory>

// One entry of a table-driven prefix-code decoder (Explode and Deflate64).
// The table is indexed with the next input bits in arrival order; an entry
// tells how many of those bits its code took and what the code means.
struct CZipHuffmanEntry {
    // 0..30: a length or distance whose extra bits follow (that many);
    // opEndOfBlock, opLiteral; opLinkBase + k (k = 1..16): the code goes on
    // in the sub-table at `value`, indexed by the next k bits; opInvalid.
    uint8_t op;
    uint8_t bits;    // input bits this entry consumes
    uint16_t value;  // literal, symbol, base value, or sub-table offset
};

namespace ZipHuffman {
constexpr uint8_t opEndOfBlock = 31;
constexpr uint8_t opLiteral = 32;
constexpr uint8_t opLinkBase = 32;
constexpr uint8_t opLinkLast = 48;
constexpr uint8_t opInvalid = 99;

// Results of BuildHuffmanTable (and of reading an implode tree description).
enum : int {
    built = 0,
    incomplete = 1,       // built; some bit patterns lead nowhere
    overSubscribed = 2,   // the lengths describe more codes than fit
    outOfMemory = 3,
    badDescription = 4,   // an implode tree description does not add up
};

// Longest code length the builders accept.
constexpr uint32_t maxCodeLength = 16;

inline uint32_t Mask(uint32_t bits)
{
    return (1u << bits) - 1u;
}
} // namespace ZipHuffman

// A decoding table: the first-level table followed by all its sub-tables in
// one block, so a link is a 16-bit offset and the whole table goes in one
// release.
class CZipHuffmanTable {
public:
    const CZipHuffmanEntry* Entries() const { return entries.get(); }
    uint32_t Size() const { return size; }
    bool Empty() const { return entries == nullptr; }
    void Free()
    {
        entries.reset();
        size = 0;
    }
    // False when the memory cannot be had; the old table is gone either way.
    bool Allocate(uint32_t count);
    CZipHuffmanEntry* MutableEntries() { return entries.get(); }

private:
    std::unique_ptr<CZipHuffmanEntry[]> entries;
    uint32_t size = 0;
};

// Builds the decoding table of the canonical prefix code given by `lengths`
// (n symbols, each 0..16 bits, 0 = no code). Symbols below s decode to
// themselves (opLiteral below 256, opEndOfBlock from 256 on); symbol s + i
// decodes to base[i] with extra[i] as its operation. `bits` is the requested
// first-level width on entry and the width used on return (0 when no symbol
// has a code; the table is then empty). Returns one of the results above; an
// incomplete table is left built for the caller to use or free.
int BuildHuffmanTable(const uint32_t* lengths, uint32_t n, uint32_t s, const uint16_t* base,
                      const uint8_t* extra, CZipHuffmanTable& table, uint32_t& bits);

void FreeHuffmanTable(CZipHuffmanTable& table);
