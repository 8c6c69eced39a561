#include "plugin/ZipCleaningJournal.h"

#include "archive/ZipConstants.h"
#include "archive/ZipLocalRecord.h"
#include "decoders/ZipArchiveEx.h"
#include "decoders/ZipReadings.h"
#include "errors/ZipException.h"

using namespace ZipFormat;

CZipCleaningJournal::CZipCleaningJournal(CZipArchiveEx& archiveArg)
    : archive(archiveArg), edit(archiveArg)
{
}

bool CZipCleaningJournal::Finish(const std::vector<uint64_t>& dataEnds)
{
    return edit.Commit(dataEnds, [this](uint16_t index) { return ReadingsOf(index); });
}

CZipEdit::Reading CZipCleaningJournal::ReadOnce(uint16_t index, const CZipEntryHeader& view)
{
    CZipEdit::Reading r;
    auto take = [&] {
        if (const CZipDecoder* decoder = archive.CurrentDecoder()) {
            r.crc = decoder->Crc();
            r.size = decoder->Delivered();
            r.damaged = decoder->Damaged();
        }
    };
    try {
        r.opened = archive.OpenEntryAs(index, view);
        if (!r.opened) return r;
        while (archive.ReadEntry(buffer.data(), buffer.length()) == buffer.length()) {
        }
        take();
        archive.CloseEntry(nullptr, true);
    } catch (const CZipException& e) {
        r.code = e.code;
        take();
        try {
            archive.CloseEntry(nullptr, true);
        } catch (...) {
        }
    }
    return r;
}

std::vector<CZipEdit::Reading> CZipCleaningJournal::ReadingsOf(uint16_t index)
{
    std::vector<CZipEdit::Reading> readings;
    if (buffer.empty()) buffer.Allocate(65536);
    CZipEntryHeader header;
    if (!archive.GetFileInfo(header, index)) return readings;
    std::vector<CZipEntryHeader> views{header};
    CZipLocalRecord local;
    bool haveLocal = false;
    try {
        haveLocal = archive.ReadLocalRecord(index, local);
    } catch (const CZipException&) {
    }
    if (haveLocal) {
        CZipEntryHeader asLocal(header);
        local.ApplyTo(asLocal);
        views.push_back(asLocal);
    }
    views.push_back(ZipRawView(header));
    for (CZipEntryHeader& view : views) {
        if (!ZipReadsEntry(view)) view = ZipRawView(view);
        readings.push_back(ReadOnce(index, view));
    }
    return readings;
}
