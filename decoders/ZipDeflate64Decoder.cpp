#include "decoders/ZipDeflate64Decoder.h"

#include <algorithm>

#include "decoders/ZipWindowCopy.h"

namespace {

using namespace ZipHuffman;

// Length codes 257..287. Deflate64 gives code 285 a base of 3 and 16 extra
// bits; 286 and 287 have no meaning.
constexpr uint16_t kLengthBase[31] = {3,  4,  5,  6,  7,  8,  9,  10,  11,  13,  15,
                                      17, 19, 23, 27, 31, 35, 43, 51,  59,  67,  83,
                                      99, 115, 131, 163, 195, 227, 3, 0,  0};
constexpr uint8_t kLengthExtra[31] = {0, 0, 0, 0, 0, 0, 0, 0, 1, 1, 1, 1, 2, 2, 2, 2,
                                      3, 3, 3, 3, 4, 4, 4, 4, 5, 5, 5, 5, 16,
                                      opInvalid, opInvalid};
// Distance codes 0..31; 30 and 31 reach up to 65536 bytes back.
constexpr uint16_t kDistanceBase[32] = {1,    2,    3,    4,    5,    7,     9,     13,
                                        17,   25,   33,   49,   65,   97,    129,   193,
                                        257,  385,  513,  769,  1025, 1537,  2049,  3073,
                                        4097, 6145, 8193, 12289, 16385, 24577, 32769, 49153};
constexpr uint8_t kDistanceExtra[32] = {0, 0, 0, 0, 1, 1, 2, 2, 3,  3,  4,  4,  5,  5,  6,  6,
                                        7, 7, 8, 8, 9, 9, 10, 10, 11, 11, 12, 12, 13, 13, 14, 14};
// Order in which a dynamic block sends the code lengths of the code-length code.
constexpr uint8_t kCodeLengthOrder[19] = {16, 17, 18, 0, 8,  7, 9,  6, 10, 5,
                                          11, 4,  12, 3, 13, 2, 14, 1, 15};

constexpr uint32_t kLiteralCount = 288;
constexpr uint32_t kDistanceCount = 32;

// Stands in for the distance table of a block that has no distance codes:
// every look-up finds an invalid code.
constexpr CZipHuffmanEntry kNoCodes[1] = {{opInvalid, 0, 0}};

// One table look-up through any sub-tables; the entry's own bits are left in
// place. An invalid code comes back as its entry.
inline CZipHuffmanEntry Lookup(CZipBitInput& in, const CZipHuffmanEntry* table, uint32_t mask)
{
    CZipHuffmanEntry x = table[in.hold & mask];
    while (static_cast<uint32_t>(x.op) - (opLinkBase + 1u) < 16u) {
        in.Drop(x.bits);
        x = table[x.value + (in.hold & Mask(x.op - opLinkBase))];
    }
    return x;
}

} // namespace

CZipDeflate64Decoder::CZipDeflate64Decoder()
{
    window = ring;
}

CZipDeflate64Decoder::~CZipDeflate64Decoder() = default;

bool CZipDeflate64Decoder::Init(CZipStore* storeArg, CZipEntryHeader* headerArg, uint32_t* keysArg)
{
    CZipDecoder::Init(storeArg, headerArg, keysArg);
    StartRing(ring, windowSize, false);
    finished = false;
    lastBlock = false;
    mode = blockHeader;
    storedLength = 0;
    FreeBlockTables();
    return true;
}

void CZipDeflate64Decoder::End()
{
    FreeBlockTables();
}

void CZipDeflate64Decoder::FreeBlockTables()
{
    literalTable.Free();
    distanceTable.Free();
    currentLiteral = nullptr;
    currentDistance = nullptr;
}

uint32_t CZipDeflate64Decoder::TakeBits(uint32_t n)
{
    if (input.count < n) input.Refill(*this, compressedLeft);
    return input.Take(n);
}

bool CZipDeflate64Decoder::Produce()
{
    // Nothing new goes into the ring while the caller still has bytes of it
    // to take.
    if (pendingCount > 0) return true;
    if (finished) return false;
    if (windowPosition == windowLimit && windowLimit < windowSize) {
        Finish();
        return false;
    }
    for (;;) {
        const int r = BlockStep();
        if (r == outputFull) return true;
        if (r == blockDone) {
            mode = blockHeader;
            literalTable.Free();
            distanceTable.Free();
            if (!lastBlock) continue;
        } else if (r != sizeReached) {
            Stop(r == badBlockType ? ZipStopReason::invalidBlockType
                 : r == noMemory   ? ZipStopReason::outOfMemory
                                   : ZipStopReason::invalidData);
        }
        Finish();
        return false;
    }
}

void CZipDeflate64Decoder::Finish()
{
    finished = true;
    FreeBlockTables();
    FlushRest();
}

int CZipDeflate64Decoder::BlockStep()
{
    if (mode == blockHeader) {
        lastBlock = TakeBits(1) != 0;
        const uint32_t type = TakeBits(2);
        if (input.PastEnd()) return badData;
        int r = blockDone;
        switch (type) {
        case 0: {
            input.AlignToByte();
            const uint32_t len = TakeBits(16);
            const uint32_t nlen = TakeBits(16);
            if (input.PastEnd() || (len ^ 0xFFFFu) != nlen) return badData;
            storedLength = len;
            break;
        }
        case 1: r = StartFixedBlock(); break;
        case 2: r = StartDynamicBlock(); break;
        default: return badBlockType;
        }
        if (r != blockDone) return r;
        mode = type == 0 ? storedBytes : codes;
    }
    return mode == storedBytes ? StoredStep() : CodesStep();
}

int CZipDeflate64Decoder::StartFixedBlock()
{
    if (fixedLiteralTable.Empty()) {
        uint32_t lengths[kLiteralCount];
        std::fill(lengths, lengths + 144, 8u);
        std::fill(lengths + 144, lengths + 256, 9u);
        std::fill(lengths + 256, lengths + 280, 7u);
        std::fill(lengths + 280, lengths + kLiteralCount, 8u);
        fixedLiteralBits = 7;
        int r = BuildHuffmanTable(lengths, kLiteralCount, 257, kLengthBase, kLengthExtra,
                                  fixedLiteralTable, fixedLiteralBits);
        if (r != built) {
            fixedLiteralTable.Free();
            return r;
        }
        std::fill(lengths, lengths + kDistanceCount, 5u);
        fixedDistanceBits = 5;
        r = BuildHuffmanTable(lengths, kDistanceCount, 0, kDistanceBase, kDistanceExtra,
                              fixedDistanceTable, fixedDistanceBits);
        if (r > incomplete) {
            fixedLiteralTable.Free();
            fixedDistanceTable.Free();
            return r;
        }
    }
    currentLiteral = fixedLiteralTable.Entries();
    currentLiteralBits = fixedLiteralBits;
    currentDistance = fixedDistanceTable.Entries();
    currentDistanceBits = fixedDistanceBits;
    return blockDone;
}

int CZipDeflate64Decoder::StartDynamicBlock()
{
    const uint32_t literals = TakeBits(5) + 257;
    const uint32_t distances = TakeBits(5) + 1;
    const uint32_t codeLengthCodes = TakeBits(4) + 4;
    if (literals > kLiteralCount || distances > kDistanceCount) return badData;

    uint32_t lengths[kLiteralCount + kDistanceCount] = {};
    for (uint32_t i = 0; i < codeLengthCodes; ++i) lengths[kCodeLengthOrder[i]] = TakeBits(3);
    if (input.PastEnd()) return badData;

    CZipHuffmanTable codeLengthTable;
    uint32_t codeLengthBits = 7;
    int r = BuildHuffmanTable(lengths, 19, 19, nullptr, nullptr, codeLengthTable, codeLengthBits);
    if (r != built || codeLengthBits == 0) return r != built ? r : badData;

    // The code lengths of both alphabets, run-length coded with the
    // code-length code (whose codes are at most 7 bits: one level).
    const CZipHuffmanEntry* codes = codeLengthTable.Entries();
    const uint32_t mask = Mask(codeLengthBits);
    const uint32_t total = literals + distances;
    uint32_t previous = 0;
    for (uint32_t i = 0; i < total;) {
        if (input.count < 14) input.Refill(*this, compressedLeft);
        const CZipHuffmanEntry e = codes[input.hold & mask];
        if (e.op != opLiteral) return badData;
        input.Take(e.bits);
        uint32_t value = 0;
        uint32_t repeat = 1;
        if (e.value < 16) {
            value = previous = e.value;
        } else if (e.value == 16) {
            value = previous;
            repeat = input.Take(2) + 3;
        } else if (e.value == 17) {
            repeat = input.Take(3) + 3;
            previous = 0;
        } else {
            repeat = input.Take(7) + 11;
            previous = 0;
        }
        if (input.PastEnd() || repeat > total - i) return badData;
        std::fill(lengths + i, lengths + i + repeat, value);
        i += repeat;
    }
    codeLengthTable.Free();

    literalBits = 9;
    r = BuildHuffmanTable(lengths, literals, 257, kLengthBase, kLengthExtra, literalTable,
                          literalBits);
    if (r != built || literalBits == 0) {
        literalTable.Free();
        return r != built ? r : badData;
    }
    // An incomplete distance code is accepted (a block may use one distance
    // or none); a block with lengths but no distance code is not.
    distanceBits = 6;
    r = BuildHuffmanTable(lengths + literals, distances, 0, kDistanceBase, kDistanceExtra,
                          distanceTable, distanceBits);
    if (r > incomplete || (distanceBits == 0 && literals > 257)) {
        literalTable.Free();
        distanceTable.Free();
        return r > incomplete ? r : badData;
    }
    currentLiteral = literalTable.Entries();
    currentLiteralBits = literalBits;
    currentDistance = distanceTable.Empty() ? kNoCodes : distanceTable.Entries();
    currentDistanceBits = distanceBits;
    return blockDone;
}

int CZipDeflate64Decoder::StoredStep()
{
    while (storedLength > 0) {
        if (windowPosition == windowLimit) {
            const int r = WindowFull();
            if (r != blockDone) return r;
        }
        const uint32_t n = std::min(storedLength, windowLimit - windowPosition);
        const uint32_t got = input.CopyBytes(ring + windowPosition, n, *this, compressedLeft);
        windowPosition += got;
        storedLength -= got;
        if (got < n) return badData;
    }
    return blockDone;
}

int CZipDeflate64Decoder::CodesStep()
{
    if (matchLength > 0) {
        const int r = CopyMatch();
        if (r != blockDone) return r;
    }
    if (windowPosition == windowLimit) {
        const int r = WindowFull();
        if (r != blockDone) return r;
    }

    // The hot loop keeps the bit input and the ring position in locals;
    // every call out writes them back first and reloads them after.
    const CZipHuffmanEntry* const lit = currentLiteral;
    const CZipHuffmanEntry* const dist = currentDistance;
    const uint32_t litMask = Mask(currentLiteralBits);
    const uint32_t distMask = Mask(currentDistanceBits);
    uint8_t* const w = ring;
    CZipBitInput in = input;
    uint32_t pos = windowPosition;
    uint32_t limit = windowLimit;
    bool wrapped = windowWrapped;

    int result = blockDone;
    for (;;) {
        // A refill leaves at least 56 bits: room for three literal codes
        // (15 bits at most each) before the next one.
        in.Refill(*this, compressedLeft);
        CZipHuffmanEntry e = Lookup(in, lit, litMask);
        int literals = 0;
        while (e.op == opLiteral) {
            in.Drop(e.bits);
            if (in.PastEnd()) {
                result = badData;
                goto done;
            }
            w[pos++] = static_cast<uint8_t>(e.value);
            if (pos == limit) {
                Restore(in, pos);
                result = WindowFull();
                Load(in, pos, limit);
                wrapped = windowWrapped;
                if (result != blockDone) goto done;
            }
            if (++literals == 3) break;
            e = Lookup(in, lit, litMask);
        }
        if (literals == 3) continue;
        if (e.op == opEndOfBlock) {
            in.Drop(e.bits);
            result = in.PastEnd() ? badData : blockDone;
            break;
        }
        if (e.op > opLiteral) {  // invalid code
            result = badData;
            break;
        }

        // A length (code and extra bits: 31 at most), then its distance
        // (29 at most); the refills only add bits above those looked at.
        in.Refill(*this, compressedLeft);
        in.Drop(e.bits);
        const uint32_t length = e.value + static_cast<uint32_t>(in.hold & Mask(e.op));
        in.Drop(e.op);
        in.Refill(*this, compressedLeft);
        e = Lookup(in, dist, distMask);
        if (e.op >= opEndOfBlock) {
            result = badData;
            break;
        }
        in.Drop(e.bits);
        const uint32_t distance = e.value + static_cast<uint32_t>(in.hold & Mask(e.op));
        in.Drop(e.op);
        // Data that has run out, or a distance before the entry's first
        // byte, is damage: the ring holds nothing of this entry there.
        if (in.PastEnd() || (!wrapped && distance > pos)) {
            result = badData;
            break;
        }
        if (distance <= pos && length <= limit - pos) {
            ZipWindowCopy::CopyBack(w + pos, distance, length);
            pos += length;
            if (pos == limit) {
                Restore(in, pos);
                result = WindowFull();
                Load(in, pos, limit);
                wrapped = windowWrapped;
                if (result != blockDone) break;
            }
        } else {
            Restore(in, pos);
            matchLength = length;
            matchDistance = distance;
            result = CopyMatch();
            Load(in, pos, limit);
            wrapped = windowWrapped;
            if (result != blockDone) break;
        }
    }
done:
    Restore(in, pos);
    return result;
}
