#pragma once
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "decoders/ZipArchiveEx.h"
#include "plugin/VFInterfaces.h"
#include "plugin/ZipCleaningJournal.h"
#include "plugin/ZipEntryExtractor.h"
#include "plugin/ZipEntryWalk.h"
#include "plugin/ZipHostStream.h"
#include "plugin/ZipStopGate.h"

// One cleaning request of the engine: walks every entry of the archive in
// the engine's stream, extracts the entries the engine wants into its
// temporary stream, has them scanned and carries out the verdicts (a cured
// entry is appended under its old name and its old copy deleted; a
// condemned entry is deleted), then writes the new central directory once.
//
// Whatever fails once the first byte has been written, the stream is left
// as an archive that opens and whose every listed entry reads back: either
// the original archive byte for byte (then Run answers 0), or an archive
// with a directory that describes what the stream holds (Run answers 3).
class CZipDecodeDriver : private CZipEntryWalk::Acts {
public:
    CZipDecodeDriver(VFStream* archiveStream, unsigned int baseLow, int baseHigh,
                     VFStream* temporaryStream, VFDecodeCallback* callback);
    CZipDecodeDriver(const CZipDecodeDriver&) = delete;
    CZipDecodeDriver& operator=(const CZipDecodeDriver&) = delete;

    // 3 when the archive was changed, 0 when it was not (or could not be
    // opened). Never throws.
    int Run();

private:
    // The walk's requests, carried out through the journal.
    void Cure(uint16_t index) override;
    void Condemn(uint16_t index) override;
    void CondemnUnlisted(const CZipEdit::Erasure& content) override;
    // False when the engine declines.
    bool AskPassword(const std::string& name) override;

    int Finish();

    VFStream* archiveHost;
    VFStream* temporaryHost;
    VFDecodeCallback* engine;
    CZipStopGate gate;
    CZipHostStream archiveStream;
    CZipHostStream temporaryStream;
    // Made afresh for every attempt to open; destroyed before the adapters.
    std::unique_ptr<CZipArchiveEx> archive;
    std::unique_ptr<CZipEntryExtractor> extractor;
    // The verdicts carried out on the archive.
    std::unique_ptr<CZipCleaningJournal> journal;

    // By directory index: where each listed entry's data was found to end
    // when read (0: not known).
    std::vector<uint64_t> dataEnds;
    // The stream has no usable directory: only local headers lead to entries.
    bool withoutDirectory = false;
};
