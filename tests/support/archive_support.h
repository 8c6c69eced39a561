#pragma once
// Helpers of the archive-engine tests: opening an image over a memory stream.
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "archive/ZipArchive.h"
#include "storage/ZipMemStream.h"
#include "support/reason_print.h"
#include "support/zip_builder.h"

namespace archivetest {

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
