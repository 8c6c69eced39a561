#pragma once
// Scans or cleans one archive file by driving the module as an engine
// would: recognise it, then walk it with ZipArchive_Decode.
#include <cstdint>
#include <string>
#include <vector>

#include "FileAction.h"
#include "Limits.h"
#include "Module.h"
#include "ScanCallback.h"
#include "ScanTypes.h"
#include "Signatures.h"

namespace zipscan {

class FileStream;
class ProgressLine;

struct ScanSettings {
    bool clean = false;
    bool stopAfterFirst = false;
    std::uint64_t offset = 0;                 // where the archive starts in the file
    bool offsetGiven = false;                 // else found from the archive's end record
    bool followLinks = false;                 // open a symbolic link given as the file
    std::vector<std::string> passwords;       // offered in this order
    Limits limits;
    std::uint64_t maxCleanSize = 0;           // bytes a working copy may take on disk; 0: no bound
    bool alertEncrypted = false;              // an entry no password opens is a finding
    FileAction action = FileAction::None;     // what becomes of a file with a finding
    const ActionTarget* target = nullptr;     // where --move and --copy put it
};

class ArchiveScanner {
public:
    ArchiveScanner(const Module& module, const SignatureSet& signatures, const ScanSettings& settings,
                   ProgressLine* progress);

    FileResult Check(const std::string& path) const;
    // walkedFrom: see FileStream::OpenFile.
    FileResult Scan(const std::string& path, std::size_t walkedFrom = std::string::npos) const;
    // Scans a file open as fd (taken over) that no name leads to, such as
    // spooled standard input, reported as shownAs; it is never changed.
    FileResult ScanUnnamed(int fd, const std::string& shownAs) const;

private:
    struct Pass {
        int result = 0;
        std::vector<EntryResult> entries;
        std::vector<int> verdicts;
        bool stopped = false;
        std::string failure;
        std::vector<std::string> limits;
    };

    // raw: what the search of the file's own bytes learnt (its first local
    // header), when it was searched; atBaseOnly: only where the settings
    // say the archive starts.
    bool Recognise(FileStream& stream, std::uint64_t& base, std::string& error,
                   const ContentFacts* raw = nullptr, bool atBaseOnly = false) const;
    // Adds the findings of the file's own bytes that no entry shows.
    static void SearchFileBytes(const ContentFacts& facts, const std::vector<Finding>& found, FileResult& result);
    bool RecogniseAt(FileStream& stream, std::uint64_t base) const;
    Pass Run(FileStream& archive, std::uint64_t base, const PassPlan& plan) const;
    void ScanAll(FileStream& archive, FileResult& result) const;
    static void NoteLimits(const Pass& pass, FileResult& result);
    // Scans (and cleans, with dirFd and name) the file open in stream.
    void ScanOpened(FileStream& stream, int dirFd, const std::string& name, FileResult& result) const;
    void Clean(int dirFd, const std::string& name, FileStream& original, FileResult& result) const;
    bool Verify(FileStream& copy, std::uint64_t base, const std::vector<std::string>& before,
                const Pass& cleaning, const std::map<std::string, int>& passwordFor, std::string& error) const;

    const Module& module;
    const SignatureSet& signatures;
    ScanSettings settings;
    ProgressLine* progress;
};

} // namespace zipscan
