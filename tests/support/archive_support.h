#pragma once
// Helpers of the archive-engine tests: archives built byte by byte (so that
// damaged ones can be made on purpose), archives made by real archivers, and
// opening an image over a memory stream.
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "archive/ZipArchive.h"
#include "storage/ZipMemStream.h"
#include "support/reason_print.h"

namespace archivetest {

using Bytes = std::vector<uint8_t>;

struct EntrySpec {
    std::string name;
    std::string data;
    uint16_t versionMadeBy = 20;  // system id in the high byte
    uint32_t externalAttributes = 0;
    std::string comment;
};

struct BuildOptions {
    Bytes prefix;                    // foreign bytes in front (offsets not adjusted)
    std::string comment;             // archive comment
    std::vector<size_t> centralOrder;  // order of the central records (default: entry order)
};

// A stored archive and where its records went (offsets within the image).
struct Layout {
    Bytes bytes;
    std::vector<uint32_t> localOffsets;    // relative to the archive start
    std::vector<uint32_t> centralOffsets;  // image offsets, in central order
    uint32_t directoryOffset = 0;          // image offset
    uint32_t endOffset = 0;                // image offset of the end record
};

Layout BuildStored(const std::vector<EntrySpec>& entries, const BuildOptions& options = {});
// n entries named like "dir/f00001.txt", each holding a few bytes.
Layout BuildMany(uint32_t count);

void Put16(Bytes& b, size_t at, uint16_t v);
void Put32(Bytes& b, size_t at, uint32_t v);
uint16_t Get16(const Bytes& b, size_t at);
uint32_t Get32(const Bytes& b, size_t at);

Bytes ReadFile(const std::string& path);
void WriteFile(const std::string& path, const Bytes& bytes);

// A memory stream holding a copy of the image, positioned at 0.
std::unique_ptr<CZipMemStream> MemoryStream(const Bytes& image);
Bytes StreamBytes(CZipMemStream& stream);

// An archive opened over a memory copy of an image.
struct MemoryArchive {
    explicit MemoryArchive(const Bytes& image) : stream(MemoryStream(image)) {}
    // 0 when the open succeeds, else the CZipException code (its reason in
    // reason).
    int Open(int searchBufferSize = 0);
    Bytes Contents() { return StreamBytes(*stream); }

    std::unique_ptr<CZipMemStream> stream;
    CZipArchive archive;
    ZipReason reason = ZipReason::none;
};

// Opens an image and returns 0 or the exception code (its reason in reason).
int OpenCode(const Bytes& image, ZipReason* reason = nullptr);

} // namespace archivetest
