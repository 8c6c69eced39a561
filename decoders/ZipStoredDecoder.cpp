#include "decoders/ZipStoredDecoder.h"

#include <algorithm>

uint32_t CZipStoredDecoder::DecodeInto(uint8_t* buffer, uint32_t length)
{
    const uint32_t n = std::min(length, compressedLeft);
    if (n == 0 || !buffer) return 0;
    FetchBlock(buffer, n);
    compressedLeft -= n;
    return n;
}
