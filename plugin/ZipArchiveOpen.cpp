#include "plugin/ZipArchiveOpen.h"

#include "archive/ZipLocalRecord.h"
#include "archive/ZipUnlisted.h"
#include "errors/ZipException.h"
#include "storage/ZipRetry.h"

namespace {

bool OpenCountingFromStreamStart(CZipHostStream& stream, CZipOpenedArchive& opened)
{
    // A self-extractor whose offsets count from the start of the file (what
    // zip -A makes) does not open at the base where its first entry lies,
    // but does at the stream's start.
    const int64_t base = stream.Base();
    if (base <= 0) return false;
    stream.SetBase(0);
    try {
        opened.archive = std::make_unique<CZipArchiveEx>();
        opened.archive->Open(stream, CZipArchive::openExisting);
        if (opened.archive->GetCount() > 0) {
            opened.countedFromStreamStart = true;
            return true;
        }
    } catch (...) {
    }
    stream.SetBase(base);
    return false;
}

// Whether an entry's local header lies anywhere in the stream.
bool HoldsAnEntry(CZipHostStream& stream)
{
    CZipLocalWalk walk(stream, 0, stream.GetLength());
    CZipUnlistedEntry entry;
    return walk.Next(entry);
}

// anywhere: an entry anywhere in the stream will do; else the stream must
// start with one.
bool OpenWithoutDirectory(CZipHostStream& stream, CZipOpenedArchive& opened, bool anywhere)
{
    try {
        opened.archive = std::make_unique<CZipArchiveEx>();
        opened.archive->OpenWithoutDirectory(stream);
        CZipLocalRecord first;
        if (!first.Read(stream, 0) && !(anywhere && HoldsAnEntry(stream))) return false;
        opened.withoutDirectory = true;
        return true;
    } catch (...) {
        return false;
    }
}

} // namespace

CZipOpenedArchive ZipOpenArchive(CZipHostStream& stream)
{
    CZipOpenedArchive opened;
    int code = 0;
    ZipReason reason = ZipReason::none;
    uint64_t offset = kZipNoOffset;
    try {
        ZipRetry(ZipRetryWork::open, [&] {
            try {
                opened.archive = std::make_unique<CZipArchiveEx>();
                opened.archive->Open(stream, CZipArchive::openExisting);
                code = 0;
                return true;
            } catch (const CZipException& e) {
                code = e.code;
                reason = e.reason;
                offset = e.offset;
                // One piece of a multi-volume archive stays one when asked again.
                return code == ZipError::tooManyVolumes;
            }
        });
    } catch (...) {
        opened.archive.reset();
        return opened;
    }
    if (code == 0) return opened;
    // One piece of a multi-volume archive whose directory lies on another
    // piece: the entries whose local headers lie on this one (all of them,
    // in a whole archive whose disk fields alone say so) are walked by
    // those headers like any stream without a directory. Nothing is walked
    // only where it holds none.
    if (code == ZipError::tooManyVolumes) {
        std::unique_ptr<CZipArchiveEx> piece = std::move(opened.archive);
        if (OpenWithoutDirectory(stream, opened, true)) {
            opened.reason = reason;
            opened.reasonOffset = offset;
            return opened;
        }
        opened.archive = std::move(piece);
        opened.volumePiece = true;
        return opened;
    }
    opened.reason = reason;
    opened.reasonOffset = offset;
    if (OpenCountingFromStreamStart(stream, opened)) {
        opened.reason = ZipReason::none;
        opened.reasonOffset = kZipNoOffset;
        return opened;
    }
    // No usable directory: the entries are still there to be found by
    // their local headers, as a streaming reader finds them.
    if (!OpenWithoutDirectory(stream, opened, false)) opened.archive.reset();
    return opened;
}
