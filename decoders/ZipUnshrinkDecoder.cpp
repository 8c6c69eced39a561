#include "decoders/ZipUnshrinkDecoder.h"

#include <algorithm>
#include <cstring>

CZipUnshrinkDecoder::CZipUnshrinkDecoder()
{
    std::memset(prefix, 0, sizeof(prefix));
    std::memset(suffix, 0, sizeof(suffix));
    std::memset(freeCode, 0, sizeof(freeCode));
    std::memset(stack, 0, sizeof(stack));
    std::memset(childCount, 0, sizeof(childCount));
    std::memset(touched, 0, sizeof(touched));
    std::memset(isTouched, 0, sizeof(isTouched));
    std::memset(freeWords, 0, sizeof(freeWords));
    std::memset(freeSummary, 0, sizeof(freeSummary));
}

CZipUnshrinkDecoder::~CZipUnshrinkDecoder() = default;

bool CZipUnshrinkDecoder::Init(CZipStore* storeArg, CZipEntryHeader* headerArg, uint32_t* keysArg)
{
    if (!CZipDecoder::Init(storeArg, headerArg, keysArg)) return false;
    for (uint32_t i = 0; i < 256; ++i) {
        suffix[i] = static_cast<uint8_t>(i);
        prefix[i] = controlCode;
        freeCode[i] = 0;
    }
    // The control code never becomes a string.
    prefix[controlCode] = 0;
    freeCode[controlCode] = 0;
    for (uint32_t i = controlCode + 1; i < codeCount; ++i) {
        prefix[i] = 0;
        freeCode[i] = 1;
    }
    tracking = false;
    codesSinceClear = 0;
    codeSize = minCodeSize;
    lastAssignedCode = controlCode;
    pendingPosition = nullptr;
    pendingCount = 0;
    finished = false;
    input.Reset(inputBlock, inputBlockSize);

    // The first code is the first byte of the data; anything but a literal
    // there means the data is not shrunk data at all.
    if (!input.Fill(codeSize, *this, compressedLeft)) {
        inputExhausted = true;
        finished = true;
        return false;
    }
    const uint32_t first = input.Take(codeSize);
    if (first >= 256) {
        Stop(ZipStopReason::invalidFirstCode);
        finished = true;
        return false;
    }
    previousCode = first;
    stack[codeCount - 1] = static_cast<uint8_t>(first);
    pendingPosition = stack + codeCount - 1;
    pendingCount = 1;
    return true;
}

void CZipUnshrinkDecoder::PartialClear()
{
    if (codesSinceClear >= scanAfterCodes) {
        ClearByScan();
    } else {
        if (!tracking) StartTracking();
        ClearByList();
    }
    codesSinceClear = 0;
    lastAssignedCode = controlCode;
}

void CZipUnshrinkDecoder::ClearByScan()
{
    // Mark every code that is another code's prefix, then free the rest
    // (literals are never freed; a free code's prefix 0 marks nothing; a
    // free code that a malformed stream made a prefix is taken back).
    uint8_t* const hasChild = isTouched;
    std::memset(hasChild, 0, codeCount);
    for (uint32_t c = controlCode + 1; c < codeCount; ++c) hasChild[prefix[c]] = 1;
    for (uint32_t c = controlCode + 1; c < codeCount; ++c) {
        const uint8_t keep = hasChild[c];
        freeCode[c] = static_cast<uint8_t>(keep ^ 1);
        prefix[c] = static_cast<uint16_t>(prefix[c] & -static_cast<uint16_t>(keep));
    }
    tracking = false;
}

void CZipUnshrinkDecoder::StartTracking()
{
    // Free codes have prefix 0, so only assigned codes count as children.
    std::memset(childCount, 0, sizeof(childCount));
    for (uint32_t c = controlCode + 1; c < codeCount; ++c) {
        const uint32_t p = prefix[c];
        if (p > controlCode) ++childCount[p];
    }
    // Eight 0/1 marks at a time into eight bits: each byte's mark lands in
    // the top byte of the product at its own place, without carries.
    std::memset(freeSummary, 0, sizeof(freeSummary));
    for (uint32_t w = 0; w < freeWordCount; ++w) {
        uint64_t bits = 0;
        for (uint32_t k = 0; k < 8; ++k)
            bits |= ((CZipBitInput::Load64(freeCode + w * 64 + k * 8) * 0x0102040810204080ull) >> 56) << (k * 8);
        freeWords[w] = bits;
        freeSummary[w / 64] |= static_cast<uint64_t>(bits != 0) << (w % 64);
    }
    // Every code the next clear changes goes onto the list.
    touchedCount = 0;
    for (uint32_t c = 0; c < codeCount; ++c) {
        const uint32_t changes = c > controlCode && (childCount[c] == 0) != (freeCode[c] != 0);
        isTouched[c] = static_cast<uint8_t>(changes);
        touched[touchedCount] = static_cast<uint16_t>(c);
        touchedCount += changes;
    }
    tracking = true;
}

void CZipUnshrinkDecoder::ClearByList()
{
    // Every code is decided on the table as it stood before the clear: first
    // the list shrinks to the codes that change (an assigned code without a
    // child is freed; a free code that a malformed stream made a prefix is
    // taken back, keeping its prefix 0), then they change.
    uint32_t changes = 0;
    for (uint32_t i = 0; i < touchedCount; ++i) {
        const uint32_t c = touched[i];
        isTouched[c] = 0;
        if ((childCount[c] == 0) != (freeCode[c] != 0)) touched[changes++] = c;
    }
    touchedCount = 0;
    // A freed code's prefix loses a child and may be a leaf at the next
    // clear, so it goes onto the list anew. That list grows by at most one
    // entry per change, so it never overwrites a change not yet read.
    for (uint32_t i = 0; i < changes; ++i) {
        const uint32_t c = touched[i];
        if (freeCode[c]) {
            SetFree(c, false);
            continue;
        }
        const uint32_t p = prefix[c];
        prefix[c] = 0;
        SetFree(c, true);
        if (p > controlCode && --childCount[p] == 0) Touch(p);
    }
}

inline void CZipUnshrinkDecoder::Touch(uint32_t code)
{
    if (isTouched[code]) return;
    isTouched[code] = 1;
    touched[touchedCount++] = static_cast<uint16_t>(code);
}

inline void CZipUnshrinkDecoder::SetFree(uint32_t code, bool free)
{
    freeCode[code] = free ? 1 : 0;
    const uint32_t w = code / 64;
    const uint64_t bit = uint64_t{1} << (code % 64);
    if (free)
        freeWords[w] |= bit;
    else
        freeWords[w] &= ~bit;
    const uint64_t summaryBit = uint64_t{1} << (w % 64);
    if (freeWords[w] != 0)
        freeSummary[w / 64] |= summaryBit;
    else
        freeSummary[w / 64] &= ~summaryBit;
}

uint32_t CZipUnshrinkDecoder::NextFreeCode(uint32_t from) const
{
    if (from >= codeCount) return codeCount;
    const uint32_t w = from / 64;
    const uint64_t here = freeWords[w] & (~uint64_t{0} << (from % 64));
    if (here != 0) return w * 64 + static_cast<uint32_t>(__builtin_ctzll(here));
    // The first later word holding a free code.
    for (uint32_t s = (w + 1) / 64; s < freeWordCount / 64; ++s) {
        uint64_t words = freeSummary[s];
        if (s == (w + 1) / 64) words &= ~uint64_t{0} << ((w + 1) % 64);
        if (words == 0) continue;
        const uint32_t at = s * 64 + static_cast<uint32_t>(__builtin_ctzll(words));
        return at * 64 + static_cast<uint32_t>(__builtin_ctzll(freeWords[at]));
    }
    return codeCount;
}

inline void CZipUnshrinkDecoder::AddCode(uint8_t firstByte)
{
    // Between clears the codes are mostly handed out in order.
    const uint32_t j = lastAssignedCode + 1;
    if (tracking || j >= codeCount || !freeCode[j]) {
        AddCodeSearching(firstByte);
        return;
    }
    lastAssignedCode = j;
    freeCode[j] = 0;
    suffix[j] = firstByte;
    prefix[j] = static_cast<uint16_t>(previousCode);
    ++codesSinceClear;
}

void CZipUnshrinkDecoder::AddCodeSearching(uint8_t firstByte)
{
    // Without the tracking the search may run over the whole table once,
    // which the scan before it has paid for.
    uint32_t j = lastAssignedCode + 1;
    if (tracking) {
        j = NextFreeCode(j);
    } else {
        while (j < codeCount && !freeCode[j]) ++j;
    }
    if (j >= codeCount) {
        // A full table gains no code until the compressor frees some.
        lastAssignedCode = codeCount - 1;
        return;
    }
    lastAssignedCode = j;
    suffix[j] = firstByte;
    prefix[j] = static_cast<uint16_t>(previousCode);
    ++codesSinceClear;
    if (!tracking) {
        freeCode[j] = 0;
        return;
    }
    SetFree(j, false);
    // The new code is a leaf, and its prefix may have been one.
    Touch(j);
    if (previousCode > controlCode && childCount[previousCode]++ == 0) Touch(previousCode);
}

uint32_t CZipUnshrinkDecoder::DecodeInto(uint8_t* buffer, uint32_t length)
{
    if (!buffer || length == 0) return 0;
    // Shrunk data has no end marker: it ends with its input, whatever size
    // the header announced.
    uint8_t* out = buffer;
    uint8_t* const end = buffer + length;

    if (pendingCount > 0) {
        const uint32_t n = std::min(pendingCount, length);
        std::memcpy(out, pendingPosition, n);
        out += n;
        pendingPosition += n;
        pendingCount -= n;
    }

    // The bit input lives in locals while the loop runs: stores through
    // `out` could otherwise alias it and force it through memory.
    CZipBitInput in = input;
    uint32_t size = codeSize;
    uint8_t* const top = stack + codeCount;
    while (out < end && !finished) {
        // Two codes' worth, so that a control code's argument needs no
        // refill of its own.
        if (in.count < 2 * maxCodeSize) in.Refill(*this, compressedLeft);
        const uint32_t code = in.Take(size);
        if (in.PastEnd()) {
            inputExhausted = true;
            finished = true;
            break;
        }

        if (code < 256) {
            // A literal: the commonest case on poorly compressible data.
            *out++ = static_cast<uint8_t>(code);
            AddCode(static_cast<uint8_t>(code));
            previousCode = code;
            continue;
        }

        if (code == controlCode) {
            const uint32_t sub = in.Take(size);
            if (in.PastEnd()) {
                inputExhausted = true;
                finished = true;
                break;
            }
            if (sub == 1) {
                // Codes wider than the table's 13 bits cannot be valid data.
                if (size == maxCodeSize) {
                    Stop(ZipStopReason::invalidCodeSize);
                    finished = true;
                    break;
                }
                codeSize = ++size;
            } else if (sub == 2) {
                PartialClear();
            }
            continue;
        }

        // Walk the prefix chain from the string's end down to its literal.
        // A code not yet assigned is the previous string plus its own first
        // byte, which goes into the reserved top byte once known.
        const bool unassigned = freeCode[code] != 0;
        uint8_t* p = top;
        uint32_t c = code;
        if (unassigned) {
            --p;
            c = previousCode;
        }
        // A chain that does not end within the stack loops: malformed data.
        uint8_t* const floor = stack + 1;
        while (c > controlCode && p > floor) {
            *--p = suffix[c];
            c = prefix[c];
        }
        if (c > controlCode) {
            Stop(ZipStopReason::invalidCode);
            finished = true;
            break;
        }
        *--p = static_cast<uint8_t>(c);
        if (unassigned) top[-1] = *p;

        const uint32_t stringLength = static_cast<uint32_t>(top - p);
        const uint32_t room = static_cast<uint32_t>(end - out);
        if (stringLength <= stackSlack && room >= stackSlack) {
            std::memcpy(out, p, stackSlack);
            out += stringLength;
        } else if (stringLength <= room) {
            std::memcpy(out, p, stringLength);
            out += stringLength;
        } else {
            std::memcpy(out, p, room);
            out += room;
            pendingPosition = p + room;
            pendingCount = stringLength - room;
        }
        AddCode(*p);
        previousCode = code;
    }
    input = in;

    return static_cast<uint32_t>(out - buffer);
}
