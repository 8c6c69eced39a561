#pragma once
#include <cstdint>

#include "archive/ZipAesCipher.h"
#include "archive/ZipExtraField.h"

// WinZip AES encryption of one new entry, as WinZip writes it: a new random
// salt, keys derived from the password with PBKDF2-HMAC-SHA1 (1000 rounds),
// the 2-byte password verifier, AES in WinZip's counter mode (a 128-bit
// little-endian block counter from 1) and HMAC-SHA1 over the encrypted
// bytes, whose first 10 bytes close the data. All cryptography is the
// system's (CZipAesPrimitives).
class CZipAesEncryption {
public:
    // Salt and password verifier, which open the entry's data.
    static constexpr uint32_t maxHeaderSize = 16 + 2;
    static constexpr uint32_t codeSize = 10;

    // Picks the salt and derives the keys for the key strength of `info`;
    // `header` receives salt and verifier (`headerSize` bytes). False when
    // the system's cryptography fails.
    bool Start(const ZipAesInfo& info, const uint8_t* password, uint32_t passwordLength,
               uint8_t (&header)[maxHeaderSize], uint32_t& headerSize);
    // Encrypts bytes in place and authenticates what it made.
    bool Encrypt(uint8_t* bytes, uint32_t length);
    // The authentication code of everything encrypted.
    bool Finish(uint8_t (&code)[codeSize]);

private:
    CZipAesCipher cipher;
};
