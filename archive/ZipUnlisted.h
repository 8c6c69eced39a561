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

// The stream ranges where entries no central record lists are looked for:
// in front of the archive's directory (a stub or an archive joined in front
// included), wherever no listed entry (local header, data, descriptor)
// lies. Reads only the listed entries' local headers and descriptors.
std::vector<std::pair<uint64_t, uint64_t>> ZipUncoveredRanges(CZipArchive& archive);

// Every entry whose local header lies in [from, to) of a stream, as a
// streaming reader meets them: in those ranges, or in a whole stream
// without a usable directory. One pass over the bytes, each header taken
// once; a header inside the sized data of one taken before is part of it.
std::vector<CZipUnlistedEntry> ZipFindLocalEntries(CZipStream& stream, uint64_t from, uint64_t to);
