#include "decoders/ZipReadings.h"

#include <iterator>

#include "archive/ZipConstants.h"
#include "errors/ZipErrorCodes.h"

using namespace ZipFormat;

CZipEntryHeader ZipRawView(const CZipEntryHeader& header)
{
    CZipEntryHeader raw(header);
    raw.method = methodStored;
    raw.flags = static_cast<uint16_t>(raw.flags & ~(flagEncrypted | flagDataDescriptor));
    raw.uncompressedSize = raw.compressedSize;
    return raw;
}

bool ZipReadDifferently(const CZipEntryHeader& a, const CZipEntryHeader& b)
{
    if (a.method != b.method || ((a.flags ^ b.flags) & flagEncrypted)) return true;
    if (a.compressedSize != b.compressedSize || a.uncompressedSize != b.uncompressedSize) return true;
    // The CRC's top byte checks the password of an encrypted entry.
    return (a.flags & flagEncrypted) && a.crc32 != b.crc32;
}

void ZipReadingState::Took(ZipReadingKind kind, const CZipExtraction& x)
{
    if (kind == ZipReadingKind::asLocal)
        other = x;
    else if (kind != ZipReadingKind::storedAsDeflate && kind != ZipReadingKind::raw &&
             kind != ZipReadingKind::lenientListed && kind != ZipReadingKind::lenientLocal &&
             kind != ZipReadingKind::lenientUnlisted)
        first = x;
}

namespace {

bool Always(const ZipReadingState&) { return true; }

// Only zlib's damage is read again; a reading the engine ended is not.
bool ZlibDamaged(const CZipExtraction& x)
{
    return x.opened && x.code == ZipError::zlibData && !x.refused && !x.stopped;
}

// As the central record says; raw where its method is not decoded.
CZipEntryHeader Listed(const ZipReadingState& s) { return s.decodable ? s.header : ZipRawView(s.header); }

CZipEntryHeader AsLocal(const ZipReadingState& s)
{
    return ZipReadsEntry(s.asLocal, s.localAes) ? s.asLocal : ZipRawView(s.asLocal);
}

// Found content as its local header says; raw where its method is not decoded.
CZipEntryHeader Found(const ZipReadingState& s) { return ZipReadsEntry(s.header) ? s.header : ZipRawView(s.header); }

bool Disagree(const ZipReadingState& s) { return s.disagree; }

// Stored bytes that do not match their CRC may be a deflate stream
// labelled stored.
bool StoredMissesCrc(const ZipReadingState& s)
{
    return s.header.method == methodStored && s.first.opened && s.first.crc != s.header.crc32;
}

CZipEntryHeader Inflated(const ZipReadingState& s)
{
    CZipEntryHeader inflated(s.header);
    inflated.method = methodDeflated;
    return inflated;
}

// ...handed over only where the inflated output matches the CRC.
bool InflatesToCrc(const ZipReadingState& s, const CZipExtraction& x)
{
    return x.intact && x.crc == s.header.crc32;
}

// Data that does not decode may be stored bytes labelled with a method; so
// may data of a method without an end marker of its own (reduce, implode)
// that decodes to other bytes than its CRC says.
bool Undecoded(const ZipReadingState& s)
{
    const CZipExtraction& f = s.first;
    const bool undecoded = !f.intact || (!f.ownEnd && f.crc != s.header.crc32 && s.header.method != methodAes &&
                                         !f.readAsPlain);
    return s.header.method != methodStored && s.decodable && f.opened && undecoded && !f.refused && !f.stopped;
}

CZipEntryHeader Raw(const ZipReadingState& s) { return ZipRawView(s.header); }

bool ListedDamaged(const ZipReadingState& s) { return ZlibDamaged(s.first); }
bool LocalDamaged(const ZipReadingState& s) { return s.disagree && ZlibDamaged(s.other); }

bool HasTail(const ZipReadingState& s) { return s.found == ZipReadingKind::storedTail && s.tailSize > 0; }

CZipEntryHeader Tail(const ZipReadingState& s)
{
    CZipEntryHeader view = ZipRawView(s.header);
    view.compressedSize = view.uncompressedSize = s.tailSize;
    return view;
}

bool ByOtherListing(const ZipReadingState& s) { return s.found == ZipReadingKind::otherListing; }
bool ByLocalWalk(const ZipReadingState& s) { return s.found == ZipReadingKind::localWalk; }
bool WithoutDirectory(const ZipReadingState& s) { return s.found == ZipReadingKind::withoutDirectory; }

// Restarting inflate past damage costs far more than a reading: the local
// walk may find thousands of damaged entries (headers quoted inside other
// entries' data), so only the first few get it.
bool UnlistedDamaged(const ZipReadingState& s)
{
    return s.found != ZipReadingKind::storedTail && !s.verdict && s.lenientLeft > 0 && ZlibDamaged(s.first);
}

using K = ZipReadingKind;
using M = ZipReadingMode;
using C = ZipReadingCure;

const ZipReadingRow kListed[] = {
    {K::listed, "listed", "the data as the central record says (raw where the method is not decoded)", "always",
     Always, Listed, M::withPassword, nullptr, C::replace, false},
    {K::asLocal, "as local", "the data as the local header says (raw where the method is not decoded)",
     "the local header gives another method, size, encryption or password check than the central record",
     Disagree, AsLocal, M::withPassword, nullptr, C::deletion, false},
    {K::storedAsDeflate, "stored as deflate", "stored data inflated",
     "a stored entry's bytes miss its CRC; handed over where the inflated bytes match it", StoredMissesCrc,
     Inflated, M::once, InflatesToCrc, C::deletion, false},
    {K::raw, "raw", "the bytes as stored",
     "a decoded method's data is damaged, or (without an end marker of its own) misses its CRC", Undecoded, Raw,
     M::once, nullptr, C::deletion, false},
    {K::lenientListed, "lenient", "deflate read on past damage, as the central record says",
     "zlib found the first reading's data damaged", ListedDamaged, Listed, M::lenient, nullptr, C::deletion, false},
    {K::lenientLocal, "lenient as local", "deflate read on past damage, as the local header says",
     "zlib found the local header's reading damaged", LocalDamaged, AsLocal, M::lenient, nullptr, C::deletion,
     false},
};

const ZipReadingRow kFound[] = {
    {K::storedTail, "stored tail", "a listed stored entry's data on to the next entry found",
     "bytes lie between a stored entry's declared end and the next entry", HasTail, Tail, M::once, nullptr,
     C::deletion, false},
    {K::otherListing, "other listing", "an entry as another directory in the stream lists it",
     "its local header lies outside every listed entry's data", ByOtherListing, Found, M::withPassword, nullptr,
     C::erasure, false},
    {K::localWalk, "unlisted", "an entry as its local header says",
     "its local header lies outside every listed entry's data, and no record lists it", ByLocalWalk, Found,
     M::withPassword, nullptr, C::erasure, false},
    {K::withoutDirectory, "local walk", "an entry as its local header says",
     "the stream has no usable directory: every entry is found by its local header", WithoutDirectory, Found,
     M::withPassword, nullptr, C::none, false},
    {K::lenientUnlisted, "lenient unlisted", "such an entry's deflate read on past damage",
     "zlib found its data damaged and the engine gave no verdict (the first 16 of a stream)", UnlistedDamaged,
     Found, M::lenient, nullptr, C::asFirst, true},
};

} // namespace

ZipReadingRows ZipListedReadings() { return {std::begin(kListed), std::end(kListed)}; }

ZipReadingRows ZipFoundReadings() { return {std::begin(kFound), std::end(kFound)}; }

const ZipReadingRow& ZipReading(ZipReadingKind kind)
{
    for (const ZipReadingRow& row : kListed)
        if (row.kind == kind) return row;
    for (const ZipReadingRow& row : kFound)
        if (row.kind == kind) return row;
    return kListed[0];
}

bool ZipReadingReplaces(const ZipReadingRow& row, const ZipReadingState& s, const CZipExtraction& x)
{
    return row.cure == ZipReadingCure::replace && s.decodable && !s.disagree && !x.readAsPlain && x.complete;
}
