#include "ArchiveScanner.h"

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <map>
#include <memory>

#include "ArchiveStart.h"
#include "Coverage.h"
#include "FileCopy.h"
#include "FileStream.h"
#include "TemporaryStream.h"
#include "Progress.h"
#include "WorkingCopy.h"
#include "plugin/ZipHost.h"

namespace zipscan {

namespace {

constexpr const char* kNotZip = "not a ZIP archive (or its central directory is damaged)";

std::vector<std::string> Names(const std::vector<EntryResult>& entries)
{
    std::vector<std::string> names;
    for (const EntryResult& e : entries) names.push_back(e.name);
    return names;
}

} // namespace

ArchiveScanner::ArchiveScanner(const Module& m, const SignatureSet& s, const ScanSettings& options,
                               ProgressLine* line)
    : module(m), signatures(s), settings(options), progress(line)
{
}

bool ArchiveScanner::RecogniseAt(FileStream& stream, std::uint64_t base) const
{
    // The engine hands over the first bytes it has already read.
    unsigned char first[16] = {};
    stream.ReadAt(base, first, sizeof first);
    return module.Recognise(&stream, base, first);
}

bool ArchiveScanner::Recognise(FileStream& stream, std::uint64_t& base, std::string& error,
                               const ContentFacts* raw, bool atBaseOnly) const
{
    std::int64_t length = stream.Length();
    if (length < 0) {
        error = std::strerror(errno);
        return false;
    }
    if (settings.offsetGiven && settings.offset > static_cast<std::uint64_t>(length)) {
        error = "offset " + std::to_string(settings.offset) + " lies past the end of the file (" +
                std::to_string(length) + " bytes)";
        return false;
    }
    base = settings.offset;
    if (RecogniseAt(stream, base)) return true;
    // Not an archive from the first byte: look where the module's reading
    // of its end record says it starts (a self-extractor's stub in front of
    // it), and at its first local header.
    if (!settings.offsetGiven && !atBaseOnly &&
        FindArchiveStart(stream, static_cast<std::uint64_t>(length), raw,
                         [&](std::uint64_t at) { return RecogniseAt(stream, at); }, base))
        return true;
    error = kNotZip;
    return false;
}

ArchiveScanner::Pass ArchiveScanner::Run(FileStream& archive, std::uint64_t base, const PassPlan& plan) const
{
    TemporaryStream temporary;
    PassPlan withModule = plan;
    withModule.module = &module;
    ScanCallback callback(signatures, settings.passwords, withModule, progress, temporary);
    Pass pass;
    pass.result = module.Decode(&archive, base, &temporary, &callback);
    pass.entries = callback.Entries();
    pass.verdicts = callback.Verdicts();
    pass.stopped = callback.StopRequested();
    pass.failure = callback.Failure();
    pass.limits = callback.LimitsReached();
    return pass;
}

void ArchiveScanner::NoteLimits(const Pass& pass, FileResult& result)
{
    for (const std::string& name : pass.limits)
        if (std::find(result.limits.begin(), result.limits.end(), name) == result.limits.end())
            result.limits.push_back(name);
}

void ArchiveScanner::ScanAll(FileStream& archive, FileResult& result) const
{
    // Every walk of the file draws on one budget.
    LimitBudget budget(settings.limits);
    const ZipHostListing listing = ZipListForHost(&archive, result.base);
    const ListingIndex index = IndexListing(listing);
    PassPlan plan;
    plan.stopAfterFirst = settings.stopAfterFirst;
    plan.budget = &budget;
    plan.listed = &index;
    Pass pass = Run(archive, result.base, plan);
    NoteLimits(pass, result);
    result.entries = pass.entries;
    result.stopped = pass.stopped;
    if (!pass.failure.empty()) result.error = pass.failure;

    // The module asks once per entry and tries the answer once. Entries that
    // no earlier answer opened are walked again with the next password, the
    // others are passed over.
    for (std::size_t p = 1; p < settings.passwords.size() && !result.stopped; ++p) {
        std::set<std::string> pending;
        for (const EntryResult& e : result.entries)
            if (!e.scanned && !e.directory && e.passwordAsked) pending.insert(e.name);
        if (pending.empty()) break;
        plan.only = &pending;
        plan.password = static_cast<int>(p);
        Pass retry = Run(archive, result.base, plan);
        NoteLimits(retry, result);
        result.stopped = retry.stopped;
        if (!retry.failure.empty()) result.error = retry.failure;
        for (const EntryResult& e : retry.entries) {
            if (!e.scanned || pending.count(e.name) == 0) continue;
            for (EntryResult& r : result.entries) {
                if (r.name == e.name && !r.scanned && r.passwordAsked) {
                    r.scanned = true;
                    r.size = e.size;
                    r.received = e.received;
                    r.crc = e.crc;
                    r.findings = e.findings;
                    r.password = e.password;
                    r.limit = e.limit;
                    break;
                }
            }
        }
    }
    if (ScanCallback::interrupted.load()) result.error = "interrupted";
    result.directoryReason = listing.reason;
    result.directoryReasonOffset = listing.reasonOffset;
    WalkEnd end;
    end.stopped = result.stopped;
    end.limits = result.limits;
    end.passwordsGiven = !settings.passwords.empty();
    end.checkAes = [&](const ZipHostEntry& r, int password) {
        return ZipCheckAesCode(&archive, r, PasswordAt(settings.passwords, password));
    };
    JudgeWalk(listing, [&] { return ZipLocalEntriesForHost(&archive, result.base); }, end, result.entries, result.notes);
}

void ArchiveScanner::SearchFileBytes(const ContentFacts& facts, const std::vector<Finding>& found, FileResult& result)
{
    // A payload in a comment, an extra field or behind the end record is in
    // no entry: it is found in the file's own bytes. What an entry's
    // content shows already is not repeated.
    EntryResult raw;
    raw.fileBytes = true;
    raw.complete = true;
    raw.received = facts.size;
    raw.size = facts.size;
    for (const Finding& f : found) {
        bool inEntry = false;
        for (const EntryResult& e : result.entries)
            for (const Finding& g : e.findings) inEntry = inEntry || g.signature == f.signature;
        if (!inEntry) raw.findings.push_back(f);
    }
    if (!raw.findings.empty()) result.entries.push_back(raw);
}

bool ArchiveScanner::Verify(FileStream& copy, std::uint64_t base, const std::vector<std::string>& before,
                            const Pass& cleaning, const std::map<std::string, int>& passwordFor, std::string& error) const
{
    const std::string leftAlone = "; the archive is left unchanged";
    if (!RecogniseAt(copy, base)) {
        error = "the cleaned archive does not open" + leftAlone;
        return false;
    }
    // The entries afterwards must be the ones before less the deleted ones;
    // a cured entry comes back under its old name.
    std::multiset<std::string> expected(before.begin(), before.end());
    std::set<std::string> cured;
    for (std::size_t i = 0; i < cleaning.entries.size(); ++i) {
        if (cleaning.verdicts[i] == VF_VERDICT_DELETE) {
            auto it = expected.find(cleaning.entries[i].name);
            if (it != expected.end()) expected.erase(it);
        } else if (cleaning.verdicts[i] == VF_VERDICT_CURED) {
            cured.insert(cleaning.entries[i].name);
        }
    }
    PassPlan listing;
    listing.extract = false;
    std::vector<std::string> after = Names(Run(copy, base, listing).entries);
    if (std::multiset<std::string>(after.begin(), after.end()) != expected) {
        error = "the cleaned archive does not hold the expected entries" + leftAlone;
        return false;
    }
    if (cured.empty()) return true;
    PassPlan recheck;
    recheck.only = &cured;
    recheck.passwordFor = &passwordFor;
    Pass check = Run(copy, base, recheck);
    for (const EntryResult& e : check.entries) {
        if (cured.count(e.name) == 0) continue;
        if (!e.scanned || e.Condemned()) {
            error = "a cured entry did not come back clean" + leftAlone;
            return false;
        }
    }
    return true;
}

void ArchiveScanner::Clean(int dirFd, const std::string& name, FileStream& original, FileResult& result) const
{
    std::set<std::string> condemned;
    std::map<std::string, int> passwordFor;
    for (const EntryResult& e : result.entries) {
        if (e.depth > 0) continue; // cleaned with the entry that holds it
        if (e.scanned && e.Condemned()) condemned.insert(e.name);
        if (e.scanned && e.password >= 0) passwordFor.emplace(e.name, e.password);
    }
    if (condemned.empty()) return;

    std::string self = "/proc/self/fd/" + std::to_string(original.Descriptor());
    if (::access(self.c_str(), W_OK) != 0) {
        result.error = "cannot clean: " + std::string(std::strerror(errno));
        return;
    }
    PassPlan listing;
    listing.extract = false;
    std::vector<std::string> before = Names(Run(original, result.base, listing).entries);

    // The copy takes what the file takes on disk (holes stay holes); a
    // rewrite in place keeps at most as much again in its journal.
    const std::uint64_t needed = AllocatedBytes(original.Descriptor());
    if (settings.maxCleanSize != 0 && needed > settings.maxCleanSize) {
        result.error = "cannot clean: the working copy would take " + std::to_string(needed) +
                       " bytes on disk, more than --max-cleansize (" + std::to_string(settings.maxCleanSize) +
                       "); the archive is left unchanged";
        return;
    }
    std::string error;
    std::unique_ptr<WorkingCopy> copy = WorkingCopy::Make(dirFd, name, original.Descriptor(), error);
    if (!copy) {
        result.error = error;
        return;
    }
    FileStream stream(copy->TakeDescriptor(), true);

    // The module encrypts a cured entry with whatever password it holds at
    // that moment, so the entries are cleaned in groups: first those that
    // need no password (the module is offered none, so a cured plain entry
    // stays plain), then those of each password in turn (a cured encrypted
    // entry keeps its own password).
    std::set<std::string> remaining = condemned;
    std::set<int> groupsDone;
    int group = -1;
    Pass cleaning;
    // Cleaning walks take only the entries the scan condemned, within a
    // budget of their own.
    LimitBudget budget(settings.limits);
    bool changed = false;
    std::map<std::string, int> nestedVerdicts; // entries of archives within entries, by path
    while (!remaining.empty()) {
        PassPlan plan;
        plan.clean = true;
        plan.only = &remaining;
        plan.password = group;
        plan.budget = &budget;
        Pass pass = Run(stream, result.base, plan);
        if (ScanCallback::interrupted.load()) {
            result.error = "interrupted; the archive is left unchanged";
            return;
        }
        if (!pass.failure.empty()) {
            result.error = pass.failure + "; the archive is left unchanged";
            return;
        }
        changed = changed || pass.result == VF_VERDICT_CURED;
        // An entry counts as handled only with a verdict: one that reads
        // without a finding now (a wrong password can slip past the check
        // byte and yield other bytes) is tried again with the next group.
        for (std::size_t i = 0; i < pass.entries.size(); ++i) {
            int verdict = pass.verdicts[i];
            if (verdict != VF_VERDICT_CURED && verdict != VF_VERDICT_DELETE) continue;
            if (pass.entries[i].depth > 0) {
                nestedVerdicts[pass.entries[i].name] = verdict;
                continue;
            }
            remaining.erase(pass.entries[i].name);
            cleaning.entries.push_back(pass.entries[i]);
            cleaning.verdicts.push_back(pass.verdicts[i]);
        }
        groupsDone.insert(group);
        group = -2;
        for (const std::string& name : remaining) {
            auto it = passwordFor.find(name);
            if (it != passwordFor.end() && groupsDone.count(it->second) == 0) {
                group = it->second;
                break;
            }
        }
        if (group == -2) break;
    }
    if (!remaining.empty()) {
        result.error = "the module did not clean every entry that needs it; the archive is left unchanged";
        return;
    }
    if (!changed) {
        result.error = "the module did not clean the archive; it is left unchanged";
        return;
    }
    if (!Verify(stream, result.base, before, cleaning, passwordFor, error)) {
        result.error = error;
        return;
    }
    if (!stream.Sync()) {
        result.error = "cannot write the cleaned archive: " + std::string(std::strerror(errno));
        return;
    }
    if (!copy->Commit(stream.Descriptor(), error)) {
        result.error = error;
        return;
    }
    result.changed = true;
    result.inPlace = copy->InPlace();
    for (std::size_t i = 0; i < cleaning.entries.size(); ++i) {
        int verdict = cleaning.verdicts[i];
        if (verdict != VF_VERDICT_DELETE && verdict != VF_VERDICT_CURED) continue;
        for (EntryResult& e : result.entries) {
            if (e.depth == 0 && e.name == cleaning.entries[i].name && e.Condemned() && e.taken == Taken::Nothing) {
                e.taken = verdict == VF_VERDICT_DELETE ? Taken::Deleted : Taken::Cured;
                break;
            }
        }
    }
    // An entry within an archive went with it, or was cleaned inside it.
    std::map<std::string, Taken> containers;
    for (const EntryResult& e : result.entries)
        if (e.depth == 0) containers[e.name] = e.taken;
    for (EntryResult& e : result.entries) {
        if (e.depth == 0 || !e.scanned || e.Wanted() == Action::Report) continue;
        Taken outer = containers[e.container];
        auto it = nestedVerdicts.find(e.name);
        if (outer == Taken::Deleted)
            e.taken = Taken::Deleted;
        else if (outer == Taken::Cured && it != nestedVerdicts.end())
            e.taken = it->second == VF_VERDICT_DELETE ? Taken::Deleted : Taken::Cured;
    }
}

FileResult ArchiveScanner::Check(const std::string& path) const
{
    FileResult result;
    result.path = path;
    std::string error;
    int fd = FileStream::OpenFile(path, settings.followLinks, error);
    if (fd < 0) {
        result.error = error;
        return result;
    }
    FileStream stream(fd, false);
    result.recognised = Recognise(stream, result.base, error);
    // Not being a ZIP archive is the answer to the question, not a failure.
    if (!result.recognised && error != kNotZip) result.error = error;
    return result;
}

FileResult ArchiveScanner::Scan(const std::string& path, std::size_t walkedFrom) const
{
    FileResult result;
    result.path = path;
    result.limitsReported = settings.limits.report;
    if (ScanCallback::interrupted.load()) {
        result.error = "interrupted";
        return result;
    }
    std::string error;
    // Cleaning replaces the file, and --move, --copy and --remove take it,
    // relative to the directory that held it when it was opened.
    const bool whole = settings.action != FileAction::None;
    int dirFd = -1;
    std::string name;
    int fd = FileStream::OpenFile(path, settings.followLinks, error, settings.clean || whole ? &dirFd : nullptr,
                                  &name, walkedFrom);
    if (fd < 0) {
        result.error = error;
        return result;
    }
    std::unique_ptr<int, void (*)(int*)> dirHolder(&dirFd, [](int* d) {
        if (*d >= 0) ::close(*d);
    });
    // Without cleaning the module gets a stream that refuses every write;
    // cleaning happens on a separate copy.
    FileStream stream(fd, false);
    ScanOpened(stream, dirFd, name, result);
    if (whole && ScanStatus(result) == 1 && !ScanCallback::interrupted.load()) {
        if (!ApplyFileAction(settings.action, settings.target, dirFd, name, stream.Descriptor(), result.fileAction,
                             error))
            result.error = error;
    }
    return result;
}

FileResult ArchiveScanner::ScanUnnamed(int fd, const std::string& shownAs) const
{
    FileResult result;
    result.path = shownAs;
    result.limitsReported = settings.limits.report;
    FileStream stream(fd, false);
    ScanOpened(stream, -1, std::string(), result);
    if ((settings.clean || settings.action != FileAction::None) && result.error.empty() && result.scannedAtAll)
        result.error = settings.clean ? "standard input is scanned, never cleaned"
                                      : "standard input is scanned, never moved, copied or removed";
    return result;
}

void ArchiveScanner::ScanOpened(FileStream& stream, int dirFd, const std::string& name, FileResult& result) const
{
    std::string error;
    if (progress) progress->FileStarted(result.path);
    const std::int64_t length = stream.Length();
    result.dataRead = length > 0 ? static_cast<std::uint64_t>(length) : 0;
    // The file's own bytes are searched once, as an engine scans every file
    // raw before its archive module walks it.
    SignatureSet::Search search(signatures);
    ContentFacts raw;
    std::vector<Finding> rawFindings;
    bool searched = false;
    auto searchFile = [&]() {
        searched = true;
        if (search.Scan(stream, rawFindings, &raw)) return true;
        result.error = std::string("cannot read the file: ") + std::strerror(errno);
        return false;
    };
    result.recognised = Recognise(stream, result.base, error, nullptr, true);
    // Where the file is no archive from its first byte, its bytes are
    // searched first: where the archive starts is then chosen between its
    // end record's reading and its first local header.
    if (!result.recognised && error == kNotZip && !settings.offsetGiven) {
        if (!searchFile()) return;
        result.dataScanned = raw.size;
        result.recognised = Recognise(stream, result.base, error, &raw);
    }
    if (!result.recognised) {
        result.error = error;
        result.notArchive = error == kNotZip;
        return;
    }
    if (!searched && !searchFile()) return;
    result.scannedAtAll = true;
    ScanAll(stream, result);
    result.dataScanned = raw.size;
    for (const EntryResult& e : result.entries) result.dataScanned += e.received;
    SearchFileBytes(raw, rawFindings, result);
    // clamscan's --alert-encrypted: content that stays locked is a finding.
    if (settings.alertEncrypted) {
        for (const EntryResult& e : result.entries) {
            if (e.passwordAsked && !e.scanned && !e.directory) {
                result.alerts.push_back("Heuristics.Encrypted.Zip");
                break;
            }
        }
    }
    if (settings.clean && result.error.empty() && dirFd >= 0) Clean(dirFd, name, stream, result);
    if (stream.Writes() > 0 && result.error.empty())
        result.error = "the module tried to write to the archive opened read-only";
}

} // namespace zipscan
