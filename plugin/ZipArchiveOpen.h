#pragma once
#include <cstdint>
#include <memory>

#include "decoders/ZipArchiveEx.h"
#include "errors/ZipErrorReason.h"
#include "plugin/ZipHostStream.h"

// How an engine stream was opened as an archive.
struct CZipOpenedArchive {
    // Null when the stream is no archive the module walks.
    std::unique_ptr<CZipArchiveEx> archive;
    // The stream has no usable directory: only local headers lead to entries.
    bool withoutDirectory = false;
    // The directory's offsets count from the engine stream's start, not
    // from the base (a self-extractor adjusted with zip -A); the stream's
    // base was moved to 0.
    bool countedFromStreamStart = false;
    // One piece of a multi-volume set that holds no entry: nothing is walked.
    bool volumePiece = false;
    // Why the directory could not be used, and where that was found (none
    // when it was).
    ZipReason reason = ZipReason::none;
    uint64_t reasonOffset = kZipNoOffset;
};

// Opens the archive in an engine stream the one way every walk of the
// module does: its directory at the stream's base; failing that (after one
// more try, as one failed host read must not leave the archive unscanned),
// a directory whose offsets count from the stream's start; failing that, a
// stream that starts with a local header (or, in a piece of a multi-volume
// set, holds one anywhere), walked by its local headers as a streaming
// reader does. Never throws.
CZipOpenedArchive ZipOpenArchive(CZipHostStream& stream);
