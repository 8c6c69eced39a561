// The engine's question "is this object a ZIP archive?": answered by opening
// the archive's central directory over the engine's stream, or, where there
// is no usable one, by the entry the stream starts with.
#include "archive/ZipLocalRecord.h"
#include "decoders/ZipArchiveEx.h"
#include "errors/ZipException.h"
#include "plugin/VFInterfaces.h"
#include "plugin/ZipHostStream.h"

extern "C" int ZipArchive_Recongnize(VFStream* stream, void* ignored, unsigned int baseLow,
                                     int baseHigh, const unsigned char* firstBytes)
{
    (void)ignored;
    // Anything that does not start with the signature's first two bytes is
    // turned away without a single read of the stream.
    if (!stream || !firstBytes || firstBytes[0] != 'P' || firstBytes[1] != 'K') return 0;
    try {
        CZipHostStream adapter(stream, baseLow, baseHigh, nullptr);
        // Opening reads the end record and the whole central directory and
        // writes nothing; the archive is gone again before the adapter.
        CZipArchiveEx archive;
        try {
            archive.Open(adapter, CZipArchive::openExisting);
        } catch (const CZipException& e) {
            // One piece of a multi-volume archive is still a ZIP archive.
            if (e.code == ZipError::tooManyVolumes) return 1;
            // A self-extractor whose offsets count from the stream's start
            // opens there, though its first entry lies at the base.
            if (adapter.Base() > 0) {
                const int64_t base = adapter.Base();
                adapter.SetBase(0);
                try {
                    CZipArchiveEx whole;
                    whole.Open(adapter, CZipArchive::openExisting);
                    if (whole.GetCount() > 0) return 1;
                } catch (const CZipException&) {
                }
                adapter.SetBase(base);
            }
            // So is a stream of entries whose directory is missing or
            // damaged: a streaming reader takes it entry by entry, and so
            // does the cleaning walk.
            CZipLocalRecord first;
            return first.Read(adapter, 0) && first.dataStart <= adapter.GetLength() ? 1 : 0;
        }
        return 1;
    } catch (...) {
        return 0;
    }
}
