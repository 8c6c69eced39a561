#pragma once
#include <cstdint>

#include "archive/ZipAesCipher.h"
#include "archive/ZipExtraField.h"

// WinZip AES decryption of one entry: the keys derived from the password
// and the entry's salt (once per open), the password verifier, AES in
// WinZip's counter mode (a 128-bit little-endian block counter from 1), and
// HMAC-SHA1 over the encrypted bytes, whose first 10 bytes close the data.
class CZipAesDecryption {
public:
    // False when the password's verifier does not match (or the system's
    // cryptography fails).
    bool Start(const ZipAesInfo& info, const uint8_t* password, uint32_t passwordLength, const uint8_t* salt,
               const uint8_t verifier[2]);
    // Authenticates the encrypted bytes, then decrypts them in place; false
    // when the cryptography fails.
    bool Decrypt(uint8_t* bytes, uint32_t length);
    // Authenticates encrypted bytes that are not decrypted (the rest of an
    // entry whose data ended before its compressed size).
    bool Authenticate(const uint8_t* bytes, uint32_t length);
    // Whether the authentication code matches everything authenticated.
    bool Verify(const uint8_t code[10]);

private:
    CZipAesCipher cipher;
};
