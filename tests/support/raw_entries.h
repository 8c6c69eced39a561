#pragma once
// Entries as their archive holds them, read by hand from the end record,
// the central records and the local headers, not through the module, so
// that what the module decodes is held against an independent reading: the
// central record's fields and the compressed bytes from where the local
// header puts them. The one raw-entry reader of the tests and the
// benchmarks; header-only, so that a harness that does not link the test
// kit can use it.
#include <cstdint>
#include <fstream>
#include <functional>
#include <iterator>
#include <string>
#include <vector>

namespace raw {

struct RawEntry {
    std::string name;  // the name's bytes as stored
    uint16_t method = 0;
    uint16_t flags = 0;
    uint32_t crc32 = 0;
    uint32_t uncompressedSize = 0;
    uint64_t dataStart = 0;     // file position of the compressed bytes
    std::vector<uint8_t> data;  // the compressed bytes
};

inline uint16_t Get16At(const std::vector<uint8_t>& b, size_t at)
{
    return static_cast<uint16_t>(b[at] | (b[at + 1] << 8));
}
inline uint32_t Get32At(const std::vector<uint8_t>& b, size_t at)
{
    return static_cast<uint32_t>(Get16At(b, at)) | (static_cast<uint32_t>(Get16At(b, at + 2)) << 16);
}

// The entries of a single-volume archive file without ZIP64 that `want`
// takes (all when none is given), in directory order; none when a record
// is broken or the file holds no end record.
inline std::vector<RawEntry> ReadRawEntries(const std::string& path,
                                            const std::function<bool(const RawEntry&)>& want = {})
{
    std::vector<RawEntry> entries;
    std::ifstream in(path, std::ios::binary);
    const std::vector<uint8_t> file((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    if (file.size() < 22) return entries;
    size_t end = file.size() - 22;
    for (;;) {
        if (Get32At(file, end) == 0x06054B50) break;
        if (end == 0) return entries;
        --end;
    }
    const uint16_t count = Get16At(file, end + 10);
    size_t pos = Get32At(file, end + 16);
    for (uint16_t i = 0; i < count; ++i) {
        if (pos + 46 > file.size() || Get32At(file, pos) != 0x02014B50) return {};
        RawEntry e;
        e.flags = Get16At(file, pos + 8);
        e.method = Get16At(file, pos + 10);
        e.crc32 = Get32At(file, pos + 16);
        const uint32_t csize = Get32At(file, pos + 20);
        e.uncompressedSize = Get32At(file, pos + 24);
        const uint16_t nameLength = Get16At(file, pos + 28);
        const uint32_t local = Get32At(file, pos + 42);
        if (pos + 46 + nameLength > file.size()) return {};
        e.name.assign(reinterpret_cast<const char*>(&file[pos + 46]), nameLength);
        pos += 46u + nameLength + Get16At(file, pos + 30) + Get16At(file, pos + 32);
        if (local + 30ull > file.size()) return {};
        const size_t start = local + 30u + Get16At(file, local + 26) + Get16At(file, local + 28);
        if (start + csize > file.size()) return {};
        if (want && !want(e)) continue;
        e.dataStart = start;
        e.data.assign(file.begin() + static_cast<std::ptrdiff_t>(start),
                      file.begin() + static_cast<std::ptrdiff_t>(start + csize));
        entries.push_back(std::move(e));
    }
    return entries;
}

// The unencrypted entries of one method.
inline std::vector<RawEntry> ReadRawEntries(const std::string& path, uint16_t method)
{
    return ReadRawEntries(path, [method](const RawEntry& e) { return e.method == method && !(e.flags & 1u); });
}

} // namespace raw
