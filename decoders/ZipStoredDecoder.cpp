#include "decoders/ZipStoredDecoder.h"

#include <algorithm>

#include "errors/ZipErrorCodes.h"

uint32_t CZipStoredDecoder::DecodeInto(uint8_t* buffer, uint32_t length)
{
    const uint32_t n = std::min(length, compressedLeft);
    if (n == 0 || !buffer) return 0;
    const uint32_t got = FetchAvailable(buffer, n);
    compressedLeft -= got;
    if (got < n) {
        // The archive ends inside the entry: what it holds is delivered, and
        // the close reports the short archive.
        Stop(ZipStopReason::inputEnded);
        errorCode = ZipError::badZipFile;
        compressedLeft = 0;
    }
    return got;
}
