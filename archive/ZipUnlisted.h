#pragma once
#include <cstdint>
#include <utility>
#include <vector>

#include "archive/ZipEntryHeader.h"

class CZipArchive;
class CZipStream;

// An entry found by its local header where no central record lists it.
struct CZipUnlistedEntry {
    uint64_t localPosition = 0;  // stream position of its local header
    uint64_t dataLimit = 0;      // its data goes on at most to here
    CZipEntryHeader view;        // what the local header says; the name in local form
};

// Entries in the bytes in front of the archive's directory (a stub or an
// archive joined in front included) that no listed entry covers (local
// header, data, descriptor). Bytes are read
// only where they are uncovered, each once; nothing is allocated beyond what
// those bytes can hold.
std::vector<CZipUnlistedEntry> ZipFindUnlistedEntries(CZipArchive& archive);
// The stream ranges those entries are searched in: in front of the
// directory, wherever no listed entry lies. Reads only the
// listed entries' local headers and descriptors.
std::vector<std::pair<uint64_t, uint64_t>> ZipUncoveredRanges(CZipArchive& archive);

// Every entry whose local header lies in [from, to) of a stream, as a
// streaming reader meets them: for an archive without a usable directory.
std::vector<CZipUnlistedEntry> ZipFindLocalEntries(CZipStream& stream, uint64_t from, uint64_t to);
