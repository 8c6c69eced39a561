#include "archive/ZipCrypto.h"

#include <zlib.h>

namespace {

inline void Update(const z_crc_t* table, uint32_t* keys, uint8_t c)
{
    keys[0] = static_cast<uint32_t>(table[(keys[0] ^ c) & 0xFF]) ^ (keys[0] >> 8);
    keys[1] = (keys[1] + (keys[0] & 0xFF)) * 134775813u + 1u;
    keys[2] = static_cast<uint32_t>(table[(keys[2] ^ (keys[1] >> 24)) & 0xFF]) ^ (keys[2] >> 8);
}

// The keystream byte that the next data byte is combined with.
inline uint8_t StreamByte(const uint32_t* keys)
{
    const uint32_t t = (keys[2] & 0xFFFDu) | 2u;
    return static_cast<uint8_t>(((t * (t ^ 1u)) >> 8) & 0xFFu);
}

} // namespace

namespace ZipCrypto {

void InitKeys(uint32_t* keys, const uint8_t* password, uint32_t length)
{
    keys[0] = 0x12345678u;
    keys[1] = 0x23456789u;
    keys[2] = 0x34567890u;
    const z_crc_t* table = get_crc_table();
    for (uint32_t i = 0; i < length; ++i) Update(table, keys, password[i]);
}

void UpdateKeys(uint32_t* keys, uint8_t c)
{
    Update(get_crc_table(), keys, c);
}

void DecryptByte(uint32_t* keys, uint8_t& c)
{
    c = static_cast<uint8_t>(c ^ StreamByte(keys));
    Update(get_crc_table(), keys, c);
}

void EncryptByte(uint32_t* keys, uint8_t& c)
{
    const uint8_t k = StreamByte(keys);
    Update(get_crc_table(), keys, c);
    c = static_cast<uint8_t>(c ^ k);
}

void DecryptBlock(uint32_t* keys, uint8_t* bytes, uint32_t n)
{
    const z_crc_t* table = get_crc_table();
    for (uint32_t i = 0; i < n; ++i) {
        bytes[i] = static_cast<uint8_t>(bytes[i] ^ StreamByte(keys));
        Update(table, keys, bytes[i]);
    }
}

void EncryptBlock(uint32_t* keys, uint8_t* bytes, uint32_t n)
{
    const z_crc_t* table = get_crc_table();
    for (uint32_t i = 0; i < n; ++i) {
        const uint8_t k = StreamByte(keys);
        Update(table, keys, bytes[i]);
        bytes[i] = static_cast<uint8_t>(bytes[i] ^ k);
    }
}

} // namespace ZipCrypto
