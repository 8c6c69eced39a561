#pragma once
#include <cstddef>
#include <cstdint>
#include <memory>

// The cryptography WinZip AES needs, from the system: OpenSSL's libcrypto
// on POSIX systems, the Windows CNG (bcrypt.dll) in the Windows build. No
// AES or SHA-1 of our own.
class CZipAesPrimitives {
public:
    CZipAesPrimitives();
    ~CZipAesPrimitives();
    CZipAesPrimitives(const CZipAesPrimitives&) = delete;
    CZipAesPrimitives& operator=(const CZipAesPrimitives&) = delete;

    // False where the build has no AES at all.
    static bool Available();
    // PBKDF2 with HMAC-SHA1 over the password and salt, `iterations` rounds,
    // filling out[0..outLength).
    static bool DeriveKey(const uint8_t* password, size_t passwordLength, const uint8_t* salt, size_t saltLength,
                          uint32_t iterations, uint8_t* out, size_t outLength);
    // Unpredictable bytes from the system's generator (a new salt).
    static bool RandomBytes(uint8_t* out, size_t length);
    // An AES key of keyLength bytes (16, 24 or 32) for EncryptBlocks, and
    // the key of the HMAC-SHA1 that MacUpdate and MacFinish compute.
    bool Start(const uint8_t* key, size_t keyLength, const uint8_t* macKey, size_t macKeyLength);
    // AES encryption of whole 16-byte blocks, each on its own (ECB).
    bool EncryptBlocks(const uint8_t* in, uint8_t* out, size_t length);
    bool MacUpdate(const uint8_t* bytes, size_t length);
    // The 20-byte HMAC-SHA1 of everything MacUpdate was given.
    bool MacFinish(uint8_t mac[20]);

private:
    struct State;
    std::unique_ptr<State> state;
};
