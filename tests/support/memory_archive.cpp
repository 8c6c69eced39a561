#include "support/memory_archive.h"

#include <algorithm>

#include "errors/ZipException.h"

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
    return data ? Bytes(data, data + stream.GetLength()) : Bytes();
}

MemoryArchive::MemoryArchive(const Bytes& image, int searchBufferSize) : stream(MemoryStream(image))
{
    if (searchBufferSize) archive.directory.searchBufferSize = searchBufferSize;
    try {
        archive.Open(*stream, CZipArchive::openExisting);
    } catch (const CZipException& e) {
        code = e.code;
        reason = e.reason;
        failure = std::current_exception();
    }
}

CZipArchiveEx& MemoryArchive::operator*()
{
    if (failure) std::rethrow_exception(failure);
    return archive;
}

Extraction ExtractToMemory(CZipArchiveEx& archive, uint16_t index, uint32_t bufferSize)
{
    Extraction out;
    CZipMemStream sink(1u << 20);
    try {
        out.result = archive.ExtractEntryToStream(index, sink, bufferSize);
    } catch (const CZipException& e) {
        out.code = e.code;
        out.reason = e.reason;
    }
    out.bytes = StreamBytes(sink);
    return out;
}

Extraction ExtractFromImage(const Bytes& image, uint16_t index, uint32_t bufferSize, const char* password)
{
    MemoryArchive m(image);
    if (m.code) {
        Extraction failed;
        failed.code = m.code;
        failed.reason = m.reason;
        return failed;
    }
    if (password) m.archive.SetPassword(password);
    return ExtractToMemory(m.archive, index, bufferSize);
}

std::vector<Extracted> ExtractAll(const Bytes& image, uint16_t method, uint32_t bufferSize,
                                  const char* password)
{
    std::vector<Extracted> out;
    CZipMemStream source(65536);
    source.Write(image.data(), static_cast<uint32_t>(image.size()));
    CZipArchiveEx archive;
    archive.Open(source, CZipArchive::openReadOnly);
    archive.SetPassword(password);
    for (uint16_t i = 0; i < archive.GetCount(); ++i) {
        CZipEntryHeader header;
        archive.GetFileInfo(header, i);
        if (header.method != method) continue;
        Extracted x;
        x.name = header.NameAsString();
        std::replace(x.name.begin(), x.name.end(), '\\', '/');
        // Room for the whole entry at the first write, for all but huge ones.
        CZipMemStream sink(std::min<uint32_t>(header.uncompressedSize, 1u << 24) + 1);
        try {
            x.result = archive.ExtractEntryToStream(i, sink, bufferSize);
        } catch (const CZipException& e) {
            x.code = e.code;
        }
        const uint32_t n = static_cast<uint32_t>(sink.GetLength());
        if (n > 0) x.bytes.assign(sink.Data(), sink.Data() + n);
        out.push_back(std::move(x));
    }
    return out;
}
