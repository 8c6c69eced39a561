#pragma once
#include <cstdint>

// Traditional PKWARE encryption on the three 32-bit keys, over zlib's CRC table.
namespace ZipCrypto {
void InitKeys(uint32_t* keys, const uint8_t* password, uint32_t length);
void UpdateKeys(uint32_t* keys, uint8_t c);
// Decrypts c in place and advances the keys with the plain byte.
void DecryptByte(uint32_t* keys, uint8_t& c);
// Encrypts c in place and advances the keys with the plain byte.
void EncryptByte(uint32_t* keys, uint8_t& c);
// DecryptByte / EncryptByte over n bytes in order.
void DecryptBlock(uint32_t* keys, uint8_t* bytes, uint32_t n);
void EncryptBlock(uint32_t* keys, uint8_t* bytes, uint32_t n);
} // namespace ZipCrypto
