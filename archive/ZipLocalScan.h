#pragma once
#include <cstdint>

#include "storage/ZipBuffer.h"

class CZipStream;

// Finds local header signatures in [from, to) of a stream, in order, as a
// streaming reader meets them, reading the bytes in 64 KiB pieces: each
// byte is looked at once however the finds are asked for, as long as they
// are asked for at positions that do not go back. Every piece is a read of
// the stream, so a stream that stops delivering (a stop request, a failed
// read) ends the search where it is.
class CZipLocalHeaderScan {
public:
    CZipLocalHeaderScan(CZipStream& stream, uint64_t from, uint64_t to);
    CZipLocalHeaderScan(const CZipLocalHeaderScan&) = delete;
    CZipLocalHeaderScan& operator=(const CZipLocalHeaderScan&) = delete;

    // Stream position of the first signature at or after `at`, or the end
    // of the range when none is left.
    uint64_t Next(uint64_t at);
    // The `count` bytes at `position` where the piece in memory holds them
    // all (a signature just found has its fixed record there unless the
    // range ends first), else null.
    const uint8_t* Held(uint64_t position, uint32_t count) const;
    uint64_t End() const { return to; }

private:
    // Reads the piece starting at `at`; false when the stream gives fewer
    // bytes than a signature.
    bool Load(uint64_t at);

    CZipStream& stream;
    const uint64_t to;
    CZipBuffer piece;
    uint64_t pieceStart = 0;
    uint32_t pieceLength = 0;
    bool exhausted = false;
    // The last answer, and the position it was asked from: nothing lies
    // between the two.
    uint64_t askedFrom = 0;
    uint64_t answer = 0;
    bool answered = false;
};
