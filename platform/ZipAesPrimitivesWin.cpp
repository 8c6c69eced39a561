// Windows build (the CNG in bcrypt.dll); the POSIX build compiles
// ZipAesPrimitives.cpp instead.
#ifdef _WIN32

#include "platform/ZipAesPrimitives.h"

#include <vector>

#include <windows.h>

#include <bcrypt.h>

namespace {

bool Ok(NTSTATUS status)
{
    return status >= 0;
}

// An algorithm provider, closed with its owner.
struct Provider {
    Provider(const wchar_t* id, ULONG flags)
    {
        if (!Ok(BCryptOpenAlgorithmProvider(&handle, id, nullptr, flags))) handle = nullptr;
    }
    ~Provider()
    {
        if (handle) BCryptCloseAlgorithmProvider(handle, 0);
    }
    Provider(const Provider&) = delete;
    Provider& operator=(const Provider&) = delete;
    BCRYPT_ALG_HANDLE handle = nullptr;
};

} // namespace

struct CZipAesPrimitives::State {
    State() : aes(BCRYPT_AES_ALGORITHM, 0), hmac(BCRYPT_SHA1_ALGORITHM, BCRYPT_ALG_HANDLE_HMAC_FLAG) {}
    ~State()
    {
        if (hash) BCryptDestroyHash(hash);
        if (key) BCryptDestroyKey(key);
    }
    Provider aes;
    Provider hmac;
    BCRYPT_KEY_HANDLE key = nullptr;
    BCRYPT_HASH_HANDLE hash = nullptr;
    std::vector<UCHAR> keyObject;
    std::vector<UCHAR> hashObject;
};

bool CZipAesPrimitives::Available()
{
    return true;
}

bool CZipAesPrimitives::DeriveKey(const uint8_t* password, size_t passwordLength, const uint8_t* salt,
                                  size_t saltLength, uint32_t iterations, uint8_t* out, size_t outLength)
{
    Provider hmac(BCRYPT_SHA1_ALGORITHM, BCRYPT_ALG_HANDLE_HMAC_FLAG);
    if (!hmac.handle) return false;
    return Ok(BCryptDeriveKeyPBKDF2(hmac.handle, const_cast<PUCHAR>(password), static_cast<ULONG>(passwordLength),
                                    const_cast<PUCHAR>(salt), static_cast<ULONG>(saltLength), iterations, out,
                                    static_cast<ULONG>(outLength), 0));
}

bool CZipAesPrimitives::RandomBytes(uint8_t* out, size_t length)
{
    return Ok(BCryptGenRandom(nullptr, out, static_cast<ULONG>(length), BCRYPT_USE_SYSTEM_PREFERRED_RNG));
}

bool CZipAesPrimitives::Start(const uint8_t* key, size_t keyLength, const uint8_t* macKey, size_t macKeyLength)
{
    state = std::make_unique<State>();
    if (!state->aes.handle || !state->hmac.handle) return false;
    ULONG size = 0, got = 0;
    if (!Ok(BCryptSetProperty(state->aes.handle, BCRYPT_CHAINING_MODE,
                              reinterpret_cast<PUCHAR>(const_cast<wchar_t*>(BCRYPT_CHAIN_MODE_ECB)),
                              sizeof(BCRYPT_CHAIN_MODE_ECB), 0)))
        return false;
    if (!Ok(BCryptGetProperty(state->aes.handle, BCRYPT_OBJECT_LENGTH, reinterpret_cast<PUCHAR>(&size),
                              sizeof size, &got, 0)))
        return false;
    state->keyObject.resize(size);
    if (!Ok(BCryptGenerateSymmetricKey(state->aes.handle, &state->key, state->keyObject.data(), size,
                                       const_cast<PUCHAR>(key), static_cast<ULONG>(keyLength), 0)))
        return false;
    if (!Ok(BCryptGetProperty(state->hmac.handle, BCRYPT_OBJECT_LENGTH, reinterpret_cast<PUCHAR>(&size),
                              sizeof size, &got, 0)))
        return false;
    state->hashObject.resize(size);
    return Ok(BCryptCreateHash(state->hmac.handle, &state->hash, state->hashObject.data(), size,
                               const_cast<PUCHAR>(macKey), static_cast<ULONG>(macKeyLength), 0));
}

bool CZipAesPrimitives::EncryptBlocks(const uint8_t* in, uint8_t* out, size_t length)
{
    ULONG made = 0;
    return state && state->key &&
           Ok(BCryptEncrypt(state->key, const_cast<PUCHAR>(in), static_cast<ULONG>(length), nullptr, nullptr, 0, out,
                            static_cast<ULONG>(length), &made, 0)) &&
           made == length;
}

bool CZipAesPrimitives::MacUpdate(const uint8_t* bytes, size_t length)
{
    return state && state->hash &&
           (length == 0 || Ok(BCryptHashData(state->hash, const_cast<PUCHAR>(bytes), static_cast<ULONG>(length), 0)));
}

bool CZipAesPrimitives::MacFinish(uint8_t mac[20])
{
    return state && state->hash && Ok(BCryptFinishHash(state->hash, mac, 20, 0));
}

CZipAesPrimitives::CZipAesPrimitives() = default;

CZipAesPrimitives::~CZipAesPrimitives() = default;

#endif // _WIN32
