#pragma once
// The engine side of one decode call: chooses entries, searches every
// extracted entry for signatures, gives verdicts and answers the module's
// password questions. It records what it saw, entry by entry, in the order
// the module walked them.
#include <atomic>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "Coverage.h"
#include "Limits.h"
#include "ScanTypes.h"
#include "Signatures.h"
#include "plugin/ZipHost.h"

namespace zipscan {

class Module;
class ProgressLine;
class TemporaryStream;

struct PassPlan {
    bool extract = true;          // false: only learn the names, extract nothing
    bool clean = false;           // answer cure and delete verdicts (else leave every entry)
    bool stopAfterFirst = false;  // ask the module to stop once something is found
    const std::set<std::string>* only = nullptr;     // entries to extract (all when null)
    int password = 0;                                 // index of the password to offer
    const std::map<std::string, int>* passwordFor = nullptr; // per entry, overrides password
    LimitBudget* budget = nullptr;    // the file's limits (none when null)
    const Module* module = nullptr;   // opens archives found in entries (none when null)
    std::uint64_t depth = 0;          // archives this walk lies within
    const ListingIndex* listed = nullptr; // the archive's records by name (none when null)
};

class ScanCallback final : public VFDecodeCallback {
public:
    // temporary: the stream the module is given, whose cap enforces the
    // size limits.
    ScanCallback(const SignatureSet& signatures, const std::vector<std::string>& passwords,
                 const PassPlan& plan, ProgressLine* progress, TemporaryStream& temporary);

    int VF_CALL IsStopRequested() override;
    int VF_CALL WantEntry(const char* name) override;
    int VF_CALL ScanEntry(VFStream* archive, const char* name, VFStream* temporary,
                          unsigned long long* uncompressedSize, int reserved1, int reserved2) override;
    int VF_CALL QueryPassword(const char* name, char* buffer, int* bufferSize) override;

    // Every entry the module offered, in walk order.
    const std::vector<EntryResult>& Entries() const { return entries; }
    // Verdicts handed out, by entry position in Entries().
    const std::vector<int>& Verdicts() const { return verdicts; }
    bool StopRequested() const { return stopRequested; }
    // Something was found, or a reported limit reached.
    bool Found() const { return found; }
    // A temporary stream that could not be read or rewritten.
    const std::string& Failure() const { return failure; }
    // The limits reached, in the order reached.
    const std::vector<std::string>& LimitsReached() const { return limitsReached; }
    // Reasons that content of archives within entries was not fully scanned.
    const std::vector<std::string>& Notes() const { return notes; }

    // Set from a signal handler: every running walk is asked to stop.
    static std::atomic<bool> interrupted;

private:
    EntryResult* Current(const char* name);
    // Notes a limit reached, on the entry it affected when there is one.
    void Reached(Limit limit, EntryResult* entry);
    void Reached(const std::string& name);

    // What became of an archive found in an entry.
    enum class Nested { None, Clean, Cleaned, Failed };
    // Walks the archive an entry holds, when it is one, with a callback of
    // its own; its entries are added after the entry, named by their path.
    Nested ScanNested(VFStream& content, std::size_t at, const ContentFacts& facts);
    // Where the archive an entry holds starts in it, as for a file: at its
    // first byte, where its end record's arithmetic puts it (a stub in
    // front), or at its first local header. False when it holds none.
    bool FindArchive(VFStream& content, const ContentFacts& facts, std::uint64_t& base) const;
    bool RecogniseAt(VFStream& content, std::uint64_t base) const;

    const SignatureSet& signatures;
    SignatureSet::Search search;
    const std::vector<std::string>& passwords;
    PassPlan plan;
    ProgressLine* progress;
    TemporaryStream& temporary;
    std::vector<EntryResult> entries;
    std::vector<int> verdicts;
    std::size_t top = 0;      // the entry offered last (nested ones follow it)
    int inForce = -1; // the password the module holds, by index
    bool found = false;
    bool lastWanted = false;  // the last entry offered was taken
    bool stopRequested = false;
    std::string failure;
    std::vector<std::string> limitsReached;
    std::vector<std::string> notes;
    std::string stopLimit;  // the limit that asked the module to stop
};

} // namespace zipscan
