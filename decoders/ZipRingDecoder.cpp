#include "decoders/ZipRingDecoder.h"

#include <algorithm>

#include "decoders/ZipWindowCopy.h"

void CZipRingDecoder::StartRing(uint8_t* ring, uint32_t size, bool capAtDeclaredSize)
{
    window = ring;
    ringSize = size;
    input.Reset(inputBuffer.data(), inputBuffer.length());
    matchLength = 0;
    matchDistance = 0;
    windowPosition = 0;
    windowWrapped = false;
    // The size cap is counted here, apart from the base's count of what
    // has been handed out.
    outputLeft = capAtDeclaredSize ? uncompressedLeft : 0xFFFFFFFFu;
    windowLimit = std::min(ringSize, outputLeft);
    pendingPosition = nullptr;
    pendingCount = 0;
}

int CZipRingDecoder::WindowFull()
{
    // A ring that ends short of its size ends at the header's size.
    if (windowLimit < ringSize) return ringSizeReached;
    outputLeft -= ringSize;
    const bool more = FlushWindow(ringSize);
    windowPosition = 0;
    windowWrapped = true;
    windowLimit = std::min(ringSize, outputLeft);
    if (windowLimit == 0) return ringSizeReached;
    return more ? ringGoing : ringOutputFull;
}

int CZipRingDecoder::CopyMatch()
{
    while (matchLength > 0) {
        if (windowPosition == windowLimit) {
            const int r = WindowFull();
            if (r != ringGoing) return r;
        }
        const uint32_t source = (windowPosition - matchDistance) & (ringSize - 1);
        const uint32_t n = std::min({matchLength, windowLimit - windowPosition, ringSize - source});
        ZipWindowCopy::Copy(window, source, windowPosition, n);
        windowPosition += n;
        matchLength -= n;
    }
    return windowPosition == windowLimit ? WindowFull() : ringGoing;
}

void CZipRingDecoder::FlushRest()
{
    if (windowPosition > 0) FlushWindow(windowPosition);
    windowPosition = 0;
}
