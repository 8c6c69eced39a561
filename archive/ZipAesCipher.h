#pragma once
#include <cstdint>

#include "archive/ZipExtraField.h"
#include "platform/ZipAesPrimitives.h"

// WinZip AES as both directions use it: keys derived from the password and
// the entry's salt with PBKDF2-HMAC-SHA1 (1000 rounds), AES in WinZip's
// counter mode (a 128-bit little-endian block counter from 1), and
// HMAC-SHA1 over the encrypted bytes. Counter mode makes encryption and
// decryption the same XOR with the key stream; all cryptography is the
// system's (CZipAesPrimitives).
class CZipAesCipher {
public:
    // Derives the keys for the key strength of `info`; `verifier` receives
    // the 2-byte password verifier. False when the system's cryptography
    // fails.
    bool Start(const ZipAesInfo& info, const uint8_t* password, uint32_t passwordLength, const uint8_t* salt,
               uint8_t (&verifier)[2]);
    // XORs bytes in place with the next bytes of the key stream.
    bool Apply(uint8_t* bytes, uint32_t length);
    // Adds encrypted bytes to the authentication code.
    bool Authenticate(const uint8_t* bytes, uint32_t length) { return primitives.MacUpdate(bytes, length); }
    // The 20-byte HMAC-SHA1 of everything authenticated.
    bool Code(uint8_t (&mac)[20]) { return primitives.MacFinish(mac); }

private:
    bool Refill();

    CZipAesPrimitives primitives;
    uint8_t counter[16] = {};
    // Key stream of many counter blocks at once, and how much is used.
    uint8_t blocks[4096] = {};
    uint8_t keyStream[4096] = {};
    uint32_t used = sizeof keyStream;
};
