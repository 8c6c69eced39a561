#pragma once
#include <cstdint>

#include "storage/ZipBuffer.h"

class CZipStream;

// Reads small pieces of an archive (local headers, descriptor signatures)
// through one window of the stream: pieces that lie close together, as the
// local headers of small entries do, cost one read between them.
class CZipReadWindow {
public:
    // Offsets are archive offsets: stream positions less foreignBytes.
    // Nothing at or past limit is ever read.
    CZipReadWindow(CZipStream& stream, uint32_t foreignBytes, uint64_t limit,
                   uint32_t size = 65536);

    // The count bytes at offset, or null when they lie past the limit.
    // Throws 101 when the stream cannot deliver them.
    const uint8_t* Get(uint64_t offset, uint32_t count);
    // Bytes read from the stream so far: the work a search has done.
    uint64_t BytesRead() const { return bytesRead; }

private:
    CZipStream& stream;
    uint64_t foreign;
    uint64_t limit;
    CZipBuffer buffer;
    uint64_t start = 0;
    uint32_t length = 0;
    uint64_t bytesRead = 0;
};
