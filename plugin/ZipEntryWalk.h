#pragma once
#include <cstdint>
#include <functional>
#include <string>
#include <utility>
#include <vector>

#include "archive/ZipEdit.h"
#include "archive/ZipUnlisted.h"
#include "decoders/ZipArchiveEx.h"
#include "decoders/ZipReadings.h"
#include "plugin/VFInterfaces.h"
#include "plugin/ZipEntryExtractor.h"
#include "plugin/ZipHostStream.h"
#include "plugin/ZipStopGate.h"

// The cleaning request's walk: hands every entry of the archive to the
// engine in each way the reading table (decoders/ZipReadings.h) says it
// can be read, the listed entries first, then the content no central
// record lists; what the engine decides goes to the owner's Acts.
class CZipEntryWalk {
public:
    // What the walk asks of the one carrying out the verdicts.
    struct Acts {
        virtual ~Acts() = default;
        // A listed entry cured: the temporary stream holds its cured content.
        virtual void Cure(uint16_t index) = 0;
        // A listed entry to delete.
        virtual void Condemn(uint16_t index) = 0;
        // Condemned content that no central record lists, to erase where it lies.
        virtual void CondemnUnlisted(const CZipEdit::Erasure& content) = 0;
        // False when the engine declines.
        virtual bool AskPassword(const std::string& name) = 0;
    };

    struct Setup {
        CZipArchiveEx& archive;
        CZipEntryExtractor& extractor;
        CZipHostStream& archiveStream;
        VFStream* archiveHost;
        VFStream* temporaryHost;
        VFDecodeCallback* engine;
        CZipStopGate& gate;
        // The stream has no usable directory: only local headers lead to entries.
        bool withoutDirectory;
    };

    CZipEntryWalk(const Setup& setup, Acts& acts, std::vector<uint64_t>& dataEnds);
    CZipEntryWalk(const CZipEntryWalk&) = delete;
    CZipEntryWalk& operator=(const CZipEntryWalk&) = delete;

    void Walk();

private:
    // One entry's visit: what has been handed to the engine so far.
    struct EntryVisit {
        uint16_t index;
        std::string name;
        std::vector<std::pair<uint32_t, uint32_t>> handed;  // size and CRC of each content
        bool askedPassword;
        bool directory;
    };
    enum Verdict { noVerdict, cureVerdict, deleteVerdict };
    // One reading of the entry being visited, as a header says.
    using Extract = std::function<CZipExtraction(const CZipEntryHeader&)>;

    // False when the walk must stop (password declined).
    bool VisitEntry(uint16_t index, const CZipEntryHeader& header);
    // Takes one row's reading; `declined` when the engine gives no password.
    CZipExtraction Read(const ZipReadingRow& row, const ZipReadingState& s, EntryVisit& visit, bool& declined,
                        const Extract& extract);
    // Extracts one reading, asking the engine for a password where the
    // entry needs one; `declined` when the engine gives none. An entry
    // flagged encrypted whose data turns out plain is read as it is.
    CZipExtraction ExtractWithPassword(EntryVisit& visit, bool& declined, const CZipEntryHeader& view,
                                       const Extract& extract);
    // The reading without decryption of an entry flagged encrypted, into
    // `plain`; true when its data is plainly not encrypted.
    bool ReadAsPlain(const CZipEntryHeader& view, const Extract& extract, CZipExtraction& plain);
    // A reading with deflate read on past damage.
    CZipExtraction ReadLeniently(const CZipEntryHeader& view, const Extract& extract);
    // Hands a new content to the engine; its verdict (none for a content
    // already handed over).
    Verdict Scan(EntryVisit& visit, const CZipExtraction& x);
    // Scan, and carries out the verdict on a listed entry; true when the
    // entry was cured or condemned (nothing more to read of it).
    bool ScanAndAct(EntryVisit& visit, const CZipExtraction& x, bool cureAllowed);
    // Entries no central record lists, found by their local headers.
    void WalkUnlisted();
    // One such entry, found as `found` says; false when the walk must stop.
    // `nextKnown` is the next entry's local header known behind it.
    bool HandUnlisted(const CZipUnlistedEntry& entry, uint64_t nextKnown, ZipReadingKind found);
    // The bytes behind a listed stored entry's declared size up to `until`,
    // as its second reading; false when the walk must stop.
    bool ReadStoredTail(const CZipUncoveredRange& range, uint64_t until);
    // Records where a listed entry's data was found to end.
    void NoteDataEnd(uint16_t index, const CZipEntryHeader& header, const CZipLocalRecord& local,
                     const CZipExtraction& x);
    // False when the engine asked to stop.
    bool GoOn();
    void CloseEntryQuietly();

    CZipArchiveEx& archive;
    CZipEntryExtractor& extractor;
    CZipHostStream& archiveStream;
    VFStream* archiveHost;
    VFStream* temporaryHost;
    VFDecodeCallback* engine;
    CZipStopGate& gate;
    const bool withoutDirectory;
    Acts& acts;
    // By directory index: where each listed entry's data was found to end
    // when read (0: not known).
    std::vector<uint64_t>& dataEnds;
    // Lenient readings left for damaged content no record lists.
    int unlistedLenientLeft = 16;
};
