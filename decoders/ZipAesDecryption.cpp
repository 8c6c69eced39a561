#include "decoders/ZipAesDecryption.h"

#include <cstring>

bool CZipAesDecryption::Start(const ZipAesInfo& info, const uint8_t* password, uint32_t passwordLength,
                              const uint8_t* salt, const uint8_t verifier[2])
{
    uint8_t expected[2];
    return cipher.Start(info, password, passwordLength, salt, expected) && expected[0] == verifier[0] &&
           expected[1] == verifier[1];
}

bool CZipAesDecryption::Decrypt(uint8_t* bytes, uint32_t length)
{
    return cipher.Authenticate(bytes, length) && cipher.Apply(bytes, length);
}

bool CZipAesDecryption::Authenticate(const uint8_t* bytes, uint32_t length)
{
    return cipher.Authenticate(bytes, length);
}

bool CZipAesDecryption::Verify(const uint8_t code[10])
{
    uint8_t mac[20];
    return cipher.Code(mac) && std::memcmp(mac, code, 10) == 0;
}
