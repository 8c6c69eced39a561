#pragma once
#include <cstdint>
#include <utility>
#include <vector>

#include "archive/ZipEntryHeader.h"
#include "archive/ZipLocalScan.h"

class CZipArchive;
class CZipStream;

// An entry found by its local header where no central record lists it.
struct CZipUnlistedEntry {
    uint64_t localPosition = 0;  // stream position of its local header
    uint64_t dataLimit = 0;      // its data goes on at most to here
    CZipEntryHeader view;        // what the local header says; the name in local form
};

// A stream range where entries no central record lists are looked for.
struct CZipUncoveredRange {
    uint64_t from = 0;
    uint64_t to = 0;
    // The listed stored entry (an index into the directory) whose data the
    // range follows, or -1: bytes from its data's start up to the first
    // entry found in the range may be the rest of its content.
    int storedBefore = -1;
    uint64_t storedLocal = 0;
    uint64_t storedDataStart = 0;
    uint64_t storedDeclaredEnd = 0;
};

// Where a listed entry's local header lies: at its offset behind the bytes
// in front of the archive, or, where no local header is there, at its
// offset counted from the stream's start (an archive whose directory
// offset is wrong). False where neither holds one.
bool ZipFindListedLocalHeader(CZipStream& stream, uint32_t foreignBytes, uint32_t offset, uint64_t& position);

// The stream ranges where entries no central record lists are looked for:
// in front of the archive's directory (a stub or an archive joined in front
// included), wherever no listed entry (local header, data, descriptor)
// lies, and behind its end record. `dataEnds`, by directory index, are where a listed entry's data
// was found to end when it was read (0: not known, the sizes its records
// give count): an entry covers its bytes up to there. An entry whose local
// header is not found covers nothing. Reads only the listed entries' local
// headers and descriptors; work grows with the number of entries.
// `listedAt` receives the stream positions of the listed entries' local
// headers, sorted.
std::vector<CZipUncoveredRange> ZipUncoveredRanges(CZipArchive& archive, const std::vector<uint64_t>& dataEnds,
                                                   std::vector<uint64_t>& listedAt);
// The same ranges as stream positions [from, to) alone.
std::vector<std::pair<uint64_t, uint64_t>> ZipUncoveredRanges(CZipArchive& archive,
                                                              const std::vector<uint64_t>& dataEnds = {});

// The entries whose local headers lie in [from, to) of a stream, as a
// streaming reader meets them, one at a time: in those ranges, or in a
// whole stream without a usable directory. One pass over the bytes, each
// header taken once; a header inside the sized data of one taken before is
// part of it. A signature is taken for an entry only when its fixed record
// could start one; nothing more of it is read before that.
class CZipLocalWalk {
public:
    CZipLocalWalk(CZipStream& stream, uint64_t from, uint64_t to);

    // The next entry; false when none is left.
    bool Next(CZipUnlistedEntry& entry);
    // Where the first signature at or after `at` lies (the range's end when
    // none does), without taking it.
    uint64_t NextSignature(uint64_t at) { return scan.Next(at); }

private:
    // The entry whose header is at `position`; false where none can start
    // there.
    bool Take(uint64_t position, CZipUnlistedEntry& entry);

    CZipStream& stream;
    CZipLocalHeaderScan scan;
    uint64_t to;
    // Bytes before here belong to what was taken already.
    uint64_t covered;
};
