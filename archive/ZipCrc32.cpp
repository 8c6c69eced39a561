#include "archive/ZipCrc32.h"

#ifdef ZIPEXT_USE_ISAL
#include <isa-l/crc.h>
#else
#include <zlib.h>
#endif

uint32_t ZipCrc32(uint32_t crc, const uint8_t* bytes, size_t length)
{
    if (length == 0) return crc;
#ifdef ZIPEXT_USE_ISAL
    return crc32_gzip_refl(crc, bytes, length);
#else
    // zlib takes at most 4 GiB - 1 bytes a call where its length is 32-bit.
    while (length > 0) {
        const uInt piece = length > 0x40000000u ? 0x40000000u : static_cast<uInt>(length);
        crc = static_cast<uint32_t>(crc32(crc, bytes, piece));
        bytes += piece;
        length -= piece;
    }
    return crc;
#endif
}
