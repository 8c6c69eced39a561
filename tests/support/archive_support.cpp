#include "archive_support.h"
#include "support/test_platform.h"

#include "errors/ZipException.h"

namespace archivetest {

Bytes ReadFile(const std::string& path)
{
    return ReadWholeFile(path);
}

void WriteFile(const std::string& path, const Bytes& bytes)
{
    WriteWholeFile(path, bytes);
}

std::unique_ptr<CZipMemStream> MemoryStream(const Bytes& image)
{
    auto stream = std::make_unique<CZipMemStream>(1024);
    if (!image.empty()) stream->Write(image.data(), static_cast<uint32_t>(image.size()));
    stream->SeekToBegin();
    return stream;
}

Bytes StreamBytes(CZipMemStream& stream)
{
    const uint8_t* data = stream.Data();
    uint32_t length = static_cast<uint32_t>(stream.GetLength());
    return data ? Bytes(data, data + length) : Bytes();
}

int MemoryArchive::Open(int searchBufferSize)
{
    if (searchBufferSize) archive.directory.searchBufferSize = searchBufferSize;
    try {
        archive.Open(*stream, CZipArchive::openExisting);
    } catch (const CZipException& e) {
        reason = e.reason;
        return e.code;
    }
    return 0;
}

int OpenCode(const Bytes& image, ZipReason* reason)
{
    MemoryArchive m(image);
    const int code = m.Open();
    if (reason) *reason = m.reason;
    return code;
}

} // namespace archivetest
