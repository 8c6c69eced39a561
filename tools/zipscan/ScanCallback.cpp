#include "ScanCallback.h"

#include <cstring>

#include "ArchiveStart.h"
#include "Module.h"
#include "Progress.h"
#include "TemporaryStream.h"

namespace zipscan {

std::atomic<bool> ScanCallback::interrupted{false};

namespace {

bool LooksLikeDirectory(const char* name)
{
    std::size_t n = std::strlen(name);
    return n > 0 && (name[n - 1] == '/' || name[n - 1] == '\\');
}

} // namespace

ScanCallback::ScanCallback(const SignatureSet& set, const std::vector<std::string>& list,
                           const PassPlan& passPlan, ProgressLine* line, TemporaryStream& stream)
    : signatures(set), search(set), passwords(list), plan(passPlan), progress(line), temporary(stream)
{
    temporary.SetCap(plan.budget ? plan.budget->EntryCap() : TemporaryStream::kLimit);
}

void ScanCallback::Reached(Limit limit, EntryResult* entry)
{
    const std::string name = LimitName(limit);
    if (entry && entry->limit.empty()) entry->limit = name;
    Reached(name);
}

void ScanCallback::Reached(const std::string& name)
{
    for (const std::string& seen : limitsReached)
        if (seen == name) return;
    limitsReached.push_back(name);
    if (plan.budget && plan.budget->Settings().report) found = true;
}

EntryResult* ScanCallback::Current(const char* name)
{
    // The module names the entry it is working on; it is always the one it
    // offered last.
    if (entries.empty() || !name || entries[top].name != name) return nullptr;
    return &entries[top];
}

int ScanCallback::IsStopRequested()
{
    if (interrupted.load()) stopRequested = true;
    if (plan.stopAfterFirst && found) stopRequested = true;
    if (!stopRequested && plan.budget && plan.budget->TimeIsUp()) {
        // An entry taken but not yet read is passed over for the limit.
        EntryResult* pending = lastWanted && !entries[top].scanned ? &entries[top] : nullptr;
        Reached(Limit::MaxScanTime, pending);
        stopLimit = LimitName(Limit::MaxScanTime);
        stopRequested = true;
    }
    return stopRequested ? 1 : 0;
}

int ScanCallback::WantEntry(const char* name)
{
    if (!name) return 0;
    EntryResult entry;
    entry.name = name;
    entry.directory = LooksLikeDirectory(name);
    // The records under this name: folders (by the MS-DOS attribute too) and
    // empty files hold nothing to scan and cost nothing against MaxFiles.
    bool nothingToScan = entry.directory;
    if (plan.listed) {
        auto it = plan.listed->find(entry.name);
        if (it != plan.listed->end()) {
            entry.directory = entry.directory || it->second.directory;
            nothingToScan = it->second.empty;
        }
    }
    entries.push_back(entry);
    verdicts.push_back(0);
    top = entries.size() - 1;
    lastWanted = false;
    if (!plan.extract) return 0;
    if (plan.only && plan.only->count(entry.name) == 0) return 0;
    if (plan.budget) {
        EntryResult& offered = entries.back();
        // Past the file's byte limit nothing more is taken and the walk ends.
        if (plan.budget->Settings().maxScanSize != 0 && plan.budget->ScanRoom() == 0) {
            Reached(Limit::MaxScanSize, &offered);
            stopLimit = LimitName(Limit::MaxScanSize);
            stopRequested = true;
            return 0;
        }
        // A file's own entries lie one level below it: a recursion limit
        // of 1 leaves them all unread, as clamscan does.
        const std::uint64_t maxLevel = plan.budget->Settings().maxRecursion;
        if (!nothingToScan && maxLevel != 0 && EntryLevel(plan.depth) > maxLevel) {
            Reached(Limit::MaxRecursion, &offered);
            return 0;
        }
        // Entries are counted on the first walk of a file; later walks take
        // only entries it counted already. Folders cost nothing to pass.
        if (!plan.only && !nothingToScan && !plan.budget->TakeEntry()) {
            Reached(Limit::MaxFiles, &offered);
            return 0;
        }
    }
    lastWanted = true;
    return 1;
}

int VF_CALL ScanCallback::ScanEntry(VFStream* archive, const char* name, VFStream* handed,
                                    unsigned long long* uncompressedSize, int, int)
{
    (void)archive;
    EntryResult* entry = Current(name);
    if (!entry || !handed) return 0;
    // A write shortened at the cap ended the entry: it was cut at the entry
    // limit or at what was left of the file's.
    const bool capped = temporary.Capped() && handed == &temporary;
    std::vector<Finding> findings;
    // What the search read through is what the module handed over, wherever
    // the stream keeps it.
    ContentFacts facts;
    if (!search.Scan(*handed, findings, &facts)) {
        failure = "cannot read back the extracted entry " + entry->name;
        return 0;
    }
    const std::uint64_t held = facts.size;
    if (handed == &temporary && temporary.Refused()) {
        // Our own temporary stream could not take the entry (no memory, no
        // room or no folder for the temporary file): a failure of this scan,
        // not damage in the archive.
        failure = "the temporary stream refused a write (TMPDIR full or missing?) while extracting " + entry->name;
    }
    if (entry->scanned) {
        // A second hand-over under the same name is content the listing
        // does not account for; it gets its own record.
        EntryResult again;
        again.name = entry->name;
        again.repeated = true;
        entries.push_back(again);
        verdicts.push_back(0);
        top = entries.size() - 1;
        entry = &entries[top];
    }
    entry->scanned = true;
    entry->received = held;
    entry->crc = facts.crc;
    entry->password = inForce;
    entry->directory = false;
    entry->size = uncompressedSize ? *uncompressedSize : held;
    entry->findings = findings;
    if (plan.budget) {
        if (capped && plan.budget->EntryCap() < TemporaryStream::kLimit) {
            const bool entryLimit = plan.budget->EntryCapIsFileSize();
            Reached(entryLimit ? Limit::MaxFileSize : Limit::MaxScanSize, entry);
            if (!entryLimit) {
                stopLimit = LimitName(Limit::MaxScanSize);
                stopRequested = true;
            }
        } else if (!stopLimit.empty() && entry->limit.empty()) {
            // The module was asked to stop while reading this entry.
            entry->limit = stopLimit;
        }
        plan.budget->Scanned(held);
        temporary.SetCap(plan.budget->EntryCap());
    }
    if (progress) progress->EntryScanned(held);
    // Only a whole entry is opened as an archive (and cured).
    const bool whole = entry->limit.empty();
    const std::size_t at = top;
    Nested nested = whole && failure.empty() && !stopRequested ? ScanNested(*handed, at, facts) : Nested::None;
    entry = &entries[at];
    if (nested == Nested::Cleaned) {
        // What is left of the container after its entries were cleaned is
        // what goes back.
        if (!search.Scan(*handed, entry->findings)) {
            failure = "cannot read back the cleaned archive " + entry->name;
            return 0;
        }
    }
    if (entry->findings.empty() && nested == Nested::None) return 0;
    if (!entry->findings.empty() || entry->nestedCondemned) found = true;
    if (!plan.clean) return 0;

    int verdict = nested == Nested::Cleaned ? VF_VERDICT_CURED : 0;
    switch (nested == Nested::Failed ? Action::Delete : entry->Wanted()) {
    case Action::Delete:
        verdict = VF_VERDICT_DELETE;
        break;
    case Action::Cure:
        // Part of an entry cannot be put back in its place: an entry cut
        // short at a limit goes instead.
        if (!whole)
            verdict = VF_VERDICT_DELETE;
        else if (search.Cure(*handed))
            verdict = VF_VERDICT_CURED;
        else
            failure = "cannot write the cured data of " + entry->name;
        break;
    case Action::Report:
        break;
    }
    verdicts[at] = verdict;
    return verdict;
}

bool ScanCallback::RecogniseAt(VFStream& content, std::uint64_t base) const
{
    unsigned char first[16] = {};
    unsigned int got = 0;
    if (content.Seek(static_cast<unsigned int>(base), static_cast<int>(base >> 32), 0, nullptr) != 0 ||
        content.Read(first, sizeof first, &got) != 0 || got < 4)
        return false;
    return plan.module->Recognise(&content, base, first);
}

bool ScanCallback::FindArchive(VFStream& content, const ContentFacts& facts, std::uint64_t& base) const
{
    base = 0;
    if (RecogniseAt(content, 0)) return true;
    return FindArchiveStart(content, facts.size, &facts,
                            [&](std::uint64_t at) { return RecogniseAt(content, at); }, base);
}

ScanCallback::Nested ScanCallback::ScanNested(VFStream& content, std::size_t at, const ContentFacts& facts)
{
    if (!plan.module) return Nested::None;
    std::uint64_t base = 0;
    if (!FindArchive(content, facts, base)) return Nested::None;
    const std::uint64_t maxDepth = plan.budget ? plan.budget->Settings().maxRecursion : 0;
    if (maxDepth != 0 && EntryLevel(plan.depth + 1) > maxDepth) {
        Reached(Limit::MaxRecursion, &entries[at]);
        return Nested::None;
    }
    PassPlan inner;
    inner.clean = plan.clean;
    inner.stopAfterFirst = plan.stopAfterFirst;
    // Cleaning walks of the file offer a password only to the groups that
    // need one; an inner archive is walked whole, so it gets the first.
    inner.password = plan.password >= 0 ? plan.password : 0;
    inner.budget = plan.budget;
    inner.module = plan.module;
    inner.depth = plan.depth + 1;
    // The module cleans the inner archive in place: the entry's own stream
    // must take it whole whatever is left of the budget.
    if (&content == &temporary) temporary.SetCap(TemporaryStream::kLimit);
    const ZipHostListing listing = ZipListForHost(&content, base);
    const ListingIndex index = IndexListing(listing);
    inner.listed = &index;
    TemporaryStream stream;
    ScanCallback walk(signatures, passwords, inner, progress, stream);
    const int result = plan.module->Decode(&content, base, &stream, &walk);
    if (plan.budget) temporary.SetCap(plan.budget->EntryCap());
    std::vector<EntryResult> innerEntries = walk.Entries();
    std::vector<int> innerVerdicts = walk.Verdicts();
    WalkEnd walkEnd;
    walkEnd.stopped = walk.StopRequested();
    walkEnd.limits = walk.LimitsReached();
    walkEnd.passwordsGiven = !passwords.empty();
    walkEnd.checkAes = [&](const ZipHostEntry& r, int password) {
        return ZipCheckAesCode(&content, r, PasswordAt(passwords, password));
    };
    std::vector<std::string> innerNotes;
    JudgeWalk(listing, [&] { return ZipLocalEntriesForHost(&content, base); }, walkEnd, innerEntries, innerNotes);
    innerVerdicts.resize(innerEntries.size(), 0);

    const std::string prefix = entries[at].name + "/";
    bool condemned = false, unhandled = false;
    for (const std::string& note : walk.Notes()) notes.push_back(entries[at].name + "/" + note);
    for (const std::string& note : innerNotes) notes.push_back(entries[at].name + ": " + note);
    for (std::size_t i = 0; i < innerEntries.size(); ++i) {
        EntryResult e = innerEntries[i];
        const int verdict = innerVerdicts[i];
        e.name = prefix + e.name;
        e.container = entries[at].name;
        ++e.depth;
        if (e.scanned && e.Condemned()) {
            condemned = true;
            unhandled = unhandled || (verdict != VF_VERDICT_CURED && verdict != VF_VERDICT_DELETE);
        }
        entries.push_back(e);
        verdicts.push_back(verdict);
    }
    for (const std::string& name : walk.LimitsReached()) Reached(name);
    found = found || walk.Found();
    stopRequested = stopRequested || walk.StopRequested();
    // A failure while cleaning the inner archive only costs the container.
    if (!plan.clean && failure.empty() && !walk.Failure().empty()) failure = walk.Failure();
    entries[at].nestedCondemned = condemned;
    if (!condemned || !plan.clean) return Nested::Clean;
    // Anything short of a rewritten archive with every condemned entry
    // handled takes the whole container away.
    if (result != VF_VERDICT_CURED || unhandled || !walk.Failure().empty()) return Nested::Failed;
    return Nested::Cleaned;
}

int VF_CALL ScanCallback::QueryPassword(const char* name, char* buffer, int* bufferSize)
{
    if (!buffer || !bufferSize || *bufferSize <= 0) return 0;
    EntryResult* entry = Current(name);
    int index = plan.password;
    if (entry) {
        entry->passwordAsked = true;
        if (plan.passwordFor) {
            auto it = plan.passwordFor->find(entry->name);
            if (it != plan.passwordFor->end()) index = it->second;
        }
    }
    // With no password to offer, answer an empty one rather than declining:
    // a refusal would end the whole walk, an empty password only fails this
    // entry and the module moves on to the next.
    std::string answer = PasswordAt(passwords, index);
    std::size_t room = static_cast<std::size_t>(*bufferSize) - 1;
    std::size_t n = std::min(answer.size(), room);
    std::memcpy(buffer, answer.data(), n);
    buffer[n] = '\0';
    // The module keeps it for every later entry of this call.
    inForce = index;
    return 1;
}

} // namespace zipscan
