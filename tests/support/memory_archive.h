#pragma once
// Archives opened over memory: an image copied into a memory stream, the
// archive object over it, and an entry extracted whole into memory.
#include <cstdint>
#include <exception>
#include <memory>
#include <string>
#include <vector>

#include "decoders/ZipArchiveEx.h"
#include "storage/ZipMemStream.h"
#include "support/reason_print.h"
#include "support/zip_builder.h"

// A memory stream holding a copy of the image, positioned at 0.
std::unique_ptr<CZipMemStream> MemoryStream(const Bytes& image);
// What a memory stream holds.
Bytes StreamBytes(CZipMemStream& stream);

// An archive opened over a memory copy of an image, and the open's outcome:
// code 0, or the exception's code and reason. * and -> reach the archive for
// a test that needs it open: they throw the open's exception when it failed.
class MemoryArchive {
public:
    // searchBufferSize, when given, replaces the one the end record is
    // searched with.
    explicit MemoryArchive(const Bytes& image, int searchBufferSize = 0);
    CZipArchiveEx& operator*();
    CZipArchiveEx* operator->() { return &**this; }
    // What the stream holds now.
    Bytes Contents() { return StreamBytes(*stream); }

    std::unique_ptr<CZipMemStream> stream;
    CZipArchiveEx archive;  // also where the open failed
    int code = 0;
    ZipReason reason = ZipReason::none;

private:
    std::exception_ptr failure;
};

// The outcome of one whole-entry extraction into a memory stream.
struct Extraction {
    bool result = false;                 // ExtractEntryToStream's answer
    int code = 0;                        // the exception's code, 0 when none
    ZipReason reason = ZipReason::none;  // and the check that fired
    Bytes bytes;                         // what reached the stream
};
Extraction ExtractToMemory(CZipArchiveEx& archive, uint16_t index, uint32_t bufferSize = 65536);
// The same over an image, with the password when one is given; an open that
// fails is the outcome.
Extraction ExtractFromImage(const Bytes& image, uint16_t index, uint32_t bufferSize = 65536,
                            const char* password = nullptr);

// The extraction loop over an archive image: every entry of one method, by
// name (separators as '/'), with its bytes and ExtractEntryToStream's answer.
struct Extracted : Extraction {
    std::string name;
};
std::vector<Extracted> ExtractAll(const Bytes& image, uint16_t method, uint32_t bufferSize,
                                  const char* password = nullptr);
