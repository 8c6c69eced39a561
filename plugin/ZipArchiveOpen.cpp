#include "plugin/ZipArchiveOpen.h"

#include "archive/ZipLocalRecord.h"
#include "errors/ZipException.h"
#include "storage/ZipRetry.h"

namespace {

constexpr int openAttempts = ZipRetryAttempts(ZipRetryWork::open);

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

bool OpenWithoutDirectory(CZipHostStream& stream, CZipOpenedArchive& opened)
{
    try {
        opened.archive = std::make_unique<CZipArchiveEx>();
        opened.archive->OpenWithoutDirectory(stream);
        // Only a stream that starts with an entry is taken for an archive.
        CZipLocalRecord first;
        if (!first.Read(stream, 0)) return false;
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
    for (int attempt = 1;; ++attempt) {
        try {
            opened.archive = std::make_unique<CZipArchiveEx>();
            opened.archive->Open(stream, CZipArchive::openExisting);
            return opened;
        } catch (const CZipException& e) {
            // One piece of a multi-volume archive: nothing to walk, unless
            // the stream starts with an entry (a whole archive whose disk
            // fields alone say so, its directory damaged): then it is
            // walked by its local headers like any stream without one.
            if (e.code == ZipError::tooManyVolumes) {
                std::unique_ptr<CZipArchiveEx> piece = std::move(opened.archive);
                if (OpenWithoutDirectory(stream, opened)) {
                    opened.reason = e.reason;
                    opened.reasonOffset = e.offset;
                    return opened;
                }
                opened.archive = std::move(piece);
                opened.volumePiece = true;
                return opened;
            }
            if (attempt < openAttempts) continue;
            opened.reason = e.reason;
            opened.reasonOffset = e.offset;
        } catch (...) {
            opened.archive.reset();
            return opened;
        }
        if (OpenCountingFromStreamStart(stream, opened)) {
            opened.reason = ZipReason::none;
            opened.reasonOffset = kZipNoOffset;
            return opened;
        }
        // No usable directory: the entries are still there to be found by
        // their local headers, as a streaming reader finds them.
        if (!OpenWithoutDirectory(stream, opened)) opened.archive.reset();
        return opened;
    }
}
