#pragma once
#include "decoders/ZipDecoder.h"

// Methods 7 and 10: the entry opens like any other but delivers nothing, so
// its close reports it unfinished whenever its size is not 0.
class CZipEmptyDecoder : public CZipDecoder {
public:
    uint32_t DecodeInto(uint8_t* buffer, uint32_t length) override;
};
