#pragma once
// What a scan learns about one archive and its entries, shared by the
// callback that collects it, the scanner that drives the module and the
// reports that print it.
#include <cstdint>
#include <string>
#include <vector>

#include "errors/ZipErrorReason.h"

namespace zipscan {

// What a signature asks for when it matches.
enum class Action { Report, Delete, Cure };

const char* ActionName(Action action);

struct Finding {
    std::string signature;
    Action action = Action::Report;
    std::uint32_t matches = 0;
};

// What was done to an entry in the end.
enum class Taken { Nothing, Deleted, Cured };

struct EntryResult {
    std::string name;
    bool directory = false;
    bool scanned = false;          // the module extracted it and it was searched
    bool passwordAsked = false;    // the module asked for a password for it
    int password = -1;             // index of the password in force when it was scanned
    std::uint64_t size = 0;        // uncompressed size as the module reported it
    std::uint64_t received = 0;    // bytes the module handed over for it
    bool repeated = false;         // handed over again under a name already scanned
    std::string incomplete;        // why what was scanned is not the whole entry
    std::vector<Finding> findings;
    Taken taken = Taken::Nothing;
    std::string limit;             // the limit that cut it short or kept it from being scanned
    int depth = 0;                 // archives it lies within, below the file's own (0: an entry of the file)
    std::string container;         // for a nested entry: the entry of the file that holds it
    bool nestedCondemned = false;  // an archive holding an entry that asks for deletion or cure

    // The strongest action any finding asks for (Report when none does).
    Action Wanted() const;
    bool Condemned() const { return Wanted() != Action::Report || nestedCondemned; }
};

struct FileResult {
    std::string path;
    std::string error;             // one-line reason the file could not be handled
    bool recognised = false;       // the module took it for a ZIP archive
    bool notArchive = false;       // the error is only that it is no ZIP archive
    bool stopped = false;          // the walk ended on a stop request
    bool changed = false;          // the cleaned archive replaced the original
    std::uint64_t base = 0;        // where the archive starts in the file
    bool inPlace = false;          // ... written into the file itself (it has several hard links)
    std::vector<EntryResult> entries;
    std::vector<std::string> limits; // names of the limits reached, in the order reached
    bool limitsReported = true;      // reaching a limit counts as a finding
    // Why the archive's own listing is missing or incomplete, and where: the
    // module reports only codes, so this is zipscan's reading of the file.
    ZipReason directoryReason = ZipReason::none;
    std::uint64_t directoryReasonOffset = kZipNoOffset;

    std::size_t Found() const;     // entries with at least one finding
    std::size_t Unscanned() const; // files the module could not extract (limits aside)
    bool LimitFound() const { return limitsReported && !limits.empty(); }
};

// Exit status of one file of a scan: 2 error, 1 something found, 0 clean.
int ScanStatus(const FileResult& result);

} // namespace zipscan
