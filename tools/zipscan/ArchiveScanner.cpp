#include "ArchiveScanner.h"

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <map>
#include <memory>

#include "FileStream.h"
#include "TemporaryStream.h"
#include "Progress.h"
#include "WorkingCopy.h"

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

bool ArchiveScanner::Recognise(FileStream& stream, std::string& error) const
{
    std::int64_t length = stream.Length();
    if (length < 0) {
        error = std::strerror(errno);
        return false;
    }
    if (settings.offset > static_cast<std::uint64_t>(length)) {
        error = "offset " + std::to_string(settings.offset) + " lies past the end of the file (" +
                std::to_string(length) + " bytes)";
        return false;
    }
    // The engine hands over the first bytes it has already read.
    unsigned char first[16] = {};
    stream.ReadAt(settings.offset, first, sizeof first);
    if (!module.Recognise(&stream, settings.offset, first)) {
        error = kNotZip;
        return false;
    }
    return true;
}

ArchiveScanner::Pass ArchiveScanner::Run(FileStream& archive, const PassPlan& plan) const
{
    TemporaryStream temporary;
    ScanCallback callback(signatures, settings.passwords, plan, progress, temporary);
    Pass pass;
    pass.result = module.Decode(&archive, settings.offset, &temporary, &callback);
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
    PassPlan plan;
    plan.stopAfterFirst = settings.stopAfterFirst;
    plan.budget = &budget;
    Pass pass = Run(archive, plan);
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
        Pass retry = Run(archive, plan);
        NoteLimits(retry, result);
        result.stopped = retry.stopped;
        if (!retry.failure.empty()) result.error = retry.failure;
        for (const EntryResult& e : retry.entries) {
            if (!e.scanned || pending.count(e.name) == 0) continue;
            for (EntryResult& r : result.entries) {
                if (r.name == e.name && !r.scanned && r.passwordAsked) {
                    r.scanned = true;
                    r.size = e.size;
                    r.findings = e.findings;
                    r.password = e.password;
                    r.limit = e.limit;
                    break;
                }
            }
        }
    }
    if (ScanCallback::interrupted.load()) result.error = "interrupted";
}

bool ArchiveScanner::Verify(FileStream& copy, const std::vector<std::string>& before, const Pass& cleaning,
                            const std::map<std::string, int>& passwordFor, std::string& error) const
{
    const std::string leftAlone = "; the archive is left unchanged";
    std::string why;
    if (!Recognise(copy, why)) {
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
    std::vector<std::string> after = Names(Run(copy, listing).entries);
    if (std::multiset<std::string>(after.begin(), after.end()) != expected) {
        error = "the cleaned archive does not hold the expected entries" + leftAlone;
        return false;
    }
    if (cured.empty()) return true;
    PassPlan recheck;
    recheck.only = &cured;
    recheck.passwordFor = &passwordFor;
    Pass check = Run(copy, recheck);
    for (const EntryResult& e : check.entries) {
        if (cured.count(e.name) == 0) continue;
        if (!e.scanned || e.Condemned()) {
            error = "a cured entry did not come back clean" + leftAlone;
            return false;
        }
    }
    return true;
}

void ArchiveScanner::Clean(const std::string& path, FileStream& original, FileResult& result) const
{
    std::set<std::string> condemned;
    std::map<std::string, int> passwordFor;
    for (const EntryResult& e : result.entries) {
        if (e.scanned && e.Condemned()) condemned.insert(e.name);
        if (e.scanned && e.password >= 0) passwordFor.emplace(e.name, e.password);
    }
    if (condemned.empty()) return;

    if (::access(path.c_str(), W_OK) != 0) {
        result.error = "cannot clean: " + std::string(std::strerror(errno));
        return;
    }
    // Replace the file itself, not a symbolic link that leads to it.
    char real[PATH_MAX];
    if (!::realpath(path.c_str(), real)) {
        result.error = "cannot clean: " + std::string(std::strerror(errno));
        return;
    }
    PassPlan listing;
    listing.extract = false;
    std::vector<std::string> before = Names(Run(original, listing).entries);

    std::string error;
    std::unique_ptr<WorkingCopy> copy = WorkingCopy::Make(real, original.Descriptor(), error);
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
    while (!remaining.empty()) {
        PassPlan plan;
        plan.clean = true;
        plan.only = &remaining;
        plan.password = group;
        plan.budget = &budget;
        Pass pass = Run(stream, plan);
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
    if (!Verify(stream, before, cleaning, passwordFor, error)) {
        result.error = error;
        return;
    }
    if (!stream.Sync()) {
        result.error = "cannot write the cleaned archive: " + std::string(std::strerror(errno));
        return;
    }
    if (!copy->Commit(error)) {
        result.error = error;
        return;
    }
    result.changed = true;
    for (std::size_t i = 0; i < cleaning.entries.size(); ++i) {
        int verdict = cleaning.verdicts[i];
        if (verdict != VF_VERDICT_DELETE && verdict != VF_VERDICT_CURED) continue;
        for (EntryResult& e : result.entries) {
            if (e.name == cleaning.entries[i].name && e.Condemned() && e.taken == Taken::Nothing) {
                e.taken = verdict == VF_VERDICT_DELETE ? Taken::Deleted : Taken::Cured;
                break;
            }
        }
    }
}

FileResult ArchiveScanner::Check(const std::string& path) const
{
    FileResult result;
    result.path = path;
    std::string error;
    int fd = FileStream::OpenFile(path, false, error);
    if (fd < 0) {
        result.error = error;
        return result;
    }
    FileStream stream(fd, false);
    result.recognised = Recognise(stream, error);
    // Not being a ZIP archive is the answer to the question, not a failure.
    if (!result.recognised && error != kNotZip) result.error = error;
    return result;
}

FileResult ArchiveScanner::Scan(const std::string& path) const
{
    FileResult result;
    result.path = path;
    result.limitsReported = settings.limits.report;
    if (ScanCallback::interrupted.load()) {
        result.error = "interrupted";
        return result;
    }
    std::string error;
    int fd = FileStream::OpenFile(path, false, error);
    if (fd < 0) {
        result.error = error;
        return result;
    }
    // Without cleaning the module gets a stream that refuses every write;
    // cleaning happens on a separate copy.
    FileStream stream(fd, false);
    if (progress) progress->FileStarted(path);
    result.recognised = Recognise(stream, error);
    if (!result.recognised) {
        result.error = error;
        return result;
    }
    ScanAll(stream, result);
    if (settings.clean && result.error.empty()) Clean(path, stream, result);
    if (stream.Writes() > 0 && result.error.empty())
        result.error = "the module tried to write to the archive opened read-only";
    return result;
}

} // namespace zipscan
