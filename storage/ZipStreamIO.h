#pragma once
#include <cstdint>

class CZipStream;

// Reads count bytes at a stream position, seeking again and retrying where
// the stream delivers nothing (a host that fails once must not cost the
// user an entry); returns how many bytes could be read.
uint32_t ZipReadAt(CZipStream& stream, uint64_t position, uint8_t* buffer, uint32_t count);

// Writes count bytes at a stream position, repeating a write that failed
// (the bytes are the same, so a part that already landed is written again);
// throws when every attempt failed.
void ZipWriteAt(CZipStream& stream, uint64_t position, const uint8_t* buffer, uint32_t count);
