#pragma once
// Holds what one walk of the module handed over against the module's own
// listing of the archive: an entry counts as fully scanned only when a
// hand-over under its name has the size and CRC-32 its record gives (for
// content no central record lists, its local header or data descriptor);
// everything else gets its reason.
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "ScanTypes.h"
#include "plugin/ZipHost.h"

namespace zipscan {

// What the listing says of the records under one name, for the walk's
// questions before anything is extracted.
struct ListedName {
    bool directory = true;   // every record of the name is a folder
    bool empty = true;       // ... or holds nothing (nothing to scan)
};
using ListingIndex = std::map<std::string, ListedName>;

ListingIndex IndexListing(const ZipHostListing& listing);

// Local entries of the walked stream, found only when content no record
// lists needs them (one pass over the stream).
using LocalLookup = std::function<std::vector<ZipHostEntry>()>;

struct WalkEnd {
    bool stopped = false;                 // the walk was asked to stop
    std::vector<std::string> limits;      // limits reached, in order
    bool passwordsGiven = false;
    // Checks a WinZip AE-2 entry's authentication code under the password
    // (an index of the given ones) in force when it was handed over; such
    // an entry keeps no CRC. Without it, no AE-2 entry counts as verified.
    std::function<ZipAesCheck(const ZipHostEntry&, int password)> checkAes;
};

// Judges the entries of one walk (depth 0 of `entries`; deeper ones were
// judged by their own walk) and appends a line for every record the walk
// never offered or handed over. File-level reasons go to notes.
void JudgeWalk(const ZipHostListing& listing, const LocalLookup& locals, const WalkEnd& end,
               std::vector<EntryResult>& entries, std::vector<std::string>& notes);

} // namespace zipscan
