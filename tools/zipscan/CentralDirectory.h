#pragma once
// A small reader of an archive's own listing, independent of the module:
// where the archive starts inside a file (a self-extractor's stub in front
// of it, as unzip finds it) and the names and declared sizes its central
// directory lists. zipscan holds what the module hands over against it.
#include <cstdint>
#include <string>
#include <vector>

#include "errors/ZipErrorReason.h"

namespace zipscan {

class FileStream;

struct ListedEntry {
    std::string name;            // as stored
    std::uint64_t size = 0;      // declared uncompressed size
};

struct DirectoryListing {
    bool found = false;          // an end record whose directory holds up
    std::uint64_t start = 0;     // where the first local header lies in the file
    bool complete = false;       // every record the end record counts was read
    std::vector<ListedEntry> entries;
    // Why the listing is missing or incomplete (none when it is whole, or
    // cut at a limit of this reader's own), and where that was found.
    ZipReason reason = ZipReason::none;
    std::uint64_t reasonOffset = kZipNoOffset;
};

// Reads the listing of the archive that ends the file. found is false when
// no end record leads to a directory; nothing of the file is trusted beyond
// the bytes it holds.
DirectoryListing ReadListing(const FileStream& file);

} // namespace zipscan
