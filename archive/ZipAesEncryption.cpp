#include "archive/ZipAesEncryption.h"

#include <cstring>

bool CZipAesEncryption::Start(const ZipAesInfo& info, const uint8_t* password, uint32_t passwordLength,
                              uint8_t (&header)[maxHeaderSize], uint32_t& headerSize)
{
    const uint32_t saltLength = info.SaltLength();
    if (info.strength < 1 || info.strength > 3) return false;
    if (!CZipAesPrimitives::RandomBytes(header, saltLength)) return false;
    uint8_t verifier[2];
    if (!cipher.Start(info, password, passwordLength, header, verifier)) return false;
    header[saltLength] = verifier[0];
    header[saltLength + 1] = verifier[1];
    headerSize = saltLength + 2;
    return true;
}

bool CZipAesEncryption::Encrypt(uint8_t* bytes, uint32_t length)
{
    return cipher.Apply(bytes, length) && cipher.Authenticate(bytes, length);
}

bool CZipAesEncryption::Finish(uint8_t (&code)[codeSize])
{
    uint8_t mac[20];
    if (!cipher.Code(mac)) return false;
    std::memcpy(code, mac, codeSize);
    return true;
}
