#pragma once
#include "decoders/ZipDecoder.h"

// Method 0: the entry's data is its content, decrypted when encrypted. The
// compressed count alone bounds it; sizes that disagree show at close.
class CZipStoredDecoder : public CZipDecoder {
public:
    uint32_t DecodeInto(uint8_t* buffer, uint32_t length) override;
};
