#include "decoders/ZipUnreduceDecoder.h"

#include <algorithm>
#include <cstring>

namespace {

// Bits of a follower index for a set of n entries: enough for n - 1, at
// least one.
uint8_t IndexWidth(uint32_t n)
{
    uint8_t width = 1;
    while ((1u << width) < n) ++width;
    return width;
}

} // namespace

CZipUnreduceDecoder::CZipUnreduceDecoder(uint32_t factorArg)
{
    window = ring;
    factor = (factorArg >= 1 && factorArg <= 4) ? factorArg : 1;
    // Factor f keeps 8 - f bits of the escape byte for the length and f for
    // the high bits of the distance.
    lengthMask = 0xFFu >> factor;
    distanceShift = 8 - factor;
    distanceMask = (1u << factor) - 1u;
    std::memset(ring, 0, sizeof(ring));
    std::memset(followers, 0, sizeof(followers));
    std::memset(followerCount, 0, sizeof(followerCount));
    std::memset(indexWidth, 0, sizeof(indexWidth));
}

CZipUnreduceDecoder::~CZipUnreduceDecoder() = default;

bool CZipUnreduceDecoder::Init(CZipStore* storeArg, CZipEntryHeader* headerArg, uint32_t* keysArg)
{
    if (!CZipDecoder::Init(storeArg, headerArg, keysArg)) return false;
    input.Reset(inputBlock, inputBlockSize);
    // The sets come first in the data, for the last byte value first. Should
    // the data end inside them, the rest read as empty sets; decoding then
    // stops at the first byte it cannot read.
    for (int i = 255; i >= 0; --i) {
        const uint32_t n = input.Fill(6, *this, compressedLeft) ? input.Take(6) : 0;
        followerCount[i] = static_cast<uint8_t>(n);
        indexWidth[i] = IndexWidth(n);
        for (uint32_t k = 0; k < n; ++k)
            followers[i][k] = static_cast<uint8_t>(input.Fill(8, *this, compressedLeft) ? input.Take(8) : 0);
    }
    decodeLeft = uncompressedLeft;
    lastSymbol = 0;
    escapeState = plainByte;
    escapeValue = 0;
    length = 0;
    windowPosition = 0;
    matchLeft = 0;
    matchSource = 0;
    finished = false;
    pendingPosition = nullptr;
    pendingCount = 0;
    // A back reference before the first byte of the entry reads zeros: the
    // window starts cleared.
    std::memset(ring, 0, sizeof(ring));
    return true;
}

bool CZipUnreduceDecoder::Produce()
{
    if (decodeLeft == 0 || finished) return false;
    Decode();
    return true;
}

void CZipUnreduceDecoder::Decode()
{
    constexpr uint32_t wrap = windowSize - 1;
    // The hot state lives in locals: stores into the window could otherwise
    // alias the members and force them through memory.
    CZipBitInput in = input;
    uint8_t* const win = ring;
    uint32_t last = lastSymbol;
    EscapeState state = escapeState;
    uint32_t pos = windowPosition;
    // Bytes that may go into the window before it must be handed out (full,
    // or the entry complete); decodeLeft is brought up to date there.
    uint32_t stop = pos + std::min(windowSize - pos, decodeLeft);
    uint32_t start = pos;

    // Settles the counter for the bytes put since the last boundary and
    // hands the window out; true when decoding may go on.
    auto boundary = [&]() -> bool {
        decodeLeft -= pos - start;
        const bool room = FlushWindow(pos);
        pos = 0;
        start = 0;
        stop = std::min(windowSize, decodeLeft);
        return room && decodeLeft > 0;
    };

    for (;;) {
        if (matchLeft > 0) {
            uint32_t src = matchSource;
            uint32_t left = matchLeft;
            bool more = true;
            for (;;) {
                const uint32_t n = std::min(left, stop - pos);
                const uint32_t distance = (pos - src) & wrap;
                if (distance >= 8 && src + n <= windowSize) {
                    // Source and target do not wrap, and every 8-byte piece
                    // reads only bytes already written.
                    uint8_t* to = win + pos;
                    const uint8_t* from = win + src;
                    if (distance >= n) {
                        std::memcpy(to, from, n);
                    } else {
                        uint32_t k = 0;
                        for (; k + 8 <= n; k += 8) std::memcpy(to + k, from + k, 8);
                        for (; k < n; ++k) to[k] = from[k];
                    }
                    pos += n;
                    src = (src + n) & wrap;
                } else {
                    for (uint32_t i = 0; i < n; ++i) {
                        win[pos++] = win[src];
                        src = (src + 1) & wrap;
                    }
                }
                left -= n;
                if (pos != stop) break;
                more = boundary();
                if (!more || left == 0) break;
            }
            // The entry ended, or the caller's buffer is full: the rest of
            // the reference waits for the next Read.
            matchLeft = decodeLeft == 0 ? 0 : left;
            matchSource = src;
            if (!more) break;
        }

        // One first-stage symbol: at most nine bits.
        if (in.count < 9) in.Refill(*this, compressedLeft);
        const uint32_t count = followerCount[last];
        uint32_t symbol;
        uint32_t used;
        if (count == 0) {
            symbol = in.Peek(8);
            used = 8;
        } else if (in.hold & 1u) {
            symbol = (in.Peek(9) >> 1);
            used = 9;
        } else {
            const uint32_t width = indexWidth[last];
            symbol = followers[last][in.Peek(width + 1) >> 1];
            used = 1 + width;
        }
        in.Drop(used);
        if (in.PastEnd()) {
            // The data ended before the header's size: hand out what there
            // is; the close finds the entry incomplete.
            inputExhausted = true;
            Stop(ZipStopReason::inputEnded);
            finished = true;
            decodeLeft -= pos - start;
            FlushWindow(pos);
            pos = 0;
            break;
        }
        last = symbol;

        switch (state) {
        case plainByte:
            if (symbol == escapeByte) {
                state = afterEscape;
                continue;
            }
            win[pos++] = static_cast<uint8_t>(symbol);
            break;
        case afterEscape:
            if (symbol == 0) {
                state = plainByte;
                win[pos++] = static_cast<uint8_t>(escapeByte);
                break;
            }
            escapeValue = symbol;
            length = symbol & lengthMask;
            state = length == lengthMask ? lengthByte : distanceByte;
            continue;
        case lengthByte:
            length += symbol;
            state = distanceByte;
            continue;
        case distanceByte: {
            const uint32_t distance = ((escapeValue >> distanceShift) & distanceMask) * 256 + symbol + 1;
            state = plainByte;
            matchLeft = length + 3;
            matchSource = (pos - distance) & wrap;
            continue;
        }
        }
        if (pos == stop && !boundary()) break;
    }
    input = in;
    lastSymbol = last;
    escapeState = state;
    windowPosition = pos;
}
