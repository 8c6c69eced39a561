#include "decoders/ZipEmptyDecoder.h"

uint32_t CZipEmptyDecoder::DecodeInto(uint8_t* buffer, uint32_t length)
{
    (void)buffer;
    (void)length;
    return 0;
}
