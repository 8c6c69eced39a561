#pragma once
// Every way the cleaning walk reads an entry's data, as one table. A listed
// entry is read as its central record says, then by each further row that
// applies, until the engine gives a verdict; content no central record lists
// is read as the row of the way it was found says. A construct that hides
// content from one reading becomes one row here: what it reads, when it
// applies, and how a verdict on it is carried out.
#include <cstddef>
#include <cstdint>

#include "archive/ZipEntryHeader.h"
#include "decoders/ZipArchiveEx.h"
#include "decoders/ZipExtraction.h"

enum class ZipReadingKind : uint8_t {
    // A listed entry's readings, in the order they are tried.
    listed,           // as the central record says
    asLocal,          // as the local header says, where the two differ
    storedAsDeflate,  // stored bytes that miss their CRC, inflated
    raw,              // the bytes as stored, where they do not decode
    lenientListed,    // deflate read on past damage, as listed
    lenientLocal,     // deflate read on past damage, as the local header says
    // Content found behind a listed entry, or by local headers alone.
    storedTail,       // the bytes behind a stored entry's declared size
    otherListing,     // an entry another directory in the stream lists
    localWalk,        // an entry only its local header leads to
    withoutDirectory, // an entry of a stream whose directory is not usable
    lenientUnlisted,  // such content's deflate read on past damage
};

// How a reading is taken.
enum class ZipReadingMode : uint8_t {
    // Asks the engine for a password where one is needed; an encryption
    // flag on data that is not encrypted is read as plain data.
    withPassword,
    once,     // one extraction as the view says
    lenient,  // one extraction with deflate read on past damage
};

// How the engine's verdict on a reading is carried out.
enum class ZipReadingCure : uint8_t {
    // A cure replaces the listed entry where this reading is its whole
    // content (see ZipReadingReplaces); otherwise the entry is deleted.
    replace,
    // Any verdict deletes the listed entry: a cured copy of one of two
    // readings (or of a part) would not be what the archive held.
    deletion,
    // The content's bytes are made unreadable (no record lists them).
    erasure,
    // Nothing changes: the stream has no directory that would describe it.
    none,
    // As the content's first reading says.
    asFirst,
};

// What the rows look at while one entry (or one found content) is read.
struct ZipReadingState {
    // As the central record says; for found content, as its local header.
    CZipEntryHeader header;
    // As the local header says (the central record with the local header's
    // fields applied).
    CZipEntryHeader asLocal;
    // The WinZip AES block of the local header, where it has one.
    const ZipAesInfo* localAes = nullptr;
    bool disagree = false;   // the two headers lead to different readings
    bool decodable = false;  // the module decodes the header's method
    // How the content was found (a found-content row's kind).
    ZipReadingKind found = ZipReadingKind::listed;
    // Bytes from a stored entry's data start up to the next entry.
    uint32_t tailSize = 0;
    // Lenient readings left for content no record lists.
    int lenientLeft = 0;
    // A verdict was given on an earlier reading of the content.
    bool verdict = false;
    CZipExtraction first;  // the first reading
    CZipExtraction other;  // the local header's reading

    // Keeps a reading the later rows look at.
    void Took(ZipReadingKind kind, const CZipExtraction& x);
};

struct ZipReadingRow {
    ZipReadingKind kind;
    const char* name;
    const char* reads;  // what is read
    const char* when;   // when it applies
    bool (*applies)(const ZipReadingState&);
    // The header the data is read as.
    CZipEntryHeader (*view)(const ZipReadingState&);
    ZipReadingMode mode;
    // Whether the reading is handed over to the engine; null: always.
    bool (*handOver)(const ZipReadingState&, const CZipExtraction&);
    ZipReadingCure cure;
    // Each reading taken counts against ZipReadingState::lenientLeft.
    bool budgeted;
};

// A run of rows.
struct ZipReadingRows {
    const ZipReadingRow* first;
    const ZipReadingRow* last;
    const ZipReadingRow* begin() const { return first; }
    const ZipReadingRow* end() const { return last; }
};

// A listed entry's rows, in the order they are tried; the first verdict
// ends the entry.
ZipReadingRows ZipListedReadings();
// Found content's rows: the one of the way it was found, then the rest.
ZipReadingRows ZipFoundReadings();
// One row by its kind.
const ZipReadingRow& ZipReading(ZipReadingKind kind);

// Whether a cure under `row` replaces the listed entry by the reading `x`:
// an undamaged, complete reading of the one content both headers describe.
bool ZipReadingReplaces(const ZipReadingRow& row, const ZipReadingState& s, const CZipExtraction& x);

// The entry's bytes exactly as stored, encryption header and all.
CZipEntryHeader ZipRawView(const CZipEntryHeader& header);

// Whether two headers of one entry lead to different readings of its data
// (the data always starts where the local header's own lengths put it).
bool ZipReadDifferently(const CZipEntryHeader& a, const CZipEntryHeader& b);
