#include "archive/ZipAesEncryption.h"

#include <algorithm>
#include <cstring>

namespace {
// WinZip's fixed PBKDF2 round count: readers derive the keys with it.
constexpr uint32_t kIterations = 1000;
} // namespace

bool CZipAesEncryption::Start(const ZipAesInfo& info, const uint8_t* password, uint32_t passwordLength,
                              uint8_t (&header)[maxHeaderSize], uint32_t& headerSize)
{
    const uint32_t keyLength = info.KeyLength();
    const uint32_t saltLength = info.SaltLength();
    if (info.strength < 1 || info.strength > 3) return false;
    if (!CZipAesPrimitives::RandomBytes(header, saltLength)) return false;
    uint8_t derived[2 * 32 + 2];
    const uint32_t derivedLength = 2 * keyLength + 2;
    if (!CZipAesPrimitives::DeriveKey(password, passwordLength, header, saltLength, kIterations, derived,
                                      derivedLength))
        return false;
    header[saltLength] = derived[2 * keyLength];
    header[saltLength + 1] = derived[2 * keyLength + 1];
    headerSize = saltLength + 2;
    std::memset(counter, 0, sizeof counter);
    used = sizeof keyStream;
    const bool started = primitives.Start(derived, keyLength, derived + keyLength, keyLength);
    std::memset(derived, 0, sizeof derived);
    return started;
}

bool CZipAesEncryption::Refill()
{
    for (uint32_t at = 0; at < sizeof blocks; at += 16) {
        // The counter is little-endian: its lowest byte counts first.
        for (int i = 0; i < 16 && ++counter[i] == 0; ++i) {
        }
        std::memcpy(blocks + at, counter, 16);
    }
    used = 0;
    return primitives.EncryptBlocks(blocks, keyStream, sizeof blocks);
}

bool CZipAesEncryption::Encrypt(uint8_t* bytes, uint32_t length)
{
    uint8_t* const first = bytes;
    const uint32_t total = length;
    while (length > 0) {
        if (used == sizeof keyStream && !Refill()) return false;
        const uint32_t n = std::min<uint32_t>(length, sizeof keyStream - used);
        for (uint32_t i = 0; i < n; ++i) bytes[i] ^= keyStream[used + i];
        used += n;
        bytes += n;
        length -= n;
    }
    return primitives.MacUpdate(first, total);
}

bool CZipAesEncryption::Finish(uint8_t (&code)[codeSize])
{
    uint8_t mac[20];
    if (!primitives.MacFinish(mac)) return false;
    std::memcpy(code, mac, codeSize);
    return true;
}
