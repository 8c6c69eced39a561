#pragma once
#include <cstdint>

class CZipEntryHeader;
class CZipReadWindow;

// Archive offset just past everything that belongs to the entry: its local
// header, data and data descriptor. An entry without a local header at its
// offset cannot be read at all and ends where it starts. Nothing past the
// window's limit is read (an extent reaching past it is reported all the
// same). Throws 101 when the local header cannot be read.
uint64_t ZipEntryExtentEnd(CZipReadWindow& window, const CZipEntryHeader& header);
