#include "plugin/ZipEntryExtractor.h"

#include "decoders/ZipArchiveEx.h"
#include "archive/ZipEntryHeader.h"
#include "errors/ZipException.h"
#include "plugin/ZipHostStream.h"

namespace {
constexpr uint32_t kBufferSize = 65536;
} // namespace

CZipEntryExtractor::CZipEntryExtractor(CZipArchiveEx& archiveArg, CZipHostStream& temporaryArg,
                                       VFDecodeCallback& stopArg)
    : archive(archiveArg), temporary(temporaryArg), stop(stopArg)
{
}

CZipExtraction CZipEntryExtractor::Extract(uint16_t index, const CZipEntryHeader& view,
                                           const CZipLocalRecord* local)
{
    return Checked(Run([&] { return archive.OpenEntryAs(index, view, local); }), view);
}

CZipExtraction CZipEntryExtractor::ExtractAt(uint64_t localPosition, const CZipEntryHeader& view,
                                             uint64_t dataLimit)
{
    return Checked(Run([&] { return archive.OpenEntryAt(localPosition, view, dataLimit); }), view);
}

CZipExtraction CZipEntryExtractor::Checked(CZipExtraction x, const CZipEntryHeader& view)
{
    // Decoded undamaged to its end, yet not what the header says.
    if (x.intact && !x.complete && !x.reason) x.reason = x.crc != view.crc32 ? "CRC mismatch" : "size mismatch";
    return x;
}

template <class Open>
CZipExtraction CZipEntryExtractor::Run(Open open)
{
    CZipExtraction x;
    try {
        temporary.SetLength(0);
        temporary.SeekToBegin();
    } catch (const CZipException& e) {
        x.refused = true;
        x.code = e.code;
        return x;
    }
    try {
        x.opened = open();
    } catch (const CZipException& e) {
        x.code = e.code;
        try {
            archive.CloseEntry(nullptr, true);
        } catch (...) {
        }
        return x;
    }
    if (!x.opened) return x;
    Copy(x);
    Close(x);
    try {
        temporary.Flush();
        x.size = static_cast<uint32_t>(temporary.GetLength());
    } catch (const CZipException&) {
        x.refused = true;
        x.complete = false;
    }
    return x;
}

void CZipEntryExtractor::Copy(CZipExtraction& x)
{
    if (buffer.length() != kBufferSize) buffer.Allocate(kBufferSize);
    for (;;) {
        uint32_t n = 0;
        try {
            n = archive.ReadEntry(buffer.data(), kBufferSize);
        } catch (const CZipException& e) {
            x.readFailed = true;
            x.code = e.code;
            return;
        }
        if (n > 0) {
            try {
                temporary.Write(buffer.data(), n);
            } catch (const CZipException& e) {
                // Whatever the engine's stream took is handed over as it is.
                x.refused = true;
                x.code = e.code;
                return;
            }
        }
        if (n < kBufferSize) return;
        // A small entry can decode to gigabytes: the engine's stop request
        // ends it within one buffer.
        if (stop.IsStopRequested()) {
            x.stopped = true;
            return;
        }
    }
}

void CZipEntryExtractor::Close(CZipExtraction& x)
{
    const bool cut = x.readFailed || x.refused || x.stopped;
    const char* decoderReason = nullptr;
    if (const CZipDecoder* decoder = archive.CurrentDecoder()) {
        decoderReason = decoder->StopReason();
        x.crc = decoder->Crc();
        x.intact = !cut && !decoder->Damaged();
        if (x.intact) x.dataEnd = archive.OpenDataEnd();
        x.ownEnd = decoder->FollowsOwnEnd();
    }
    int result = 0;
    try {
        result = archive.CloseEntry(nullptr, x.readFailed);
    } catch (const CZipException& e) {
        x.intact = false;
        if (x.code == 0) x.code = e.code;
        try {
            archive.CloseEntry(nullptr, true);
        } catch (...) {
        }
    }
    x.complete = !cut && result == 1;
    if (x.complete) return;
    if (x.stopped)
        x.reason = "stop requested";
    else if (x.refused)
        x.reason = "the temporary stream took no more";
    else if (decoderReason)
        x.reason = decoderReason;
    else if (x.readFailed)
        x.reason = "read failed";
}
