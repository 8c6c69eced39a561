// The self-test export: extracts every entry of an archive file on disk into
// the directory "Test" of the current directory, each file by its file name.

#include "archive/ZipEntryHeader.h"
#include "decoders/ZipArchiveEx.h"
#include "errors/ZipException.h"
#include "platform/ZipLinks.h"
#include "plugin/VFInterfaces.h"

namespace {

constexpr char kTestDirectory[] = "Test";
constexpr uint32_t kExtractBufferSize = 65536;

void ExtractAll(CZipArchiveEx& archive)
{
    const int count = archive.GetCount();
    for (int i = 0; i < count; ++i) {
        const uint16_t index = static_cast<uint16_t>(i);
        CZipEntryHeader header;
        if (!archive.GetFileInfo(header, index)) continue;
        try {
            if (archive.OpenEntry(index)) archive.CloseEntry(nullptr, false);
        } catch (const CZipException&) {
            archive.CloseEntry(nullptr, true);
        }
        try {
            // The file name alone is used (no directories of the entry), and
            // a name that could lead out of the directory is refused there.
            archive.ExtractEntryToFile(index, kTestDirectory, false, nullptr, kExtractBufferSize);
        } catch (const CZipException&) {
            archive.CloseEntry(nullptr, true);
        }
    }
}

} // namespace

extern "C" int TestEntry(const char* path)
{
    try {
        // A link planted in place of the directory would carry every file
        // somewhere else.
        if (IsSymbolicLink(kTestDirectory)) return 0;
        CZipArchiveEx archive;
        try {
            // Read-only: the self-test only reads the archive, and one the
            // process may not write must still be extracted.
            archive.Open(path, CZipArchive::openReadOnly, 0);
        } catch (const CZipException& e) {
            if (e.code != ZipError::tooManyVolumes) return 0;
        }
        ExtractAll(archive);
    } catch (...) {
        // Nothing may cross the export boundary (an exhausted heap included).
    }
    return 0;
}
