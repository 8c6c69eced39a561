#include <algorithm>
#include <cstring>

#include "decoders/ZipDecoder.h"

uint32_t CZipWindowDecoder::DecodeInto(uint8_t* buffer, uint32_t length)
{
    outputPosition = buffer;
    outputRoom = length;
    if (buffer && length > 0) {
        for (;;) {
            Deliver();
            if (!outputPosition) break;
            if (!Produce()) break;
            if (!outputPosition) break;
        }
        if (outputPosition) Deliver();
    } else {
        outputPosition = nullptr;
        outputRoom = 0;
    }
    const uint32_t delivered = length - outputRoom;
    outputPosition = nullptr;
    outputRoom = 0;
    return buffer ? delivered : 0;
}

void CZipWindowDecoder::Deliver()
{
    if (pendingCount == 0 || !pendingPosition || !outputPosition) return;
    const uint32_t n = std::min(pendingCount, outputRoom);
    std::memcpy(outputPosition, pendingPosition, n);
    pendingCount -= n;
    pendingPosition = pendingCount == 0 ? nullptr : pendingPosition + n;
    outputRoom -= n;
    outputPosition = outputRoom == 0 ? nullptr : outputPosition + n;
}

bool CZipWindowDecoder::FlushWindow(uint32_t n)
{
    pendingPosition = n > 0 ? window : nullptr;
    pendingCount = n;
    Deliver();
    return outputPosition != nullptr;
}
