#pragma once
#include <cstdint>

class CZipStream;
class CZipEntryHeader;
class CZipReadWindow;

// Reads count bytes at a stream position, seeking again and retrying where
// the stream delivers nothing (a host that fails once must not cost the
// user an entry); returns how many bytes could be read.
uint32_t ZipReadAt(CZipStream& stream, uint64_t position, uint8_t* buffer, uint32_t count);

// Writes count bytes at a stream position, repeating a write that failed
// (the bytes are the same, so a part that already landed is written again);
// throws when every attempt failed.
void ZipWriteAt(CZipStream& stream, uint64_t position, const uint8_t* buffer, uint32_t count);

// Archive offset just past everything that belongs to the entry: its local
// header, data and data descriptor. An entry without a local header at its
// offset cannot be read at all and ends where it starts. Nothing past the
// window's limit is read (an extent reaching past it is reported all the
// same). Throws 101 when the local header cannot be read.
uint64_t ZipEntryExtentEnd(CZipReadWindow& window, const CZipEntryHeader& header);
