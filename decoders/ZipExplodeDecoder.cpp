#include "decoders/ZipExplodeDecoder.h"

#include <algorithm>
#include <cstring>

#include "archive/ZipEntryHeader.h"
#include "decoders/ZipWindowCopy.h"

namespace {

using namespace ZipHuffman;

constexpr uint16_t kFlagBigDictionary = 0x0002;
constexpr uint16_t kFlagLiteralTree = 0x0004;
// Above this many compressed bytes the distance table gets a wider first level.
constexpr uint32_t kLargeEntry = 200000;

struct CExplodeConstants {
    uint16_t lengthBase2[64];   // two trees: lengths 2..65
    uint16_t lengthBase3[64];   // three trees: lengths 3..66
    uint8_t lengthExtra[64];    // the last length code is followed by 8 more bits
    uint16_t distanceBase4K[64];
    uint16_t distanceBase8K[64];

    constexpr CExplodeConstants()
        : lengthBase2(), lengthBase3(), lengthExtra(), distanceBase4K(), distanceBase8K()
    {
        for (uint32_t k = 0; k < 64; ++k) {
            lengthBase2[k] = static_cast<uint16_t>(2 + k);
            lengthBase3[k] = static_cast<uint16_t>(3 + k);
            lengthExtra[k] = k == 63 ? 8 : 0;
            distanceBase4K[k] = static_cast<uint16_t>(1 + 64 * k);
            distanceBase8K[k] = static_cast<uint16_t>(1 + 128 * k);
        }
    }
};

constexpr CExplodeConstants kTables;

// One symbol from an inverted-bit table; false at an invalid code.
inline bool DecodeInverted(CZipBitInput& in, const CZipHuffmanEntry* table, uint32_t mask,
                           CZipHuffmanEntry& e)
{
    e = table[~in.hold & mask];
    while (e.op > opLiteral) {
        if (e.op == opInvalid) return false;
        in.Drop(e.bits);
        e = table[e.value + (~in.hold & Mask(e.op - opLinkBase))];
    }
    in.Drop(e.bits);
    return true;
}

} // namespace

CZipExplodeDecoder::CZipExplodeDecoder()
{
    window = ring;
}

CZipExplodeDecoder::~CZipExplodeDecoder() = default;

bool CZipExplodeDecoder::Init(CZipStore* storeArg, CZipEntryHeader* headerArg, uint32_t* keysArg)
{
    CZipDecoder::Init(storeArg, headerArg, keysArg);
    StartRing(ring, windowSize, true);
    // Matches that reach before the first byte copy from here: zeros.
    std::memset(ring, 0, sizeof ring);
    finished = false;
    if (BuildTrees() != built) {
        FreeTables();
        Stop(ZipStopReason::invalidTree);
        finished = true;
        return false;
    }
    return true;
}

void CZipExplodeDecoder::End()
{
    FreeTables();
}

void CZipExplodeDecoder::FreeTables()
{
    FreeHuffmanTable(literalTable);
    FreeHuffmanTable(lengthTable);
    FreeHuffmanTable(distanceTable);
}

int CZipExplodeDecoder::ReadTreeLengths(uint32_t* lengths, uint32_t n)
{
    // A count byte, then that many bytes plus one, each giving a run of
    // (high nibble + 1) symbols of length (low nibble + 1).
    uint8_t description[256];
    if (input.CopyBytes(description, 1, *this, compressedLeft) != 1) return badDescription;
    const uint32_t k = description[0] + 1u;
    if (input.CopyBytes(description, k, *this, compressedLeft) != k) return badDescription;
    uint32_t filled = 0;
    for (uint32_t i = 0; i < k; ++i) {
        const uint32_t run = (description[i] >> 4) + 1u;
        const uint32_t length = (description[i] & 0x0Fu) + 1u;
        if (run > n - filled) return badDescription;
        std::fill(lengths + filled, lengths + filled + run, length);
        filled += run;
    }
    return filled == n ? built : badDescription;
}

int CZipExplodeDecoder::BuildTrees()
{
    const uint16_t flags = header->flags;
    const bool bigDictionary = (flags & kFlagBigDictionary) != 0;
    const bool literalTree = (flags & kFlagLiteralTree) != 0;
    literalBits = 9;
    lengthBits = 7;
    distanceBits = header->compressedSize > kLargeEntry ? 8 : 7;
    lowDistanceBits = bigDictionary ? 7 : 6;

    // The trees follow each other in the data: literals (when present),
    // lengths, distances.
    const auto tree = [this](uint32_t n, uint32_t simple, const uint16_t* base, CZipHuffmanTable& table,
                             uint32_t& bits) {
        const int r = ReadTreeLengths(bitLengths, n);
        return r == built ? BuildHuffmanTable(bitLengths, n, simple, base, base ? kTables.lengthExtra : nullptr,
                                              table, bits)
                          : r;
    };
    int r = literalTree ? tree(256, 256, nullptr, literalTable, literalBits) : built;
    if (r == built)
        r = tree(64, 0, literalTree ? kTables.lengthBase3 : kTables.lengthBase2, lengthTable, lengthBits);
    if (r == built)
        r = tree(64, 0, bigDictionary ? kTables.distanceBase8K : kTables.distanceBase4K, distanceTable,
                 distanceBits);
    return r;
}

bool CZipExplodeDecoder::Produce()
{
    // Nothing new goes into the ring while the caller still has bytes of it
    // to take.
    if (pendingCount > 0) return true;
    if (finished) return false;
    const int r = DecodeLoop();
    if (r == outputFull) return true;
    // Imploded data has no end marker: it ends at the header's size, and
    // anything that stops it earlier is damage.
    if (r != sizeReached) Stop(ZipStopReason::inputEnded);
    finished = true;
    FreeTables();
    FlushRest();
    return false;
}

int CZipExplodeDecoder::DecodeLoop()
{
    if (matchLength > 0) {
        const int r = CopyMatch();
        if (r != going) return r;
    }
    if (windowPosition == windowLimit) {
        const int r = WindowFull();
        if (r != going) return r;
    }

    // Shannon-Fano codes are the complements of canonical codes, so every
    // table index is formed from inverted input bits. Literal bytes without
    // a literal tree and the extra bits are plain.
    const CZipHuffmanEntry* const lit = literalTable.Entries();
    const CZipHuffmanEntry* const len = lengthTable.Entries();
    const CZipHuffmanEntry* const dist = distanceTable.Entries();
    const uint32_t litMask = Mask(literalBits);
    const uint32_t lenMask = Mask(lengthBits);
    const uint32_t distMask = Mask(distanceBits);
    const uint32_t lowBits = lowDistanceBits;
    const uint32_t lowMask = Mask(lowBits);
    uint8_t* const w = ring;
    // The bit input and the ring position live in locals; every call out
    // writes them back first and reloads them after.
    CZipBitInput in = input;
    uint32_t pos = windowPosition;
    uint32_t limit = windowLimit;

    int result = going;
    CZipHuffmanEntry e;
    for (;;) {
        // At most 1 + 16 + 7 + 16 + 8 bits per symbol: one refill is enough.
        in.Refill(*this, compressedLeft);
        const bool literal = in.Take(1) != 0;
        if (literal) {
            uint32_t byte;
            if (lit) {
                if (!DecodeInverted(in, lit, litMask, e)) {
                    result = dataEnded;
                    break;
                }
                byte = e.value;
            } else {
                byte = in.Take(8);
            }
            if (in.PastEnd()) {
                result = dataEnded;
                break;
            }
            w[pos++] = static_cast<uint8_t>(byte);
            if (pos == limit) {
                Restore(in, pos);
                result = WindowFull();
                Load(in, pos, limit);
                if (result != going) break;
            }
            continue;
        }

        const uint32_t low = static_cast<uint32_t>(in.hold) & lowMask;
        in.Drop(lowBits);
        if (!DecodeInverted(in, dist, distMask, e)) {
            result = dataEnded;
            break;
        }
        const uint32_t distance = e.value + low;
        if (!DecodeInverted(in, len, lenMask, e)) {
            result = dataEnded;
            break;
        }
        uint32_t length = e.value;
        if (e.op != 0) length += in.Take(8);
        if (in.PastEnd()) {
            result = dataEnded;
            break;
        }
        if (distance <= pos && length <= limit - pos) {
            ZipWindowCopy::CopyBack(w + pos, distance, length);
            pos += length;
            if (pos == limit) {
                Restore(in, pos);
                result = WindowFull();
                Load(in, pos, limit);
                if (result != going) break;
            }
        } else {
            Restore(in, pos);
            matchLength = length;
            matchDistance = distance;
            result = CopyMatch();
            Load(in, pos, limit);
            if (result != going) break;
        }
    }
    Restore(in, pos);
    return result;
}
