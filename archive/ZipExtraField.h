#pragma once
#include <cstdint>

#include "archive/ZipRecordReader.h"

// A reader over the data of the first block with the given id in an extra
// field; false without one (or where the blocks run past the field).
bool ZipFindExtraBlock(const uint8_t* extra, uint32_t length, uint16_t id, CZipRecordReader& block);

// What a WinZip AES extra field says of an entry of method 99.
struct ZipAesInfo {
    uint16_t version = 0;   // 1: AE-1 (the CRC is kept), 2: AE-2 (CRC 0, not checked)
    uint8_t strength = 0;   // 1, 2, 3
    uint16_t method = 0;    // the method the data was compressed with

    uint32_t KeyLength() const { return 8u + 8u * strength; }
    uint32_t SaltLength() const { return KeyLength() / 2; }
    // Bytes around the encrypted data: salt and password verifier in front,
    // the authentication code behind.
    uint32_t Overhead() const { return SaltLength() + 2 + 10; }
};

// The AES block of an extra field; false without a well-formed one.
bool ZipFindAesInfo(const uint8_t* extra, uint32_t length, ZipAesInfo& info);
