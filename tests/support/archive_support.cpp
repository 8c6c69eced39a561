#include "archive_support.h"
#include "support/test_platform.h"

#include <cstdio>

#include <zlib.h>

#include "errors/ZipException.h"

namespace archivetest {

void Put16(Bytes& b, size_t at, uint16_t v)
{
    b[at] = static_cast<uint8_t>(v);
    b[at + 1] = static_cast<uint8_t>(v >> 8);
}

void Put32(Bytes& b, size_t at, uint32_t v)
{
    for (int i = 0; i < 4; ++i) b[at + i] = static_cast<uint8_t>(v >> (8 * i));
}

uint16_t Get16(const Bytes& b, size_t at)
{
    return static_cast<uint16_t>(b[at] | (b[at + 1] << 8));
}

uint32_t Get32(const Bytes& b, size_t at)
{
    uint32_t v = 0;
    for (int i = 3; i >= 0; --i) v = (v << 8) | b[at + i];
    return v;
}

namespace {

void Append(Bytes& b, const std::string& s)
{
    b.insert(b.end(), s.begin(), s.end());
}

size_t Grow(Bytes& b, size_t n)
{
    size_t at = b.size();
    b.resize(at + n, 0);
    return at;
}

} // namespace

Layout BuildStored(const std::vector<EntrySpec>& entries, const BuildOptions& options)
{
    Layout out;
    Bytes& b = out.bytes;
    b = options.prefix;
    const uint32_t base = static_cast<uint32_t>(options.prefix.size());
    std::vector<uint32_t> crcs;
    for (const EntrySpec& e : entries) {
        uint32_t crc = static_cast<uint32_t>(
            crc32(0, reinterpret_cast<const Bytef*>(e.data.data()), static_cast<uInt>(e.data.size())));
        crcs.push_back(crc);
        size_t at = Grow(b, 30);
        out.localOffsets.push_back(static_cast<uint32_t>(at) - base);
        Put32(b, at, 0x04034B50);
        Put16(b, at + 4, 10);
        Put16(b, at + 8, 0);
        Put16(b, at + 10, 0x6000);  // 12:00
        Put16(b, at + 12, 0x5A21);  // 2025-01-01
        Put32(b, at + 14, crc);
        Put32(b, at + 18, static_cast<uint32_t>(e.data.size()));
        Put32(b, at + 22, static_cast<uint32_t>(e.data.size()));
        Put16(b, at + 26, static_cast<uint16_t>(e.name.size()));
        Append(b, e.name);
        Append(b, e.data);
    }
    out.directoryOffset = static_cast<uint32_t>(b.size());
    std::vector<size_t> order = options.centralOrder;
    if (order.empty())
        for (size_t i = 0; i < entries.size(); ++i) order.push_back(i);
    for (size_t i : order) {
        const EntrySpec& e = entries[i];
        size_t at = Grow(b, 46);
        out.centralOffsets.push_back(static_cast<uint32_t>(at));
        Put32(b, at, 0x02014B50);
        Put16(b, at + 4, e.versionMadeBy);
        Put16(b, at + 6, 10);
        Put16(b, at + 12, 0x6000);
        Put16(b, at + 14, 0x5A21);
        Put32(b, at + 16, crcs[i]);
        Put32(b, at + 20, static_cast<uint32_t>(e.data.size()));
        Put32(b, at + 24, static_cast<uint32_t>(e.data.size()));
        Put16(b, at + 28, static_cast<uint16_t>(e.name.size()));
        Put16(b, at + 32, static_cast<uint16_t>(e.comment.size()));
        Put32(b, at + 38, e.externalAttributes);
        Put32(b, at + 42, out.localOffsets[i]);
        Append(b, e.name);
        Append(b, e.comment);
    }
    out.endOffset = static_cast<uint32_t>(b.size());
    size_t at = Grow(b, 22);
    Put32(b, at, 0x06054B50);
    Put16(b, at + 8, static_cast<uint16_t>(order.size()));
    Put16(b, at + 10, static_cast<uint16_t>(order.size()));
    Put32(b, at + 12, out.endOffset - out.directoryOffset);
    Put32(b, at + 16, out.directoryOffset - base);
    Put16(b, at + 20, static_cast<uint16_t>(options.comment.size()));
    Append(b, options.comment);
    return out;
}

Layout BuildMany(uint32_t count)
{
    std::vector<EntrySpec> entries;
    entries.reserve(count);
    char name[32];
    for (uint32_t i = 0; i < count; ++i) {
        std::snprintf(name, sizeof name, "dir/f%05u.txt", i);
        entries.push_back({name, std::to_string(i), 20, 0x20, ""});
    }
    return BuildStored(entries);
}

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
