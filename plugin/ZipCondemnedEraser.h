#pragma once
#include <cstdint>
#include <vector>

class CZipArchiveEx;
class CZipStream;

// Content that no central record lists and that the engine condemned, made
// unreadable where it lies: its own bytes (local header, data as far as its
// reading took it, descriptor) are overwritten with zeros, the local header
// first. Nothing else moves, and nothing outside the stretch of unlisted
// bytes the content lies in is touched: no listed entry's local header,
// data or descriptor, no directory or end record, no other entry found by
// its local header. Every kept listed entry whose data could reach into an
// erased stretch is read before and after; where its reading changed, the
// original bytes are put back.
class CZipCondemnedEraser {
public:
    struct Content {
        uint64_t localPosition = 0;  // its local header
        uint64_t readEnd = 0;        // just past the last byte its reading took (0: unknown)
        uint64_t dataLimit = 0;      // its data goes on at most to here
        uint32_t declaredSize = 0;   // compressed size its header (or record) gives
        uint64_t nextKnown = ~uint64_t(0);  // the next entry's local header found behind it
        uint16_t flags = 0;          // the local header's flags (a descriptor follows?)
        uint32_t crc = 0;            // CRC-32 of what its reading gave
    };

    void Add(const Content& content) { contents.push_back(content); }
    // Where each listed entry's data was found to end (by directory index,
    // 0: not known): the stretches of unlisted bytes begin there.
    void KnowDataEnds(const std::vector<uint64_t>& ends) { dataEnds = ends; }
    bool Empty() const { return contents.empty(); }

    // Erases every condemned content it can. `kept` tells which listed
    // entries stay (those deleted or replaced need no care); `structuresGone`
    // says that the bytes from the old directory on were overwritten (an
    // entry was appended), so nothing there is erased. True when some bytes
    // stay erased. Never throws.
    bool Erase(CZipArchiveEx& archive, CZipStream& stream, const std::vector<bool>& kept, bool structuresGone);

private:
    std::vector<Content> contents;
    std::vector<uint64_t> dataEnds;
};
