#include "support/zip_builder.h"

#include <cstdio>

#include <zlib.h>

namespace {

void Append(Bytes& b, const Bytes& more) { b.insert(b.end(), more.begin(), more.end()); }
void Append(Bytes& b, const std::string& more) { b.insert(b.end(), more.begin(), more.end()); }

void Append16(Bytes& b, uint32_t value)
{
    b.push_back(static_cast<uint8_t>(value));
    b.push_back(static_cast<uint8_t>(value >> 8));
}

void Append32(Bytes& b, uint32_t value)
{
    Append16(b, value & 0xFFFF);
    Append16(b, value >> 16);
}

constexpr uint16_t kVersionNeeded = 10;
constexpr uint32_t kTimeAndDate = 0x5A216000;  // 12:00, 2025-01-01

} // namespace

ZipLayout BuildZip(const std::vector<ZipEntrySpec>& entries, const ZipBuildOptions& options)
{
    ZipLayout out;
    Bytes& b = out.bytes;
    b = options.prefix;
    const uint32_t base = static_cast<uint32_t>(options.prefix.size());
    const uint32_t shift = options.offsetsCountPrefix ? base : 0;
    struct Said {
        uint32_t crc, compressedSize, uncompressedSize;
    };
    std::vector<Said> said;
    for (const ZipEntrySpec& e : entries) {
        const uint32_t size = static_cast<uint32_t>(e.data.size());
        const uint32_t crc = e.crc ? *e.crc : static_cast<uint32_t>(crc32(0, e.data.data(), static_cast<uInt>(size)));
        said.push_back({crc, e.compressedSize.value_or(size), e.uncompressedSize.value_or(size)});
        const Said& s = said.back();
        out.localOffsets.push_back(static_cast<uint32_t>(b.size()) - base);
        Append32(b, 0x04034B50);
        Append16(b, kVersionNeeded);
        Append16(b, e.localFlags.value_or(e.flags));
        Append16(b, e.localMethod.value_or(e.method));
        Append32(b, kTimeAndDate);
        Append32(b, s.crc);
        Append32(b, e.localCompressedSize.value_or(s.compressedSize));
        Append32(b, e.localUncompressedSize.value_or(s.uncompressedSize));
        Append16(b, static_cast<uint32_t>(e.name.size()));
        const ZipBytes& localExtra = e.localExtra ? *e.localExtra : e.extra;
        Append16(b, static_cast<uint32_t>(localExtra.size()));
        Append(b, e.name);
        Append(b, localExtra);
        Append(b, e.data);
        if (e.descriptor) {
            Append32(b, 0x08074B50);
            Append32(b, s.crc);
            Append32(b, s.compressedSize);
            Append32(b, s.uncompressedSize);
        }
    }
    out.directoryOffset = static_cast<uint32_t>(b.size());
    std::vector<size_t> order = options.centralOrder;
    if (order.empty())
        for (size_t i = 0; i < entries.size(); ++i) order.push_back(i);
    uint16_t listed = 0;
    for (size_t i : order) {
        const ZipEntrySpec& e = entries[i];
        if (e.unlisted) continue;
        ++listed;
        out.centralOffsets.push_back(static_cast<uint32_t>(b.size()));
        Append32(b, 0x02014B50);
        Append16(b, e.versionMadeBy);
        Append16(b, kVersionNeeded);
        Append16(b, e.flags);
        Append16(b, e.method);
        Append32(b, kTimeAndDate);
        Append32(b, said[i].crc);
        Append32(b, said[i].compressedSize);
        Append32(b, said[i].uncompressedSize);
        Append16(b, static_cast<uint32_t>(e.name.size()));
        Append16(b, static_cast<uint32_t>(e.extra.size()));
        Append16(b, static_cast<uint32_t>(e.comment.size()));
        Append32(b, 0);  // disk, internal attributes
        Append32(b, e.externalAttributes);
        Append32(b, out.localOffsets[i] + shift);
        Append(b, e.name);
        Append(b, e.extra);
        Append(b, e.comment);
    }
    out.endOffset = static_cast<uint32_t>(b.size());
    Append32(b, 0x06054B50);
    Append32(b, 0);  // disks
    Append16(b, listed);
    Append16(b, listed);
    Append32(b, out.endOffset - out.directoryOffset);
    Append32(b, out.directoryOffset - base + shift);
    Append16(b, static_cast<uint32_t>(options.comment.size()));
    Append(b, options.comment);
    return out;
}

ZipLayout BuildMany(uint32_t count)
{
    std::vector<ZipEntrySpec> entries;
    entries.reserve(count);
    char name[32];
    for (uint32_t i = 0; i < count; ++i) {
        std::snprintf(name, sizeof name, "dir/f%05u.txt", i);
        entries.push_back({name, std::to_string(i), 20, 0x20, ""});
    }
    return BuildZip(entries);
}

Bytes Zip64Framed(Bytes archive, uint16_t disk, uint64_t count)
{
    const size_t end = archive.size() - 22;
    if (count == 0) count = Get16(archive, end + 10);
    auto put64 = [](Bytes& image, size_t at, uint64_t value) {
        Put32(image, at, static_cast<uint32_t>(value));
        Put32(image, at + 4, static_cast<uint32_t>(value >> 32));
    };
    Bytes z(56 + 20, 0);
    Put32(z, 0, 0x06064b50);
    put64(z, 4, 44);  // the record's size after this field
    Put16(z, 12, 45);
    Put16(z, 14, 45);
    put64(z, 24, count);
    put64(z, 32, count);
    put64(z, 40, Get32(archive, end + 12));
    put64(z, 48, Get32(archive, end + 16));
    Put32(z, 56, 0x07064b50);
    put64(z, 64, end);
    Put32(z, 72, 1);
    Put16(archive, end + 4, disk);
    Put16(archive, end + 8, 0xFFFF);
    Put16(archive, end + 10, 0xFFFF);
    Put32(archive, end + 12, 0xFFFFFFFF);
    Put32(archive, end + 16, 0xFFFFFFFF);
    archive.insert(archive.begin() + static_cast<std::ptrdiff_t>(end), z.begin(), z.end());
    return archive;
}

void Put16(Bytes& image, size_t at, uint16_t value)
{
    for (size_t i = 0; i < 2; ++i) image.at(at + i) = static_cast<uint8_t>(value >> (8 * i));
}

void Put32(Bytes& image, size_t at, uint32_t value)
{
    for (size_t i = 0; i < 4; ++i) image.at(at + i) = static_cast<uint8_t>(value >> (8 * i));
}

uint16_t Get16(const Bytes& image, size_t at)
{
    return static_cast<uint16_t>(image.at(at) | (image.at(at + 1) << 8));
}

uint32_t Get32(const Bytes& image, size_t at)
{
    return Get16(image, at) | (static_cast<uint32_t>(Get16(image, at + 2)) << 16);
}
