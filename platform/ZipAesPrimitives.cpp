// POSIX build (OpenSSL's libcrypto); the Windows build compiles
// ZipAesPrimitivesWin.cpp instead. Without libcrypto, AES is unavailable.
#ifndef _WIN32

#include "platform/ZipAesPrimitives.h"

#ifdef ZIPEXT_HAVE_OPENSSL
#include <openssl/core_names.h>
#include <openssl/evp.h>
#include <openssl/params.h>
#include <openssl/rand.h>

struct CZipAesPrimitives::State {
    ~State()
    {
        EVP_CIPHER_CTX_free(cipher);
        EVP_MAC_CTX_free(mac);
        EVP_MAC_free(hmac);
    }
    EVP_CIPHER_CTX* cipher = nullptr;
    EVP_MAC* hmac = nullptr;
    EVP_MAC_CTX* mac = nullptr;
};

bool CZipAesPrimitives::Available()
{
    return true;
}

bool CZipAesPrimitives::DeriveKey(const uint8_t* password, size_t passwordLength, const uint8_t* salt,
                                  size_t saltLength, uint32_t iterations, uint8_t* out, size_t outLength)
{
    return PKCS5_PBKDF2_HMAC_SHA1(reinterpret_cast<const char*>(password), static_cast<int>(passwordLength), salt,
                                  static_cast<int>(saltLength), static_cast<int>(iterations),
                                  static_cast<int>(outLength), out) == 1;
}

bool CZipAesPrimitives::RandomBytes(uint8_t* out, size_t length)
{
    return RAND_bytes(out, static_cast<int>(length)) == 1;
}

bool CZipAesPrimitives::Start(const uint8_t* key, size_t keyLength, const uint8_t* macKey, size_t macKeyLength)
{
    state = std::make_unique<State>();
    const EVP_CIPHER* type = keyLength == 16   ? EVP_aes_128_ecb()
                             : keyLength == 24 ? EVP_aes_192_ecb()
                             : keyLength == 32 ? EVP_aes_256_ecb()
                                               : nullptr;
    if (!type) return false;
    state->cipher = EVP_CIPHER_CTX_new();
    if (!state->cipher || EVP_EncryptInit_ex(state->cipher, type, nullptr, key, nullptr) != 1) return false;
    EVP_CIPHER_CTX_set_padding(state->cipher, 0);
    state->hmac = EVP_MAC_fetch(nullptr, "HMAC", nullptr);
    if (!state->hmac) return false;
    state->mac = EVP_MAC_CTX_new(state->hmac);
    char digest[] = "SHA1";
    const OSSL_PARAM params[] = {OSSL_PARAM_construct_utf8_string(OSSL_MAC_PARAM_DIGEST, digest, 0),
                                 OSSL_PARAM_construct_end()};
    return state->mac && EVP_MAC_init(state->mac, macKey, macKeyLength, params) == 1;
}

bool CZipAesPrimitives::EncryptBlocks(const uint8_t* in, uint8_t* out, size_t length)
{
    int made = 0;
    return state && state->cipher &&
           EVP_EncryptUpdate(state->cipher, out, &made, in, static_cast<int>(length)) == 1 &&
           static_cast<size_t>(made) == length;
}

bool CZipAesPrimitives::MacUpdate(const uint8_t* bytes, size_t length)
{
    return state && state->mac && (length == 0 || EVP_MAC_update(state->mac, bytes, length) == 1);
}

bool CZipAesPrimitives::MacFinish(uint8_t mac[20])
{
    size_t made = 0;
    return state && state->mac && EVP_MAC_final(state->mac, mac, &made, 20) == 1 && made == 20;
}

#else // no libcrypto

struct CZipAesPrimitives::State {};

bool CZipAesPrimitives::Available()
{
    return false;
}

bool CZipAesPrimitives::DeriveKey(const uint8_t*, size_t, const uint8_t*, size_t, uint32_t, uint8_t*, size_t)
{
    return false;
}

bool CZipAesPrimitives::RandomBytes(uint8_t*, size_t)
{
    return false;
}

bool CZipAesPrimitives::Start(const uint8_t*, size_t, const uint8_t*, size_t)
{
    return false;
}

bool CZipAesPrimitives::EncryptBlocks(const uint8_t*, uint8_t*, size_t)
{
    return false;
}

bool CZipAesPrimitives::MacUpdate(const uint8_t*, size_t)
{
    return false;
}

bool CZipAesPrimitives::MacFinish(uint8_t*)
{
    return false;
}

#endif

CZipAesPrimitives::CZipAesPrimitives() = default;

CZipAesPrimitives::~CZipAesPrimitives() = default;

#endif // !_WIN32
