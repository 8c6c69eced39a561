#pragma once
#include <cstdint>

#include "plugin/VFInterfaces.h"
#include "storage/ZipBuffer.h"

class CZipArchiveEx;
class CZipEntryHeader;
class CZipHostStream;
struct CZipLocalRecord;

// What one reading of an entry put into the temporary stream.
struct CZipExtraction {
    bool opened = false;     // the entry's data could be reached at all
    bool complete = false;   // the data ended where it should, undamaged, all written
    bool readFailed = false; // a read threw: damage, or a failed host read
    bool refused = false;    // the temporary stream refused or shortened a write
    bool stopped = false;    // the engine asked to stop
    bool intact = false;     // decoded without damage to the data's end (sizes aside)
    int code = 0;            // the archive error that ended it, if any
    uint32_t size = 0;       // bytes the temporary stream holds
    uint32_t crc = 0;        // CRC-32 of the decoded bytes
    // Stream position just past the data, where the method read up to its
    // own end marker undamaged; 0 where that is not known.
    uint64_t dataEnd = 0;
};

// Extracts one entry of the archive, read as a given header says, into the
// engine's temporary stream. Whatever stops it (damaged data, a write the
// engine's stream refuses, a stop request), the bytes decoded up to there
// stay in the temporary stream for the engine to scan; the outcome tells how
// the extraction ended. Never throws.
class CZipEntryExtractor {
public:
    CZipEntryExtractor(CZipArchiveEx& archive, CZipHostStream& temporary, VFDecodeCallback& stop);

    // `local`, when given, is the entry's local header already read.
    CZipExtraction Extract(uint16_t index, const CZipEntryHeader& view, const CZipLocalRecord* local = nullptr);
    // An entry no central record lists (see CZipArchiveEx::OpenEntryAt).
    CZipExtraction ExtractAt(uint64_t localPosition, const CZipEntryHeader& view, uint64_t dataLimit);

private:
    template <class Open>
    CZipExtraction Run(Open open);
    void Copy(CZipExtraction& x);
    void Close(CZipExtraction& x);

    CZipArchiveEx& archive;
    CZipHostStream& temporary;
    VFDecodeCallback& stop;
    CZipBuffer buffer;
};
