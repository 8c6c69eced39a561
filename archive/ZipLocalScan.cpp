#include "archive/ZipLocalScan.h"

#include <algorithm>
#include <cstring>

#include "archive/ZipConstants.h"
#include "storage/ZipBuffer.h"
#include "storage/ZipStream.h"

using namespace ZipFormat;

std::vector<uint64_t> ZipFindLocalHeaders(CZipStream& stream, uint64_t from, uint64_t to)
{
    std::vector<uint64_t> found;
    constexpr uint32_t pieceSize = 65536;
    constexpr uint32_t overlap = sizeof localSignature - 1;
    CZipBuffer piece(pieceSize);
    uint64_t at = from;
    while (at + sizeof localSignature <= to) {
        const uint32_t want = static_cast<uint32_t>(std::min<uint64_t>(pieceSize, to - at));
        stream.Seek(static_cast<int64_t>(at), CZipStream::begin);
        const uint32_t got = stream.Read(piece.data(), want);
        if (got < sizeof localSignature) break;
        const uint8_t* p = piece.data();
        const uint8_t* const end = p + got - overlap;
        while (p < end) {
            p = static_cast<const uint8_t*>(std::memchr(p, localSignature[0], static_cast<size_t>(end - p)));
            if (!p) break;
            if (HasSignature(p, localSignature)) found.push_back(at + static_cast<uint64_t>(p - piece.data()));
            ++p;
        }
        if (got < want) break;
        at += got - overlap;
    }
    return found;
}
