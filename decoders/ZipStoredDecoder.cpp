#include "decoders/ZipStoredDecoder.h"

#include <algorithm>

uint32_t CZipStoredDecoder::Read(uint8_t* buffer, uint32_t length)
{
    const uint32_t n = std::min(length, compressedLeft);
    if (n == 0 || !buffer) return 0;
    FetchBlock(buffer, n);
    compressedLeft -= n;
    // Wraps when the header claims fewer bytes than the data holds, which the
    // close reports as an unfinished entry.
    uncompressedLeft -= n;
    UpdateCrc(buffer, n);
    return n;
}
