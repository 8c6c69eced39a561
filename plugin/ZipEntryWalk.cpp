// The cleaning walk: every reading of every entry, as the reading table
// lists them, handed to the engine.
#include "plugin/ZipEntryWalk.h"

#include <algorithm>
#include <optional>
#include <set>

#include "archive/ZipConstants.h"
#include "archive/ZipLocalRecord.h"
#include "archive/ZipOtherListings.h"
#include "errors/ZipException.h"
#include "storage/ZipRetry.h"

using namespace ZipFormat;

CZipEntryWalk::CZipEntryWalk(const Setup& setup, Acts& actsArg, std::vector<uint64_t>& dataEndsArg)
    : archive(setup.archive),
      extractor(setup.extractor),
      archiveStream(setup.archiveStream),
      archiveHost(setup.archiveHost),
      temporaryHost(setup.temporaryHost),
      engine(setup.engine),
      gate(setup.gate),
      withoutDirectory(setup.withoutDirectory),
      acts(actsArg),
      dataEnds(dataEndsArg)
{
}

void CZipEntryWalk::Walk()
{
    // Entries appended by cures are not visited.
    const int count = archive.GetCount();
    dataEnds.assign(static_cast<size_t>(std::max(count, 0)), 0);
    for (int i = 0; i < count; ++i) {
        const uint16_t index = static_cast<uint16_t>(i);
        CZipEntryHeader header;
        if (!archive.GetFileInfo(header, index)) continue;
        if (!VisitEntry(index, header)) return;
        gate.Close();
        if (engine->IsStopRequested()) return;
    }
    WalkUnlisted();
}

void CZipEntryWalk::WalkUnlisted()
{
    // Finding the uncovered bytes reads only the listed entries' local
    // headers (work bounded by the directory); searching them may read much
    // more, which a stop request ends.
    std::vector<CZipUncoveredRange> ranges;
    // Where listed entries lie: each entry is handed over once.
    std::vector<uint64_t> listedAt;
    std::set<uint64_t> known;
    std::vector<CZipUnlistedEntry> others;
    try {
        if (withoutDirectory) {
            ranges.push_back(CZipUncoveredRange{0, archiveStream.GetLength()});
        } else {
            ranges = ZipUncoveredRanges(archive, dataEnds, listedAt);
            const CZipEndInfo& end = archive.directory.endInfo;
            const uint64_t directoryStart = static_cast<uint64_t>(end.directoryOffset) + end.foreignBytes;
            // What lies inside a listed entry's data is that entry's content
            // (an archive stored in it, say), scanned with it.
            auto uncovered = [&](uint64_t position) {
                if (position >= directoryStart) return true;
                auto after = std::upper_bound(ranges.begin(), ranges.end(), position,
                                              [](uint64_t p, const CZipUncoveredRange& r) { return p < r.from; });
                return after != ranges.begin() && position < std::prev(after)->to;
            };
            // The search for other listings reads as much as the stream
            // holds: a stop request ends it.
            gate.Open();
            for (CZipUnlistedEntry& e : ZipFindOtherListings(archive))
                if (uncovered(e.localPosition) && !std::binary_search(listedAt.begin(), listedAt.end(), e.localPosition) &&
                    known.insert(e.localPosition).second)
                    others.push_back(std::move(e));
        }
    } catch (const CZipException&) {
        return;
    }
    // The next entry known behind a position: a listed one or one another
    // listing names (one the walk finds lies behind the found one's data
    // limit anyway).
    auto nextKnown = [&](uint64_t position) {
        uint64_t next = ~uint64_t(0);
        const auto listed = std::upper_bound(listedAt.begin(), listedAt.end(), position);
        if (listed != listedAt.end()) next = *listed;
        const auto other = known.upper_bound(position);
        if (other != known.end()) next = std::min(next, *other);
        return next;
    };
    gate.Open();
    for (const CZipUnlistedEntry& e : others)
        if (!HandUnlisted(e, nextKnown(e.localPosition), ZipReadingKind::otherListing)) return;
    others.clear();
    // Entries are handed over as the walk finds them: what is held at any
    // time does not grow with their number.
    const ZipReadingKind found = withoutDirectory ? ZipReadingKind::withoutDirectory : ZipReadingKind::localWalk;
    for (const CZipUncoveredRange& range : ranges) {
        try {
            CZipLocalWalk walk(archiveStream, range.from, range.to);
            CZipUnlistedEntry e;
            bool first = true;
            while (walk.Next(e)) {
                if (first && range.storedBefore >= 0 && !ReadStoredTail(range, e.localPosition)) return;
                first = false;
                if (std::binary_search(listedAt.begin(), listedAt.end(), e.localPosition) || known.count(e.localPosition))
                    continue;
                if (!HandUnlisted(e, nextKnown(e.localPosition), found)) return;
            }
            if (first && range.storedBefore >= 0 && !ReadStoredTail(range, range.to)) return;
        } catch (const CZipException&) {
            return;
        }
    }
}

bool CZipEntryWalk::HandUnlisted(const CZipUnlistedEntry& e, uint64_t nextKnown, ZipReadingKind found)
{
    const std::string name = e.view.NameAsString();
    gate.Close();
    if (engine->WantEntry(name.c_str())) {
        gate.Open();
        EntryVisit visit{0, name, {}, false, false};
        ZipReadingState s;
        s.header = e.view;
        s.found = found;
        uint64_t readEnd = 0;
        const Extract extract = [&](const CZipEntryHeader& v) {
            CZipExtraction reading = extractor.ExtractAt(e.localPosition, v, e.dataLimit);
            // As far as the reading took the stream: the content's own bytes.
            try {
                readEnd = std::max(readEnd, archiveStream.GetPosition());
            } catch (const CZipException&) {
            }
            return reading;
        };
        ZipReadingCure cure = ZipReadingCure::none;
        // The CRC the erasure checks: the last reading that reached the data.
        uint32_t crc = 0;
        bool read = false;
        for (const ZipReadingRow& row : ZipFoundReadings()) {
            s.lenientLeft = unlistedLenientLeft;
            if (!row.applies(s)) continue;
            bool declined = false;
            const CZipExtraction x = Read(row, s, visit, declined, extract);
            if (declined) return false;
            s.Took(row.kind, x);
            if (row.budgeted && x.opened) --unlistedLenientLeft;
            if (row.cure != ZipReadingCure::asFirst) cure = row.cure;
            if (!read || x.opened) crc = x.crc;
            read = true;
            if (row.handOver && !row.handOver(s, x)) continue;
            if (Scan(visit, x) != noVerdict) s.verdict = true;
        }
        // A cure of content the directory does not list is a deletion: its
        // bytes are made unreadable. An archive whose directory could not be
        // read is never changed: what its own directory would make of the
        // changes is unknown.
        if (s.verdict && cure == ZipReadingCure::erasure) {
            CZipEdit::Erasure c;
            c.localPosition = e.localPosition;
            c.readEnd = readEnd;
            c.dataLimit = e.dataLimit;
            c.declaredSize = e.view.compressedSize;
            c.nextKnown = nextKnown;
            c.flags = e.view.flags;
            c.crc = crc;
            acts.CondemnUnlisted(c);
        }
    }
    return GoOn();
}

bool CZipEntryWalk::ReadStoredTail(const CZipUncoveredRange& range, uint64_t until)
{
    // Bytes behind a stored entry's declared size, up to the next entry
    // (or record), are handed over with it as a second reading: a payload
    // appended behind the declared size is the entry's as much as anyone's.
    if (until <= range.storedDeclaredEnd || until <= range.storedDataStart) return true;
    const uint16_t index = static_cast<uint16_t>(range.storedBefore);
    CZipEntryHeader header;
    if (!archive.GetFileInfo(header, index)) return true;
    const std::string name = header.NameAsString();
    gate.Close();
    if (engine->WantEntry(name.c_str())) {
        gate.Open();
        EntryVisit visit{index, name, {}, false, false};
        ZipReadingState s;
        s.header = header;
        s.found = ZipReadingKind::storedTail;
        s.tailSize = static_cast<uint32_t>(std::min<uint64_t>(until - range.storedDataStart, 0xFFFFFFFFu));
        const Extract extract = [&](const CZipEntryHeader& v) { return extractor.ExtractAt(range.storedLocal, v, until); };
        const ZipReadingRow& row = ZipReading(ZipReadingKind::storedTail);
        bool declined = false;
        if (row.applies(s)) {
            const CZipExtraction x = Read(row, s, visit, declined, extract);
            ScanAndAct(visit, x, ZipReadingReplaces(row, s, x));
        }
    }
    return GoOn();
}

bool CZipEntryWalk::VisitEntry(uint16_t index, const CZipEntryHeader& header)
{
    const std::string name = header.NameAsString();
    if (!engine->WantEntry(name.c_str())) return true;
    // A directory holds nothing to scan; one that carries data is scanned
    // like a file.
    if (header.IsDirectory() && header.compressedSize == 0) return true;

    // Reading the entry may be cut short by the engine's stop request.
    gate.Open();
    EntryVisit visit{index, name, {}, false, header.IsDirectory()};
    try {
        CZipLocalRecord local;
        bool haveLocal = false;
        try {
            haveLocal = archive.ReadLocalRecord(index, local);
        } catch (const CZipException&) {
        }
        ZipReadingState s;
        s.header = header;
        s.asLocal = header;
        if (haveLocal) local.ApplyTo(s.asLocal);
        // Every reading starts where this local header puts the data.
        const CZipLocalRecord* known = haveLocal ? &local : nullptr;
        s.disagree = haveLocal && ZipReadDifferently(header, s.asLocal);
        // An AES entry's field may be in its local header only.
        s.localAes = haveLocal && local.hasAes ? &local.aes : nullptr;
        s.decodable = ZipReadsEntry(header, s.localAes);
        const Extract extract = [&](const CZipEntryHeader& view) { return extractor.Extract(index, view, known); };
        for (const ZipReadingRow& row : ZipListedReadings()) {
            if (!row.applies(s)) continue;
            bool declined = false;
            const CZipExtraction x = Read(row, s, visit, declined, extract);
            if (declined) return false;
            s.Took(row.kind, x);
            if (row.kind == ZipReadingKind::listed && haveLocal) NoteDataEnd(index, header, local, x);
            if (row.handOver && !row.handOver(s, x)) continue;
            if (ScanAndAct(visit, x, ZipReadingReplaces(row, s, x))) return true;
        }
    } catch (const CZipException&) {
        CloseEntryQuietly();
    }
    return true;
}

CZipExtraction CZipEntryWalk::Read(const ZipReadingRow& row, const ZipReadingState& s, EntryVisit& visit,
                                   bool& declined, const Extract& extract)
{
    switch (row.mode) {
    case ZipReadingMode::withPassword:
        return ExtractWithPassword(visit, declined, row.view(s), extract);
    case ZipReadingMode::lenient:
        return ReadLeniently(row.view(s), extract);
    case ZipReadingMode::once:
        break;
    }
    return extract(row.view(s));
}

CZipExtraction CZipEntryWalk::ReadLeniently(const CZipEntryHeader& view, const Extract& extract)
{
    struct Lenient {
        CZipArchiveEx& archive;
        explicit Lenient(CZipArchiveEx& a) : archive(a) { archive.ReadDeflateLeniently(true); }
        ~Lenient() { archive.ReadDeflateLeniently(false); }
    } lenient(archive);
    return extract(view);
}

bool CZipEntryWalk::ReadAsPlain(const CZipEntryHeader& view, const Extract& extract, CZipExtraction& plain)
{
    if (!(view.flags & flagEncrypted) || view.method == methodAes) return false;
    CZipEntryHeader unencrypted(view);
    unencrypted.flags = static_cast<uint16_t>(unencrypted.flags & ~flagEncrypted);
    plain = extract(unencrypted);
    if (!plain.opened || plain.refused || plain.stopped) return false;
    // Data taken for plain: it reads to its CRC (decrypted bytes would not),
    // or a method with an end marker decodes it undamaged to that marker.
    const bool matches = plain.crc == view.crc32 && (plain.intact || view.method == methodStored);
    plain.readAsPlain = matches || (plain.intact && plain.ownEnd && plain.size > 0);
    return plain.readAsPlain;
}

CZipExtraction CZipEntryWalk::ExtractWithPassword(EntryVisit& visit, bool& declined, const CZipEntryHeader& view,
                                                  const Extract& extract)
{
    // One password question per failure: an entry that needs a password the
    // archive does not have asks once; a second failure for want of one
    // asks again only if that question was not asked yet.
    CZipExtraction x;
    bool triedPlain = false;
    // Data read as plain only because it inflates to an end marker is a
    // guess: about one encrypted stream in two hundred does that too. It is
    // kept for when no password decrypts the entry.
    std::optional<CZipExtraction> guess;
    ZipRetry(ZipRetryWork::extract, [&] {
        for (;;) {
            x = extract(view);
            const bool undecrypted = x.code == ZipError::badPassword && !x.opened;
            if (!triedPlain && (view.flags & flagEncrypted) &&
                (undecrypted || (x.opened && !x.readFailed && !(x.intact && x.crc == view.crc32)))) {
                // The encryption flag set on data that is not encrypted: no
                // password decrypts it, and none is needed.
                triedPlain = true;
                CZipExtraction plain;
                if (ReadAsPlain(view, extract, plain)) {
                    if (plain.crc == view.crc32) {
                        x = std::move(plain);
                        return true;
                    }
                    guess = std::move(plain);
                }
            }
            // A password asked for is no failed attempt: the same one goes
            // on with the answer.
            if (undecrypted && !visit.askedPassword) {
                visit.askedPassword = true;
                if (acts.AskPassword(visit.name)) continue;
                if (!guess) declined = true;
            }
            if (guess && !(x.opened && x.intact && x.crc == view.crc32)) x = std::move(*guess);
            // One failed host read must not leave a condemned entry with
            // less than it holds: a read that failed is tried once more.
            return !x.readFailed;
        }
    });
    return x;
}

CZipEntryWalk::Verdict CZipEntryWalk::Scan(EntryVisit& visit, const CZipExtraction& x)
{
    if (!x.opened) return noVerdict;
    // A directory is scanned only for what it really holds.
    if (visit.directory && x.size == 0) return noVerdict;
    // The same content is not handed over twice.
    for (const auto& seen : visit.handed)
        if (seen.first == x.size && seen.second == x.crc) return noVerdict;
    visit.handed.emplace_back(x.size, x.crc);

    gate.Close();
    unsigned long long size = x.size;
    const int verdict = engine->ScanEntry(archiveHost, visit.name.c_str(), temporaryHost, &size, 0, 0);
    gate.Open();
    if (verdict == VF_VERDICT_CURED) return cureVerdict;
    if (verdict == VF_VERDICT_DELETE) return deleteVerdict;
    return noVerdict;
}

bool CZipEntryWalk::ScanAndAct(EntryVisit& visit, const CZipExtraction& x, bool cureAllowed)
{
    const Verdict verdict = Scan(visit, x);
    if (verdict == noVerdict) return false;
    // A cured copy of a part of an entry, or of one of its readings, would
    // be a new entry that is not what the archive held: the entry goes
    // instead.
    if (verdict == cureVerdict && cureAllowed && x.complete)
        acts.Cure(visit.index);
    else
        acts.Condemn(visit.index);
    return true;
}

void CZipEntryWalk::NoteDataEnd(uint16_t index, const CZipEntryHeader& header, const CZipLocalRecord& local,
                                const CZipExtraction& x)
{
    // Where the entry's data really ended bounds what it covers: entries no
    // record lists are searched for from there. Deflate-family data ends
    // where its decoder found its end; stored data whose bytes do not match
    // their CRC may end anywhere inside its declared size, so all of it is
    // searched.
    uint64_t end = x.dataEnd;
    if (!end && header.method == methodStored && local.method == methodStored && x.opened && !x.stopped &&
        !x.refused && !x.readFailed && x.crc != header.crc32 && !(header.flags & flagEncrypted))
        end = local.dataStart;
    if (end && index < dataEnds.size()) dataEnds[index] = end;
}

bool CZipEntryWalk::GoOn()
{
    gate.Close();
    if (engine->IsStopRequested()) return false;
    gate.Open();
    return true;
}

void CZipEntryWalk::CloseEntryQuietly()
{
    try {
        archive.CloseEntry(nullptr, true);
    } catch (...) {
    }
}
