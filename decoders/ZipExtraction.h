#pragma once
#include <cstdint>

// What one reading of an entry put into the engine's temporary stream.
struct CZipExtraction {
    bool opened = false;     // the entry's data could be reached at all
    bool complete = false;   // the data ended where it should, undamaged, all written
    bool readFailed = false; // a read threw: damage, or a failed host read
    bool refused = false;    // the temporary stream took no more bytes
    bool stopped = false;    // the engine asked to stop
    bool intact = false;     // decoded without damage to the data's end (sizes aside)
    bool ownEnd = false;     // the method's data carries its own end marker
    bool readAsPlain = false; // flagged encrypted, and read without decryption
    int code = 0;            // the archive error that ended it, if any
    uint32_t size = 0;       // bytes the temporary stream holds
    uint32_t crc = 0;        // CRC-32 of the decoded bytes
    // Stream position just past the data, where the method read up to its
    // own end marker undamaged; 0 where that is not known.
    uint64_t dataEnd = 0;
    // Why the reading ended short of a complete content, in words (the
    // decoder's reason, "CRC mismatch", "stop requested"); null when it
    // is complete or nothing says.
    const char* reason = nullptr;
};
