#pragma once
#include <cstdint>
#include <functional>
#include <vector>

#include "storage/ZipBuffer.h"

class CZipArchive;
class CZipStream;

// The changes one cleaning run makes to an archive in place, collected and
// then carried out at once: an entry replaced by new content, an entry
// deleted, the bytes of content that no central record lists erased.
//
// A replacement is written as soon as it is given, as a new entry behind
// the entries' data (where the old directory stood), under the old entry's
// name byte for byte and with its protection; the old copy goes with the
// deletions. Commit then erases, deletes and writes the directory once.
//
// What the archive was is kept from the first change on (the bytes from the
// directory on, and every entry's name as the directory stored it), so that
// whatever fails, the stream is left either as the original archive byte
// for byte or as an archive whose directory describes what the stream
// holds. Before the first byte changes, every kept entry's extent is
// checked against what the change overwrites or moves; afterwards the
// stream is read back: erased bytes must read as written, kept entries must
// read as before, and a run that wrote nothing in front of the directory is
// compared with the kept bytes to tell whether anything changed.
class CZipEdit {
public:
    // Content that no central record lists, to be made unreadable where it
    // lies: its own bytes (local header, data as far as its reading took it,
    // descriptor) are overwritten with zeros, the local header first.
    // Nothing outside the stretch of unlisted bytes it lies in is touched.
    struct Erasure {
        uint64_t localPosition = 0;         // its local header
        uint64_t readEnd = 0;               // just past the last byte its reading took (0: unknown)
        uint64_t dataLimit = 0;             // its data goes on at most to here
        uint32_t declaredSize = 0;          // compressed size its header (or record) gives
        uint64_t nextKnown = ~uint64_t(0);  // the next entry's local header found behind it
        uint16_t flags = 0;                 // the local header's flags (a descriptor follows?)
        uint32_t crc = 0;                   // CRC-32 of what its reading gave
    };

    // One reading of a kept listed entry, as far as it tells whether its
    // content changed.
    struct Reading {
        bool opened = false;
        bool damaged = false;
        int code = 0;
        uint32_t size = 0;
        uint32_t crc = 0;
        bool operator==(const Reading& o) const
        {
            return opened == o.opened && damaged == o.damaged && code == o.code && size == o.size && crc == o.crc;
        }
    };
    // Every way a reader may take the listed entry at an index, given by the
    // layer that decodes entries; compared before and after an erasure.
    using ReadingsOf = std::function<std::vector<Reading>(uint16_t index)>;

    explicit CZipEdit(CZipArchive& archive);
    CZipEdit(const CZipEdit&) = delete;
    CZipEdit& operator=(const CZipEdit&) = delete;

    // Writes `content` (from its start to its end) as the entry's new copy
    // and deletes the old one at commit. The copy keeps the old name byte
    // for byte, and its protection: a plain entry stays plain (a password
    // given for another entry must not lock it up), an encrypted one is
    // encrypted under the archive's password, a WinZip AES one with AES of
    // the same kind (where its records name none, or where this build
    // cannot write AES, the entry is deleted instead: a weaker encryption
    // would open it, and the password, to cheap attacks). An archive that
    // cannot take an appended entry keeps the entry as it is; a failed
    // write is taken back and tried again, then the entry stays. Throws
    // only what is not a stream or format failure.
    void Replace(uint16_t index, CZipStream& content);
    void Delete(uint16_t index);
    void Erase(const Erasure& erasure) { erasures.push_back(erasure); }

    // Carries everything out: the erasures (listed entries' data found to
    // end at `dataEnds`, by directory index, 0 where not known), the
    // deletions, then the directory. True when the stream changed. Never
    // throws a stream or format failure.
    bool Commit(const std::vector<uint64_t>& dataEnds, const ReadingsOf& readings);
    // Whether anything was written to the stream so far.
    bool Touched() const { return touched; }

private:
    enum class State { unchecked, usable, unusable };

    // Whether a directory written anew will be found again: an archive
    // comment that holds the end record's signature would be taken for the
    // end record by the next reader.
    bool CanRewriteDirectory() const;
    // Looks at the archive once (later calls answer at once); true when
    // entries can be appended: no entry reaches into the bytes from the
    // directory on, which the first appended entry overwrites. Keeps those
    // bytes and every entry's stored name. A failed read, or a host that
    // takes no write, leaves it unchecked, to be tried again.
    bool Prepare();
    // Whether the host takes writes at all, asked before the first byte
    // changes: the first change cuts the old directory off, and a host that
    // then refuses every write would keep the stream without one. The end
    // record's first byte is written again as it stands.
    bool HostTakesWrites();
    // Gives every header the name its central record stores, from the kept
    // directory bytes.
    void TakeStoredNames();
    void NoteWrites();

    // The erasures; true when some bytes stay erased.
    bool EraseUnlisted(const std::vector<uint64_t>& dataEnds, const ReadingsOf& readings);
    // The deletions and the directory; true when the stream changed.
    bool FinishListed();
    // Puts the original bytes back and cuts the stream to its old length;
    // false when nothing was kept or every attempt failed.
    bool RollBack();
    // Writes the directory at the stream's end, every name as stored.
    bool WriteDirectory();
    // Whether the stream holds the original bytes again, for a run that
    // wrote nothing in front of the directory.
    bool Unchanged();

    CZipArchive& archive;
    CZipStream& stream;
    State state = State::unchecked;
    bool writable = false;
    CZipBuffer tail;
    uint64_t tailStart = 0;
    uint64_t originalLength = 0;

    std::vector<uint16_t> deletions;  // sorted
    std::vector<Erasure> erasures;
    // Something was written to the stream; a replacement was appended.
    bool touched = false;
    bool appended = false;
};
