#pragma once
#include <cstdint>
#include <vector>

#include "archive/ZipEdit.h"
#include "storage/ZipBuffer.h"

class CZipArchiveEx;
class CZipEntryHeader;
class CZipStream;

// The engine's verdicts on one archive, turned into the changes of an edit
// (see CZipEdit): a cure of a listed entry replaces it with the cured
// content, a condemned listed entry is deleted, condemned content that no
// central record lists is erased where it lies. At the end the edit is
// carried out, with this module's readings of every listed entry to tell
// whether an erasure changed what a kept entry reads.
class CZipCleaningJournal {
public:
    explicit CZipCleaningJournal(CZipArchiveEx& archive);
    CZipCleaningJournal(const CZipCleaningJournal&) = delete;
    CZipCleaningJournal& operator=(const CZipCleaningJournal&) = delete;

    // The entry's whole content was cured into `cured`.
    void Cure(uint16_t index, CZipStream& cured) { edit.Replace(index, cured); }
    void Condemn(uint16_t index) { edit.Delete(index); }
    void CondemnUnlisted(const CZipEdit::Erasure& content) { edit.Erase(content); }

    // Carries the verdicts out; `dataEnds`, by directory index, are where
    // each listed entry's data was found to end (0: not known). True when
    // the archive changed.
    bool Finish(const std::vector<uint64_t>& dataEnds);
    // Whether the stream was written to so far.
    bool Touched() const { return edit.Touched(); }

private:
    // The ways the walk reads a listed entry: as its central record says,
    // as its local header says, and its bytes as stored.
    std::vector<CZipEdit::Reading> ReadingsOf(uint16_t index);
    CZipEdit::Reading ReadOnce(uint16_t index, const CZipEntryHeader& view);

    CZipArchiveEx& archive;
    CZipEdit edit;
    CZipBuffer buffer;
};
