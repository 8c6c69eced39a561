#pragma once
// What a scan learns about one archive and its entries, shared by the
// callback that collects it, the scanner that drives the module and the
// reports that print it.
#include <cstdint>
#include <string>
#include <vector>

#include "plugin/ZipHost.h"

namespace zipscan {

// What a signature asks for when it matches.
enum class Action { Report, Delete, Cure };

const char* ActionName(Action action);

struct Finding {
    std::string signature;
    Action action = Action::Report;
    std::uint32_t matches = 0;
};

// What a pass over some content learnt besides the findings.
struct ContentFacts {
    static constexpr std::uint64_t kNone = ~std::uint64_t(0);
    std::uint64_t size = 0;                   // bytes read through
    std::uint32_t crc = 0;                    // their CRC-32
    std::uint64_t firstLocalHeader = kNone;   // where a local header signature first appears
    bool endSignature = false;                // an end record signature appears somewhere
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
    std::uint32_t crc = 0;         // CRC-32 of those bytes
    bool repeated = false;         // handed over again under a name already scanned
    // Judged against the module's listing once the walk is over: the
    // content under this name was handed over whole and verified (its
    // record's size and CRC-32), or why not. An entry with nothing to scan
    // (a folder, an empty file) is complete.
    bool complete = false;
    std::string incomplete;        // why its content was not fully scanned ("" when complete)
    bool listedOnly = false;       // a record the walk never offered or handed over
    bool fileBytes = false;        // not an entry: the file's own bytes, searched raw
    bool cp437 = false;            // its record has no UTF-8 flag: a name that is no
                                   // UTF-8 is shown in code page 437
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

    // File-level reasons that content was not fully scanned (the archive's
    // directory missing, so its end is not known), in the order met.
    std::vector<std::string> notes;
    bool scannedAtAll = false;     // the module was asked to walk it

    // What the summary counts and the whole-file options add.
    bool excluded = false;         // left out by --exclude and the like: not read
    std::uint64_t dataRead = 0;    // the file's length
    std::uint64_t dataScanned = 0; // bytes searched: the file's own and every hand-over
    // Heuristic findings about the file as a whole (Heuristics.Encrypted.Zip).
    std::vector<std::string> alerts;
    std::string fileAction;        // what --move, --copy or --remove did ("moved to '...'")

    std::size_t Found() const;     // entries with at least one finding
    std::size_t Unscanned() const; // entries not handed over at all (nothing to scan aside)
    std::size_t NotFullyScanned() const; // entries whose content was not fully scanned
    bool LimitFound() const { return limitsReported && !limits.empty(); }
    // A finding of any kind: a signature, a limit reported, an alert.
    bool Infected() const { return Found() > 0 || LimitFound() || !alerts.empty(); }
};

// Exit status of one file of a scan: 1 when anything was found (a finding
// beats an error and unscanned content); else 2 when content was not fully
// scanned or the file could not be read; 0 only when every byte of content
// was scanned as decoded content.
int ScanStatus(const FileResult& result);

// The given password at `index`, or an empty one (none in force).
std::string PasswordAt(const std::vector<std::string>& passwords, int index);

} // namespace zipscan
