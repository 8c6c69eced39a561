// The self-test export: extracts every entry of an archive file on disk into
// the directory "Test" of the current directory, each file by its file name.
//
// Whoever owns the folder the self-test runs in could swap "Test", or a
// file in it, for a link between any check and the write; a run with more
// rights than theirs would then write an entry's bytes anywhere. So every
// folder is opened without following links and held, and every file is
// created anew relative to it, exclusively and without following a link
// (platform/ZipSafeFiles.h): a swap can only make an extraction fail.

#include <string>
#include <vector>

#include "archive/ZipEntryHeader.h"
#include "archive/ZipPath.h"
#include "decoders/ZipArchiveEx.h"
#include "errors/ZipException.h"
#include "platform/ZipSafeFiles.h"
#include "plugin/VFInterfaces.h"
#include "storage/ZipBuffer.h"

namespace {

constexpr char kTestDirectory[] = "Test";
constexpr uint32_t kExtractBufferSize = 65536;

// The components of the path, below "Test", that an entry is extracted to
// (its file name alone, as the archive engine names it); false for a name
// that could lead out of the folder or name a device.
bool TargetComponents(CZipArchiveEx& archive, const std::string& name, std::vector<std::string>& components)
{
    const std::string target = archive.GetExtractedName(name.c_str(), kTestDirectory, false, nullptr);
    const std::string prefix = std::string(kTestDirectory) + '\\';
    if (target.compare(0, prefix.size(), prefix) != 0) return target == kTestDirectory;
    std::string part;
    for (char c : target.substr(prefix.size()) + '\\') {
        if (c != '\\' && c != '/') {
            part += c;
            continue;
        }
        if (part.empty()) continue;
        if (part.size() >= 2 && part[1] == ':') return false;  // a drive
        if (IsUnsafePathComponent(part)) return false;
        components.push_back(part);
        part.clear();
    }
    return true;
}

// The folder the components lead to, every one of them opened without
// following links (made where missing).
bool OpenFolders(const CZipFolder& test, const std::vector<std::string>& path, CZipFolder& out)
{
    if (path.empty()) return false;
    std::vector<CZipFolder> chain(path.size() - 1);
    for (size_t i = 0; i + 1 < path.size(); ++i)
        if (!chain[i].Open(i == 0 ? test : chain[i - 1], path[i].c_str())) return false;
    return out.Open(path.size() == 1 ? test : chain.back(), path.back().c_str());
}

// "Test", made and held once the first entry needs it; none when it cannot
// be (a link in its place included).
class TestFolder {
public:
    const CZipFolder* Get()
    {
        if (!tried) {
            tried = true;
            folder.Open(kTestDirectory);
        }
        return folder.IsOpen() ? &folder : nullptr;
    }

private:
    CZipFolder folder;
    bool tried = false;
};

// Extracts one entry below "Test".
void ExtractEntry(CZipArchiveEx& archive, uint16_t index, const CZipEntryHeader& header, TestFolder& testFolder,
                  CZipBuffer& buffer)
{
    std::vector<std::string> components;
    if (!TargetComponents(archive, header.NameAsString(), components)) return;
    if (header.IsDirectory()) {
        const CZipFolder* test = testFolder.Get();
        CZipFolder folder;
        if (test && !components.empty() && OpenFolders(*test, components, folder))
            folder.SetAttributes(header.LocalAttributes());
        return;
    }
    if (components.empty()) return;
    if (!archive.OpenEntry(index)) return;
    CZipNewFile file;
    try {
        const CZipFolder* test = testFolder.Get();
        CZipFolder parentHolder;
        const std::vector<std::string> parents(components.begin(), components.end() - 1);
        const bool placed = test && (parents.empty() || OpenFolders(*test, parents, parentHolder)) &&
                            file.Create(parents.empty() ? *test : parentHolder, components.back().c_str());
        if (!placed) {
            archive.CloseEntry(nullptr, true);
            return;
        }
        for (;;) {
            const uint32_t n = archive.ReadEntry(buffer.data(), buffer.length());
            if (n > 0 && !file.Write(buffer.data(), n)) {
                archive.CloseEntry(nullptr, true);
                return;
            }
            if (n < buffer.length()) break;
        }
        archive.CloseEntry(nullptr, false);
    } catch (const CZipException&) {
        // Damaged data: what was decoded stays in the file, as it is.
        archive.CloseEntry(nullptr, true);
        return;
    }
    file.Finish(header.GetModificationTime(), header.LocalAttributes());
}

void ExtractAll(CZipArchiveEx& archive)
{
    TestFolder test;
    CZipBuffer buffer(kExtractBufferSize);
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
            ExtractEntry(archive, index, header, test, buffer);
        } catch (const CZipException&) {
            archive.CloseEntry(nullptr, true);
        }
    }
}

} // namespace

extern "C" int TestEntry(const char* path)
{
    try {
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
