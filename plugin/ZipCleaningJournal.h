#pragma once
#include <cstdint>
#include <unordered_map>
#include <string>

#include "storage/ZipBuffer.h"

class CZipArchive;
class CZipAddRequest;
class CZipEntryHeader;
class CZipStream;

// What a cleaning run keeps of the archive as it found it, so that its work
// can be undone or described whatever happens:
// - whether the archive can take appended entries at all: no entry may
//   reach into the bytes from the central directory on, which the first
//   appended entry overwrites;
// - those bytes themselves (the directory, the end record and whatever
//   follows), so that the original archive can be put back byte for byte;
// - every entry's name exactly as the central directory stored it, so that
//   rewriting the directory renames nothing (names held in memory went
//   through a code page conversion that not every name survives).
class CZipCleaningJournal {
public:
    enum class State { unchecked, usable, unusable };

    // Whether a directory written anew will be found again: an archive
    // comment that holds the end record's signature would be taken for the
    // end record by the next reader.
    static bool CanRewriteDirectory(const CZipArchive& archive);

    // Looks at the archive once (later calls answer at once); true when
    // entries can be appended. A failed read, or a host that takes no
    // write, leaves it unchecked, to be tried again.
    bool Prepare(CZipArchive& archive, CZipStream& stream);

    // Whether the host takes writes at all, asked before the first byte
    // changes: the first change cuts the old directory off, and a host that
    // then refuses every write would keep the stream without one. The end
    // record's first byte is written again as it stands. Once a write was
    // taken, later calls answer at once.
    bool HostTakesWrites(CZipArchive& archive, CZipStream& stream);
    State GetState() const { return state; }

    // Puts the original bytes back and cuts the stream to its old length.
    // Throws on stream failures; false when nothing was kept.
    bool Restore(CZipArchive& archive, CZipStream& stream);

    // Whether the stream holds the original bytes again, for a run that
    // wrote nothing in front of the directory (only deleting moves bytes
    // there): its length and the kept bytes are compared. False when
    // nothing was kept or the stream cannot be read.
    bool Unchanged(CZipStream& stream);

    // Gives a request for the cured copy of an entry that entry's stored
    // name, and the new entry (once added) the same.
    void NameLike(const CZipEntryHeader* original, CZipAddRequest& request) const;
    void Remember(const CZipEntryHeader* added, const CZipAddRequest& request);

    // Writes the central directory and the end record at the end of the
    // stream, every name as stored. Throws on stream failures.
    void WriteDirectory(CZipArchive& archive);

private:
    struct StoredName {
        std::string bytes;
        bool utf8;
    };
    void TakeNames(CZipArchive& archive);

    State state = State::unchecked;
    bool writable = false;
    CZipBuffer tail;
    uint64_t tailStart = 0;
    uint64_t originalLength = 0;
    std::unordered_map<const CZipEntryHeader*, StoredName> names;
};
