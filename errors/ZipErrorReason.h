#pragma once
// Which check refused an archive. The code a CZipException carries is what
// the engine sees and stays as it always was (101 for most of these); the
// reason only tells apart the checks that share a code, for tests, logs and
// the command-line host. Header-only, so a host that links none of the
// module's objects can name the same reasons.
#include <cstdint>

enum class ZipReason : uint8_t {
    none,                         // not recorded (an OS error, a password, a CRC)
    endRecordMissing,             // no end record within reach of the stream's end
    tailUnreadable,               // the stream's tail could not be read while searching
    endRecordCut,                 // the end record runs past the stream's end
    commentCut,                   // the archive comment runs past the stream's end
    zip64ValueTooLarge,           // a ZIP64 field beyond the engine's 16 or 32 bits
    directoryOverlapsEndRecord,   // offset + size reach past where the directory must end
    countDisagreesWithSize,       // entries without a directory size, or a size without entries
    archiveTooFarIn,              // more than 4 GiB in front of the archive
    centralRecordBroken,          // no central signature where a record must start
    localHeaderShared,            // two central records name one local header
    noSuchEntry,                  // an index past the directory
    localHeaderMissing,           // no local signature where the directory points
    localHeaderDisagrees,         // a local header whose fields contradict its central record
    recordCrossesVolume,          // a record's tail lies on the next volume
    descriptorDisagrees,          // a data descriptor contradicting the central record
    entriesOverlap,               // an entry's data runs into the next local header
    streamCut,                    // the stream ends inside a record or an entry's data
    noStream,                     // a read with no stream open
    volumeOutOfReach,             // the bytes wanted are on another volume
    writtenAcrossVolumes,         // a collapsed archive's directory landed off volume 0
    aesExtraMissing,              // an AES entry with no AES extra field in either header
    methodUnsupported,            // no decoder for the entry's method
    encryptedDataTooShort,        // less data than the encryption's salt and code alone
};

// A short fixed text per reason ("" for none); callers compare them verbatim.
constexpr const char* ZipReasonText(ZipReason reason)
{
    switch (reason) {
    case ZipReason::none: return "";
    case ZipReason::endRecordMissing: return "end record missing";
    case ZipReason::tailUnreadable: return "tail of the stream unreadable";
    case ZipReason::endRecordCut: return "end record cut short";
    case ZipReason::commentCut: return "archive comment cut short";
    case ZipReason::zip64ValueTooLarge: return "ZIP64 value too large";
    case ZipReason::directoryOverlapsEndRecord: return "directory overlaps the end record";
    case ZipReason::countDisagreesWithSize: return "entry count disagrees with directory size";
    case ZipReason::archiveTooFarIn: return "archive starts beyond 4 GiB";
    case ZipReason::centralRecordBroken: return "central record broken";
    case ZipReason::localHeaderShared: return "local header shared by two records";
    case ZipReason::noSuchEntry: return "no such entry";
    case ZipReason::localHeaderMissing: return "local header missing";
    case ZipReason::localHeaderDisagrees: return "local header disagrees";
    case ZipReason::recordCrossesVolume: return "record crosses a volume";
    case ZipReason::descriptorDisagrees: return "data descriptor disagrees";
    case ZipReason::entriesOverlap: return "entries overlap";
    case ZipReason::streamCut: return "stream cut short";
    case ZipReason::noStream: return "no stream";
    case ZipReason::volumeOutOfReach: return "volume out of reach";
    case ZipReason::writtenAcrossVolumes: return "written across volumes";
    case ZipReason::aesExtraMissing: return "AES extra field missing";
    case ZipReason::methodUnsupported: return "method unsupported";
    case ZipReason::encryptedDataTooShort: return "encrypted data too short";
    }
    return "";
}

// An offset that is not known.
constexpr uint64_t kZipNoOffset = ~uint64_t(0);
