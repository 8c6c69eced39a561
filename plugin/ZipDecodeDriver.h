#pragma once
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "archive/ZipUnlisted.h"
#include "decoders/ZipArchiveEx.h"
#include "plugin/VFInterfaces.h"
#include "plugin/ZipCleaningJournal.h"
#include "plugin/ZipEntryExtractor.h"
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
class CZipDecodeDriver {
public:
    CZipDecodeDriver(VFStream* archiveStream, unsigned int baseLow, int baseHigh,
                     VFStream* temporaryStream, VFDecodeCallback* callback);
    CZipDecodeDriver(const CZipDecodeDriver&) = delete;
    CZipDecodeDriver& operator=(const CZipDecodeDriver&) = delete;

    // 3 when the archive was changed, 0 when it was not (or could not be
    // opened). Never throws.
    int Run();

private:
    void Walk();
    // One entry's visit: what has been handed to the engine so far.
    struct EntryVisit {
        uint16_t index;
        std::string name;
        std::vector<std::pair<uint32_t, uint32_t>> handed;  // size and CRC of each content
        bool askedPassword;
        bool directory;
    };

    // False when the walk must stop (password declined).
    bool VisitEntry(uint16_t index, const CZipEntryHeader& header);
    enum Verdict { noVerdict, cureVerdict, deleteVerdict };

    // One reading of the entry being visited, as a header says.
    using Extract = std::function<CZipExtraction(const CZipEntryHeader&)>;
    // Extracts one reading, asking the engine for a password where the
    // entry needs one; `declined` when the engine gives none. An entry
    // flagged encrypted whose data turns out plain is read as it is.
    CZipExtraction ExtractWithPassword(EntryVisit& visit, bool& declined, const CZipEntryHeader& view,
                                       const Extract& extract);
    // The reading without decryption of an entry flagged encrypted, into
    // `plain`; true when its data is plainly not encrypted.
    bool ReadAsPlain(const CZipEntryHeader& view, const Extract& extract, CZipExtraction& plain);
    // A further reading of deflate data that zlib found damaged, read on
    // past the damage; an unopened one where there is nothing to read again.
    CZipExtraction ReadLeniently(const CZipExtraction& x, const CZipEntryHeader& view, const Extract& extract);
    // Hands a new content to the engine; its verdict (none for a content
    // already handed over).
    Verdict Scan(EntryVisit& visit, const CZipExtraction& x);
    // Scan, and carries out the verdict on a listed entry; true when the
    // entry was cured or condemned (nothing more to read of it).
    bool ScanAndAct(EntryVisit& visit, const CZipExtraction& x, bool cureAllowed);
    // Entries no central record lists, found by their local headers.
    void WalkUnlisted();
    // One such entry; false when the walk must stop.
    // `nextKnown` is the next entry's local header known behind it.
    bool HandUnlisted(const CZipUnlistedEntry& entry, uint64_t nextKnown);
    // The bytes behind a listed stored entry's declared size up to `until`,
    // as its second reading; false when the walk must stop.
    bool ReadStoredTail(const CZipUncoveredRange& range, uint64_t until);
    // Records where a listed entry's data was found to end.
    void NoteDataEnd(uint16_t index, const CZipEntryHeader& header, const CZipLocalRecord& local,
                     const CZipExtraction& x);
    // False when the engine declines.
    bool AskPassword(const std::string& name);
    int Finish();
    void CloseEntryQuietly();

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
    // Lenient readings left for damaged content no record lists.
    int unlistedLenientLeft = 16;
};
