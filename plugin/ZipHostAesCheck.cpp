// The authentication code of a WinZip AE-2 entry, checked for a host: such
// an entry keeps no CRC, so a host that holds hand-overs against records
// has only this code to tell the stored content from altered bytes.
#include <algorithm>
#include <cstring>

#include "archive/ZipAesCipher.h"
#include "archive/ZipLocalRecord.h"
#include "plugin/ZipHostListing.h"
#include "plugin/ZipHostStream.h"
#include "storage/ZipBuffer.h"

ZipAesCheck ZipCheckAesCode(VFStream* host, const ZipHostEntry& entry, const std::string& password)
{
    if (!host || entry.aesStrength < 1 || entry.aesStrength > 3) return ZipAesCheck::unknown;
    try {
        CZipHostStream stream(host, 0, 0, nullptr);
        CZipLocalRecord local;
        if (!local.Read(stream, entry.localOffset)) return ZipAesCheck::unknown;
        ZipAesInfo info;
        info.version = 2;
        info.strength = entry.aesStrength;
        const uint32_t saltLength = info.SaltLength();
        if (entry.compressedSize < saltLength + 2 + 10) return ZipAesCheck::unknown;
        uint8_t head[16 + 2];
        auto readAt = [&](uint64_t at, uint8_t* bytes, uint32_t count) {
            stream.Seek(static_cast<int64_t>(at), CZipStream::begin);
            return stream.Read(bytes, count) == count;
        };
        if (!readAt(local.dataStart, head, saltLength + 2)) return ZipAesCheck::unknown;
        CZipAesCipher cipher;
        uint8_t verifier[2];
        if (!cipher.Start(info, reinterpret_cast<const uint8_t*>(password.data()),
                          static_cast<uint32_t>(password.size()), head, verifier) ||
            std::memcmp(verifier, head + saltLength, 2) != 0)
            return ZipAesCheck::unknown;
        uint64_t left = entry.compressedSize - saltLength - 2 - 10;
        CZipBuffer chunk(65536);
        stream.Seek(static_cast<int64_t>(local.dataStart + saltLength + 2), CZipStream::begin);
        while (left > 0) {
            const uint32_t want = static_cast<uint32_t>(std::min<uint64_t>(left, chunk.length()));
            if (stream.Read(chunk.data(), want) != want) return ZipAesCheck::unknown;
            if (!cipher.Authenticate(chunk.data(), want)) return ZipAesCheck::unknown;
            left -= want;
        }
        uint8_t code[10];
        uint8_t mac[20];
        if (stream.Read(code, sizeof code) != sizeof code || !cipher.Code(mac)) return ZipAesCheck::unknown;
        return std::memcmp(code, mac, sizeof code) == 0 ? ZipAesCheck::matches : ZipAesCheck::differs;
    } catch (...) {
        return ZipAesCheck::unknown;
    }
}
