#include "plugin/ZipEntryExtractor.h"

#include "decoders/ZipArchiveEx.h"
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
    return Run([&] { return archive.OpenEntryAs(index, view, local); });
}

CZipExtraction CZipEntryExtractor::ExtractAt(uint64_t localPosition, const CZipEntryHeader& view,
                                             uint64_t dataLimit)
{
    return Run([&] { return archive.OpenEntryAt(localPosition, view, dataLimit); });
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
    if (const CZipDecoder* decoder = archive.CurrentDecoder()) {
        x.crc = decoder->Crc();
        x.intact = !cut && !decoder->Damaged();
        if (x.intact) x.dataEnd = archive.OpenDataEnd();
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
}
