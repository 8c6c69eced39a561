#include "Coverage.h"

#include <cstdio>

#include "plugin/ZipHost.h"

namespace zipscan {

namespace {

// A folder whose data decodes to nothing is not handed over at all; an
// empty file is handed over empty.
bool NothingToScan(const ZipHostEntry& r)
{
    return (r.directory && r.uncompressedSize == 0) || (r.uncompressedSize == 0 && r.compressedSize == 0);
}

bool Matches(const ZipHostEntry& r, const EntryResult& e)
{
    return e.scanned && e.received == r.uncompressedSize && (!r.checkable || e.crc == r.crc32);
}

std::string Hex8(std::uint32_t v)
{
    char buf[16];
    std::snprintf(buf, sizeof buf, "%08X", static_cast<unsigned>(v));
    return buf;
}

std::string MethodText(const ZipHostEntry& r)
{
    std::string text = "method " + std::to_string(r.method);
    if (r.method == ZipFormat::methodAes) text += " (WinZip AES over a method not decoded here)";
    return text;
}

// Why an entry handed over (or offered) under a record's name did not
// deliver that record's content.
std::string Reason(const EntryResult& e, const ZipHostEntry* r, bool passwordsGiven)
{
    const std::string size = r ? std::to_string(r->uncompressedSize) : std::string();
    if (!e.scanned) {
        if (!e.limit.empty()) return e.limit + " limit reached";
        if (e.passwordAsked)
            return passwordsGiven ? "encrypted, and no given password fitted" : "encrypted, and no password was given";
        if (r && !r->decoded) return "raw bytes of a method not decoded (" + MethodText(*r) + ") were not handed over";
        return "could not be extracted (damaged data)";
    }
    const std::string got = std::to_string(e.received);
    if (!e.limit.empty())
        return e.limit + " limit reached: " + got + " bytes scanned" + (r ? " of " + size + " declared" : std::string());
    if (!r) return "content no record describes: its size and CRC-32 are not known";
    if (!r->decoded) return "raw bytes of a method not decoded (" + MethodText(*r) + ")";
    if (e.passwordAsked && r->encrypted && e.received != r->uncompressedSize)
        return (passwordsGiven ? "encrypted, and no given password fitted" : "encrypted, and no password was given") +
               std::string(": ") + got + " bytes handed over";
    if (e.received < r->uncompressedSize) return "damaged after " + got + " bytes (" + size + " listed)";
    if (e.received > r->uncompressedSize) return "damaged: " + got + " bytes where " + size + " are listed";
    if (r->aesStrength) return "WinZip AES authentication code not matched: the content is not the one stored";
    return "CRC mismatch: the content's CRC-32 is " + Hex8(e.crc) + ", the record's " + Hex8(r->crc32);
}

} // namespace

ListingIndex IndexListing(const ZipHostListing& listing)
{
    ListingIndex index;
    for (const ZipHostEntry& r : listing.entries) {
        ListedName& n = index[r.name];
        n.directory = n.directory && r.directory;
        n.empty = n.empty && NothingToScan(r);
    }
    return index;
}

void JudgeWalk(const ZipHostListing& listing, const LocalLookup& locals, const WalkEnd& end,
               std::vector<EntryResult>& entries, std::vector<std::string>& notes)
{
    if (listing.opening == ZipHostOpening::localHeaders) {
        std::string why = ZipReasonText(listing.reason);
        if (listing.reasonOffset != kZipNoOffset) why += " at " + std::to_string(listing.reasonOffset);
        notes.push_back("the end of the archive is missing (" + (why.empty() ? std::string("no directory") : why) +
                        "): its entries were found by their local headers, and what they hold is not listed");
    }
    struct Record {
        const ZipHostEntry* entry;
        bool ok = false;
        bool explained = false;
    };
    std::map<std::string, std::vector<Record>> byName;
    for (const ZipHostEntry& r : listing.entries) byName[r.name].push_back(Record{&r});
    std::vector<ZipHostEntry> localEntries;
    std::map<std::string, std::vector<Record>> localByName;
    bool localsRead = false;
    auto localRecords = [&](const std::string& name) -> std::vector<Record>* {
        if (!localsRead) {
            localsRead = true;
            localEntries = locals();
            for (const ZipHostEntry& r : localEntries) localByName[r.name].push_back(Record{&r});
        }
        auto it = localByName.find(name);
        return it == localByName.end() ? nullptr : &it->second;
    };

    // A hand-over with the record's size and CRC (for AE-2, its
    // authentication code) is that record's content.
    auto verified = [&](const ZipHostEntry& r, const EntryResult& e) {
        return r.aesStrength == 0 || (end.checkAes && end.checkAes(r, e.password) == ZipAesCheck::matches);
    };
    auto claim = [&](std::vector<Record>& records, EntryResult& e) {
        for (Record& r : records)
            if (!r.ok && Matches(*r.entry, e) && verified(*r.entry, e)) {
                r.ok = true;
                e.complete = true;
                return;
            }
    };
    for (EntryResult& e : entries) {
        if (e.depth != 0 || e.fileBytes) continue;
        e.complete = false;
        e.incomplete.clear();
        auto it = byName.find(e.name);
        if (it != byName.end()) {
            e.cp437 = !(it->second.front().entry->flags & ZipFormat::flagUtf8Name);
            claim(it->second, e);
            for (const Record& r : it->second)
                if (r.entry->directory) e.directory = e.directory || !e.scanned;
        }
    }
    for (auto& name : byName)
        for (Record& r : name.second)
            if (NothingToScan(*r.entry)) r.ok = true;

    for (EntryResult& e : entries) {
        if (e.depth != 0 || e.fileBytes || e.complete) continue;
        auto it = byName.find(e.name);
        std::vector<Record>* records = it != byName.end() ? &it->second : nullptr;
        if (!records) {
            // Content no central record lists: held against its own local header.
            records = localRecords(e.name);
            if (records) {
                e.cp437 = !(records->front().entry->flags & ZipFormat::flagUtf8Name);
                claim(*records, e);
            }
            if (e.complete) continue;
            if (!e.scanned && e.directory) {
                e.complete = true;
                continue;
            }
        }
        Record* open = nullptr;
        if (records)
            for (Record& r : *records)
                if (!r.ok && !r.explained) {
                    open = &r;
                    break;
                }
        if (records && !open) {
            // Every record of the name was delivered (or holds nothing): this
            // is another reading of content already scanned whole. Else it is
            // another reading of content that did not come whole.
            bool allOk = true;
            for (const Record& r : *records) allOk = allOk && r.ok;
            if (allOk || (!e.scanned && e.directory)) {
                e.complete = true;
                continue;
            }
            if (e.scanned) {
                e.incomplete = "damaged data: another reading of the entry, " + std::to_string(e.received) + " bytes";
                continue;
            }
        }
        if (!e.scanned && e.directory && !open) {
            e.complete = true;
            continue;
        }
        if (open) open->explained = true;
        e.incomplete = Reason(e, open ? open->entry : nullptr, end.passwordsGiven);
    }

    std::string notReached = "listed but never handed over";
    if (end.stopped) {
        notReached = "not reached: the walk was stopped";
        if (!end.limits.empty()) {
            notReached += " at a limit (";
            for (std::size_t i = 0; i < end.limits.size(); ++i) notReached += (i ? ", " : "") + end.limits[i];
            notReached += ")";
        }
    }
    // In the directory's order.
    std::map<std::string, std::size_t> seen;
    for (const ZipHostEntry& listed : listing.entries) {
        Record& r = byName[listed.name][seen[listed.name]++];
        if (r.ok || r.explained) continue;
        EntryResult missing;
        missing.name = listed.name;
        missing.listedOnly = true;
        missing.directory = r.entry->directory;
        missing.incomplete = notReached;
        if (end.stopped && !end.limits.empty()) missing.limit = end.limits.back();
        entries.push_back(missing);
    }
}

} // namespace zipscan
