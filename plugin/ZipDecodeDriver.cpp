// The cleaning export: the engine scans every entry of an archive and the
// module carries out its verdicts in place.
#include "plugin/ZipDecodeDriver.h"

#include <algorithm>
#include <cstring>
#include <functional>
#include <set>

#include "archive/ZipConstants.h"
#include "archive/ZipLocalRecord.h"
#include "archive/ZipOtherListings.h"
#include "archive/ZipUnlisted.h"
#include "plugin/ZipArchiveOpen.h"
#include "errors/ZipException.h"
#include "storage/ZipRetry.h"
#include "storage/ZipStreamIO.h"

using namespace ZipFormat;

namespace {

// The entry's bytes exactly as stored, encryption header and all.
CZipEntryHeader RawView(const CZipEntryHeader& header)
{
    CZipEntryHeader raw(header);
    raw.method = methodStored;
    raw.flags = static_cast<uint16_t>(raw.flags & ~(flagEncrypted | flagDataDescriptor));
    raw.uncompressedSize = raw.compressedSize;
    return raw;
}

// Whether two headers of one entry lead to different readings of its data
// (the data always starts where the local header's own lengths put it).
bool ReadDifferently(const CZipEntryHeader& a, const CZipEntryHeader& b)
{
    if (a.method != b.method || ((a.flags ^ b.flags) & flagEncrypted)) return true;
    if (a.compressedSize != b.compressedSize || a.uncompressedSize != b.uncompressedSize) return true;
    // The CRC's top byte checks the password of an encrypted entry.
    return (a.flags & flagEncrypted) && a.crc32 != b.crc32;
}

} // namespace

CZipDecodeDriver::CZipDecodeDriver(VFStream* archiveStreamArg, unsigned int baseLow, int baseHigh,
                                   VFStream* temporaryStreamArg, VFDecodeCallback* callback)
    : archiveHost(archiveStreamArg),
      temporaryHost(temporaryStreamArg),
      engine(callback),
      gate(callback),
      archiveStream(archiveStreamArg, baseLow, baseHigh, &gate),
      temporaryStream(temporaryStreamArg, 0, 0, nullptr)
{
}

int CZipDecodeDriver::Run()
{
    if (!archiveHost || !temporaryHost || !engine) return 0;
    CZipOpenedArchive opened = ZipOpenArchive(archiveStream);
    if (!opened.archive) return 0;
    archive = std::move(opened.archive);
    withoutDirectory = opened.withoutDirectory;

    try {
        archive->SetIgnoreCrc(true);
        extractor = std::make_unique<CZipEntryExtractor>(*archive, temporaryStream, gate);
        journal = std::make_unique<CZipCleaningJournal>(*archive);
        Walk();
    } catch (...) {
        // Whatever stopped the walk, what was done so far is finished
        // properly below.
    }
    try {
        return Finish();
    } catch (...) {
        return journal && journal->Touched() ? 3 : 0;
    }
}

void CZipDecodeDriver::Walk()
{
    // Entries appended by cures are not visited.
    const int count = archive->GetCount();
    dataEnds.assign(static_cast<size_t>(std::max(count, 0)), 0);
    for (int i = 0; i < count; ++i) {
        const uint16_t index = static_cast<uint16_t>(i);
        CZipEntryHeader header;
        if (!archive->GetFileInfo(header, index)) continue;
        if (!VisitEntry(index, header)) return;
        gate.Close();
        if (engine->IsStopRequested()) return;
    }
    WalkUnlisted();
}

void CZipDecodeDriver::WalkUnlisted()
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
            ranges = ZipUncoveredRanges(*archive, dataEnds, listedAt);
            const CZipEndInfo& end = archive->directory.endInfo;
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
            for (CZipUnlistedEntry& e : ZipFindOtherListings(*archive))
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
        if (!HandUnlisted(e, nextKnown(e.localPosition))) return;
    others.clear();
    // Entries are handed over as the walk finds them: what is held at any
    // time does not grow with their number.
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
                if (!HandUnlisted(e, nextKnown(e.localPosition))) return;
            }
            if (first && range.storedBefore >= 0 && !ReadStoredTail(range, range.to)) return;
        } catch (const CZipException&) {
            return;
        }
    }
}

bool CZipDecodeDriver::HandUnlisted(const CZipUnlistedEntry& e, uint64_t nextKnown)
{
    const std::string name = e.view.NameAsString();
    gate.Close();
    if (engine->WantEntry(name.c_str())) {
        gate.Open();
        EntryVisit visit{0, name, {}, false, false};
        CZipEntryHeader view(e.view);
        if (!ZipReadsEntry(view)) view = RawView(view);
        bool declined = false;
        uint64_t readEnd = 0;
        const Extract extract = [&](const CZipEntryHeader& v) {
            CZipExtraction reading = extractor->ExtractAt(e.localPosition, v, e.dataLimit);
            // As far as the reading took the stream: the content's own bytes.
            try {
                readEnd = std::max(readEnd, archiveStream.GetPosition());
            } catch (const CZipException&) {
            }
            return reading;
        };
        const CZipExtraction x = ExtractWithPassword(visit, declined, view, extract);
        if (declined) return false;
        // A cure of content the directory does not list is a deletion:
        // its bytes are made unreadable. An archive whose directory could
        // not be read is never changed: what its own directory would
        // make of the changes is unknown.
        Verdict verdict = Scan(visit, x);
        CZipExtraction lenient;
        // Restarting inflate past damage costs far more than a reading: the
        // local walk may find thousands of damaged entries (headers quoted
        // inside other entries' data), so only the first few get it.
        if (verdict == noVerdict && unlistedLenientLeft > 0) {
            lenient = ReadLeniently(x, view, extract);
            if (lenient.opened) --unlistedLenientLeft;
            verdict = Scan(visit, lenient);
        }
        if (verdict != noVerdict && !withoutDirectory) {
            CZipEdit::Erasure c;
            c.localPosition = e.localPosition;
            c.readEnd = readEnd;
            c.dataLimit = e.dataLimit;
            c.declaredSize = view.compressedSize;
            c.nextKnown = nextKnown;
            c.flags = e.view.flags;
            c.crc = lenient.opened ? lenient.crc : x.crc;
            journal->CondemnUnlisted(c);
        }
    }
    gate.Close();
    if (engine->IsStopRequested()) return false;
    gate.Open();
    return true;
}

bool CZipDecodeDriver::ReadStoredTail(const CZipUncoveredRange& range, uint64_t until)
{
    // Bytes behind a stored entry's declared size, up to the next entry
    // (or record), are handed over with it as a second reading: a payload
    // appended behind the declared size is the entry's as much as anyone's.
    if (until <= range.storedDeclaredEnd || until <= range.storedDataStart) return true;
    const uint16_t index = static_cast<uint16_t>(range.storedBefore);
    CZipEntryHeader header;
    if (!archive->GetFileInfo(header, index)) return true;
    const std::string name = header.NameAsString();
    gate.Close();
    if (engine->WantEntry(name.c_str())) {
        gate.Open();
        EntryVisit visit{index, name, {}, false, false};
        CZipEntryHeader view = RawView(header);
        view.compressedSize = view.uncompressedSize =
            static_cast<uint32_t>(std::min<uint64_t>(until - range.storedDataStart, 0xFFFFFFFFu));
        ScanAndAct(visit, extractor->ExtractAt(range.storedLocal, view, until), false);
    }
    gate.Close();
    if (engine->IsStopRequested()) return false;
    gate.Open();
    return true;
}

void CZipDecodeDriver::NoteDataEnd(uint16_t index, const CZipEntryHeader& header, const CZipLocalRecord& local,
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

bool CZipDecodeDriver::VisitEntry(uint16_t index, const CZipEntryHeader& header)
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
            haveLocal = archive->ReadLocalRecord(index, local);
        } catch (const CZipException&) {
        }
        // Records that would be read differently are read both ways; a cure
        // of either reading would keep one of two contents, so it is carried
        // out as a deletion.
        CZipEntryHeader asLocal(header);
        if (haveLocal) local.ApplyTo(asLocal);
        // Every reading starts where this local header puts the data.
        const CZipLocalRecord* known = haveLocal ? &local : nullptr;
        const bool disagree = haveLocal && ReadDifferently(header, asLocal);
        // An AES entry's field may be in its local header only.
        const ZipAesInfo* localAes = haveLocal && local.hasAes ? &local.aes : nullptr;
        const bool decodable = ZipReadsEntry(header, localAes);
        const CZipEntryHeader primary = decodable ? header : RawView(header);
        const Extract extract = [&](const CZipEntryHeader& view) {
            return extractor->Extract(index, view, known);
        };
        bool declined = false;
        const CZipExtraction first = ExtractWithPassword(visit, declined, primary, extract);
        if (declined) return false;
        if (haveLocal) NoteDataEnd(index, header, local, first);
        if (ScanAndAct(visit, first, decodable && !disagree && !first.readAsPlain)) return true;

        CZipExtraction other;
        if (disagree) {
            if (!ZipReadsEntry(asLocal, localAes)) asLocal = RawView(asLocal);
            other = ExtractWithPassword(visit, declined, asLocal, extract);
            if (declined) return false;
            if (ScanAndAct(visit, other, false)) return true;
        }
        if (header.method == methodStored && first.opened && first.crc != header.crc32) {
            // Stored bytes that do not match their CRC may be a deflate stream
            // labelled stored: handed over inflated when that output does.
            CZipEntryHeader inflated(header);
            inflated.method = methodDeflated;
            const CZipExtraction x = extractor->Extract(index, inflated, known);
            if (x.intact && x.crc == header.crc32 && ScanAndAct(visit, x, false)) return true;
        }
        // Data that does not decode may be stored bytes labelled with a
        // method; so may data of a method without an end marker of its own
        // (reduce, implode) that decodes to other bytes than its CRC says.
        const bool undecoded = !first.intact || (!first.ownEnd && first.crc != header.crc32 &&
                                                 header.method != methodAes && !first.readAsPlain);
        if (header.method != methodStored && decodable && first.opened && undecoded && !first.refused &&
            !first.stopped) {
            if (ScanAndAct(visit, extractor->Extract(index, RawView(header), known), false)) return true;
        }
        // Damaged deflate data read on past the damage, as lenient
        // extractors read it.
        if (ScanAndAct(visit, ReadLeniently(first, primary, extract), false)) return true;
        if (disagree && ScanAndAct(visit, ReadLeniently(other, asLocal, extract), false)) return true;
    } catch (const CZipException&) {
        CloseEntryQuietly();
    }
    return true;
}

CZipExtraction CZipDecodeDriver::ReadLeniently(const CZipExtraction& x, const CZipEntryHeader& view,
                                               const Extract& extract)
{
    // Only zlib's damage is read again; a reading the engine ended is not.
    if (!x.opened || x.code != ZipError::zlibData || x.refused || x.stopped) return CZipExtraction();
    struct Lenient {
        CZipArchiveEx& archive;
        explicit Lenient(CZipArchiveEx& a) : archive(a) { archive.ReadDeflateLeniently(true); }
        ~Lenient() { archive.ReadDeflateLeniently(false); }
    } lenient(*archive);
    return extract(view);
}

bool CZipDecodeDriver::ReadAsPlain(const CZipEntryHeader& view, const Extract& extract, CZipExtraction& plain)
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

CZipExtraction CZipDecodeDriver::ExtractWithPassword(EntryVisit& visit, bool& declined, const CZipEntryHeader& view,
                                                     const Extract& extract)
{
    // One password question per failure: an entry that needs a password the
    // archive does not have asks once; a second failure for want of one
    // asks again only if that question was not asked yet.
    CZipExtraction x;
    bool triedPlain = false;
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
                    x = std::move(plain);
                    return true;
                }
            }
            // A password asked for is no failed attempt: the same one goes
            // on with the answer.
            if (undecrypted && !visit.askedPassword) {
                visit.askedPassword = true;
                if (AskPassword(visit.name)) continue;
                declined = true;
                return true;
            }
            // One failed host read must not leave a condemned entry with
            // less than it holds: a read that failed is tried once more.
            return !x.readFailed;
        }
    });
    return x;
}

CZipDecodeDriver::Verdict CZipDecodeDriver::Scan(EntryVisit& visit, const CZipExtraction& x)
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

bool CZipDecodeDriver::ScanAndAct(EntryVisit& visit, const CZipExtraction& x, bool cureAllowed)
{
    const Verdict verdict = Scan(visit, x);
    if (verdict == noVerdict) return false;
    // A cured copy of a part of an entry, or of one of its readings, would
    // be a new entry that is not what the archive held: the entry goes
    // instead.
    if (verdict == cureVerdict && cureAllowed && x.complete)
        journal->Cure(visit.index, temporaryStream);
    else
        journal->Condemn(visit.index);
    return true;
}

bool CZipDecodeDriver::AskPassword(const std::string& name)
{
    // Whatever the engine writes, at most 127 bytes and a terminator are
    // taken.
    char password[VF_PASSWORD_BUFFER];
    std::memset(password, 0, sizeof password);
    int size = VF_PASSWORD_BUFFER;
    if (!engine->QueryPassword(name.c_str(), password, &size)) return false;
    password[VF_PASSWORD_BUFFER - 1] = '\0';
    archive->SetPassword(password);
    return true;
}

int CZipDecodeDriver::Finish()
{
    // The queued work is carried out whatever the engine asks from now on.
    gate.Close();
    return journal && journal->Finish(dataEnds) ? 3 : 0;
}

void CZipDecodeDriver::CloseEntryQuietly()
{
    try {
        archive->CloseEntry(nullptr, true);
    } catch (...) {
    }
}

extern "C" int ZipArchive_Decode(VFStream* archive, void* ignored, unsigned int baseLow,
                                 int baseHigh, VFStream* temporary, VFDecodeCallback* callback)
{
    (void)ignored;
    try {
        CZipDecodeDriver driver(archive, baseLow, baseHigh, temporary, callback);
        return driver.Run();
    } catch (...) {
        return 0;
    }
}
