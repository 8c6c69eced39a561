#include "archive/ZipLocalScan.h"

#include <algorithm>
#include <cstring>

#include "archive/ZipConstants.h"
#include "storage/ZipStream.h"

using namespace ZipFormat;

namespace {
constexpr uint32_t kPieceSize = 65536;
// Consecutive pieces overlap by a fixed record less one byte, so that a
// signature found in a piece before the overlap has its whole fixed record
// in that piece.
constexpr uint32_t kOverlap = localRecordSize - 1;
} // namespace

CZipLocalHeaderScan::CZipLocalHeaderScan(CZipStream& streamArg, uint64_t from, uint64_t toArg)
    : stream(streamArg), to(toArg), piece(kPieceSize), pieceStart(from)
{
}

bool CZipLocalHeaderScan::Load(uint64_t at)
{
    pieceStart = at;
    pieceLength = 0;
    if (exhausted || at + sizeof localSignature > to) return false;
    const uint32_t want = static_cast<uint32_t>(std::min<uint64_t>(kPieceSize, to - at));
    stream.Seek(static_cast<int64_t>(at), CZipStream::begin);
    pieceLength = stream.Read(piece.data(), want);
    // A stream that gives less than asked has nothing more to give.
    if (pieceLength < want) exhausted = true;
    return pieceLength >= sizeof localSignature;
}

uint64_t CZipLocalHeaderScan::Next(uint64_t at)
{
    if (answered && at >= askedFrom && at <= answer) return answer;
    uint64_t found = to;
    // Where a whole piece is in memory, its last bytes are looked at again
    // with the next one.
    const auto searchEnd = [&]() -> uint32_t {
        const bool last = exhausted || pieceStart + pieceLength >= to;
        const uint32_t tail = last ? sizeof localSignature - 1 : kOverlap;
        return pieceLength > tail ? pieceLength - tail : 0;
    };
    uint64_t cursor = at;
    for (;;) {
        if (cursor < pieceStart || cursor >= pieceStart + searchEnd()) {
            if (cursor + sizeof localSignature > to || !Load(cursor)) break;
        }
        const uint32_t end = searchEnd();
        const uint8_t* p = piece.data() + (cursor - pieceStart);
        const uint8_t* const stop = piece.data() + end;
        bool hit = false;
        while (p < stop) {
            p = static_cast<const uint8_t*>(std::memchr(p, localSignature[0], static_cast<size_t>(stop - p)));
            if (!p) break;
            if (HasSignature(p, localSignature)) {
                hit = true;
                break;
            }
            ++p;
        }
        if (hit) {
            found = pieceStart + static_cast<uint64_t>(p - piece.data());
            break;
        }
        if (end == 0 || exhausted || pieceStart + pieceLength >= to) break;
        cursor = pieceStart + end;
    }
    askedFrom = at;
    answer = found;
    answered = true;
    return found;
}

const uint8_t* CZipLocalHeaderScan::Held(uint64_t position, uint32_t count) const
{
    if (position < pieceStart || position + count > pieceStart + pieceLength) return nullptr;
    return piece.data() + (position - pieceStart);
}
