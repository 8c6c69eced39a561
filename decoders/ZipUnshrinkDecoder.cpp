#include "decoders/ZipUnshrinkDecoder.h"

#include <algorithm>
#include <cstring>

CZipUnshrinkDecoder::CZipUnshrinkDecoder()
{
    std::memset(prefix, 0, sizeof(prefix));
    std::memset(suffix, 0, sizeof(suffix));
    std::memset(freeCode, 0, sizeof(freeCode));
    std::memset(stack, 0, sizeof(stack));
}

CZipUnshrinkDecoder::~CZipUnshrinkDecoder() = default;

bool CZipUnshrinkDecoder::FillBits(CZipLegacyBits& in, uint32_t n)
{
    for (;;) {
        in.Top();
        if (in.count >= n) return true;
        if (compressedLeft == 0) return false;
        // Top has emptied the block: fetch the next one.
        const uint32_t size = std::min(compressedLeft, inputBlockSize);
        FetchBlock(inputBlock, size);
        compressedLeft -= size;
        in.next = inputBlock;
        in.end = inputBlock + size;
    }
}

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
    codeSize = minCodeSize;
    lastAssignedCode = controlCode;
    pendingPosition = nullptr;
    pendingCount = 0;
    finished = false;
    input = CZipLegacyBits();

    // The first code is the first byte of the data; anything but a literal
    // there means the data is not shrunk data at all.
    if (!FillBits(input, codeSize)) {
        inputExhausted = true;
        finished = true;
        return false;
    }
    const uint32_t first = input.Take(codeSize);
    if (first >= 256) {
        damaged = true;
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
    // Mark every code that is another code's prefix, then free the rest
    // (literals are never freed; a free code's prefix 0 marks nothing). The
    // stack is free scratch here: no output is pending while decoding runs.
    uint8_t* hasChild = stack;
    std::memset(hasChild, 0, codeCount);
    for (uint32_t c = controlCode + 1; c < codeCount; ++c) hasChild[prefix[c]] = 1;
    for (uint32_t c = controlCode + 1; c < codeCount; ++c) {
        const uint8_t keep = hasChild[c];
        freeCode[c] = static_cast<uint8_t>(keep ^ 1);
        prefix[c] = static_cast<uint16_t>(prefix[c] & -static_cast<uint16_t>(keep));
    }
    lastAssignedCode = controlCode;
}

inline void CZipUnshrinkDecoder::AddCode(uint8_t firstByte)
{
    uint32_t j = lastAssignedCode + 1;
    while (j < codeCount && !freeCode[j]) ++j;
    if (j >= codeCount) {
        // A full table gains no code until the compressor frees some.
        lastAssignedCode = codeCount - 1;
        return;
    }
    lastAssignedCode = j;
    freeCode[j] = 0;
    suffix[j] = firstByte;
    prefix[j] = static_cast<uint16_t>(previousCode);
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
    CZipLegacyBits in = input;
    uint32_t size = codeSize;
    uint8_t* const top = stack + codeCount;
    while (out < end && !finished) {
        if (in.count < 2 * maxCodeSize && (in.Top(), in.count < size) && !FillBits(in, size)) {
            inputExhausted = true;
            finished = true;
            break;
        }
        const uint32_t code = in.Take(size);

        if (code < 256) {
            // A literal: the commonest case on poorly compressible data.
            *out++ = static_cast<uint8_t>(code);
            AddCode(static_cast<uint8_t>(code));
            previousCode = code;
            continue;
        }

        if (code == controlCode) {
            if (in.count < size && !FillBits(in, size)) {
                inputExhausted = true;
                finished = true;
                break;
            }
            const uint32_t sub = in.Take(size);
            if (sub == 1) {
                // Codes wider than the table's 13 bits cannot be valid data.
                if (size == maxCodeSize) {
                    damaged = true;
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
            damaged = true;
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
