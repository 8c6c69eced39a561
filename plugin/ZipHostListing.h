#pragma once
// The module's reading of an archive, for a host that wants to hold what
// ZipArchive_Decode hands over against what the archive holds: the same
// open and the same records the decode walk uses, in plain values. Nothing
// here is exported from the shared library; a host links the static one.
#include <cstdint>
#include <string>
#include <vector>

#include "errors/ZipErrorReason.h"
#include "plugin/VFInterfaces.h"

// One entry as the module reads its record.
struct ZipHostEntry {
    std::string name;               // exactly as WantEntry is given it
    uint16_t method = 0;            // as recorded (99 for WinZip AES)
    uint16_t flags = 0;             // general purpose flags
    uint32_t crc32 = 0;
    uint64_t compressedSize = 0;
    uint64_t uncompressedSize = 0;
    uint64_t localOffset = 0;       // its local header, from the host stream's start
    bool directory = false;         // a folder: by a trailing separator or the MS-DOS attribute
    bool encrypted = false;
    bool decoded = false;           // the module decodes it (else it hands over the raw bytes)
    bool checkable = true;          // CRC and sizes are known (a local header with a
                                    // data descriptor whose descriptor was not found: no)
    uint8_t aesStrength = 0;        // WinZip AE-2, which keeps no CRC: its key strength
                                    // (1-3); its authentication code checks the content
};

// How the module opened the stream.
enum class ZipHostOpening : uint8_t {
    none,                 // no archive the module walks
    directory,            // its central directory, offsets from where it starts
    directoryFromStart,   // its central directory, offsets from the stream's start
    localHeaders,         // no usable directory: walked by local headers
    volumePiece,          // one piece of a multi-volume set holding no entry: nothing is walked
};

struct ZipHostListing {
    ZipHostOpening opening = ZipHostOpening::none;
    // Why the directory could not be used, and where (none when it was).
    ZipReason reason = ZipReason::none;
    uint64_t reasonOffset = kZipNoOffset;
    // Where the archive's first byte lies in the host stream (a stub in
    // front of it included in the difference to the base).
    uint64_t archiveStart = 0;
    // Stream position of the central directory (0 without one).
    uint64_t directoryStart = 0;
    // The entries the directory lists, in its order; none when it is not used.
    std::vector<ZipHostEntry> entries;
};

// Opens the archive at `base` of the host stream as the decode walk does
// and lists it. Never throws; reads only records.
ZipHostListing ZipListForHost(VFStream* stream, uint64_t base);

// Every entry a streaming reader would find by its local header in the host
// stream from `base` on, with what its local header (or data descriptor)
// says: the content that no central record lists is checked against these.
// One pass over the bytes.
std::vector<ZipHostEntry> ZipLocalEntriesForHost(VFStream* stream, uint64_t base);

// Whether an AE-2 entry's authentication code matches its encrypted data
// under `password`, which the host offered for it. Unknown where that is not
// the entry's password, its data is cut short, or the build has no AES.
// Reads the entry's data once and decrypts nothing.
enum class ZipAesCheck : uint8_t { matches, differs, unknown };
ZipAesCheck ZipCheckAesCode(VFStream* stream, const ZipHostEntry& entry, const std::string& password);
