#include "archive/ZipAesCipher.h"

#include <algorithm>
#include <cstring>

namespace {
// WinZip's fixed PBKDF2 round count.
constexpr uint32_t kIterations = 1000;
} // namespace

bool CZipAesCipher::Start(const ZipAesInfo& info, const uint8_t* password, uint32_t passwordLength,
                          const uint8_t* salt, uint8_t (&verifier)[2])
{
    const uint32_t keyLength = info.KeyLength();
    uint8_t derived[2 * 32 + 2];
    const uint32_t derivedLength = 2 * keyLength + 2;
    if (!CZipAesPrimitives::DeriveKey(password, passwordLength, salt, info.SaltLength(), kIterations, derived,
                                      derivedLength))
        return false;
    verifier[0] = derived[2 * keyLength];
    verifier[1] = derived[2 * keyLength + 1];
    std::memset(counter, 0, sizeof counter);
    used = sizeof keyStream;
    const bool started = primitives.Start(derived, keyLength, derived + keyLength, keyLength);
    std::memset(derived, 0, sizeof derived);
    return started;
}

bool CZipAesCipher::Refill()
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

bool CZipAesCipher::Apply(uint8_t* bytes, uint32_t length)
{
    while (length > 0) {
        if (used == sizeof keyStream && !Refill()) return false;
        const uint32_t n = std::min<uint32_t>(length, sizeof keyStream - used);
        for (uint32_t i = 0; i < n; ++i) bytes[i] ^= keyStream[used + i];
        used += n;
        bytes += n;
        length -= n;
    }
    return true;
}
