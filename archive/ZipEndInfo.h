#pragma once
#include <cstdint>

// The values of the end of central directory record, plus where the archive
// sits inside its stream.
struct CZipEndInfo {
    uint64_t endRecordOffset = 0;   // stream offset of the end record
    uint64_t streamLength = 0;      // the stream's length when the end record was read
    uint32_t foreignBytes = 0;      // bytes in front of the archive (stub)
    uint16_t diskNumber = 0;
    uint16_t diskWithDirectory = 0;
    uint16_t entriesOnThisDisk = 0;
    uint16_t totalEntries = 0;
    uint32_t directorySize = 0;
    uint32_t directoryOffset = 0;   // relative to the archive start
    bool directoryOnDisk = false;   // the stream holds a matching directory
    // Where the directory must end (at the ZIP64 end record, or at the end
    // record), and where the central records read into the header list end:
    // records between the two are the directory's all the same (a count
    // that says less, or more than the list holds) and are read apart.
    uint64_t directoryTail = 0;
    uint64_t recordsEnd = 0;
    // The directory holds more records than the header list can: a rewrite
    // would lose them.
    bool recordsBeyondList = false;
    // The disk fields of the end record or of an entry say that the stream
    // is one piece of a multi-volume set. Whatever the stream itself holds
    // is read all the same, but such an archive is never written to.
    bool claimsMultiVolume = false;
    // The stream reaches past 4 GiB: its archive can be read, but positions
    // there are beyond what the 32-bit writing paths can address.
    bool beyond32Bits = false;

    // Whether the archive may be changed in place at all.
    bool Rewritable() const { return !claimsMultiVolume && !beyond32Bits && !recordsBeyondList; }
};
