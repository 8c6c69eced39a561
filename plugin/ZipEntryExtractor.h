#pragma once
#include <cstdint>

#include "decoders/ZipExtraction.h"
#include "plugin/VFInterfaces.h"
#include "storage/ZipBuffer.h"

class CZipArchiveEx;
class CZipEntryHeader;
class CZipHostStream;
struct CZipLocalRecord;

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
    // Names a mismatch with the header as the reason of an undamaged reading.
    static CZipExtraction Checked(CZipExtraction x, const CZipEntryHeader& view);

    CZipArchiveEx& archive;
    CZipHostStream& temporary;
    VFDecodeCallback& stop;
    CZipBuffer buffer;
};
