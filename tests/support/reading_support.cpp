#include "reading_support.h"

#include "support/lzw_raw.h"
#include "support/test_platform.h"

namespace reading {

// In the process: the Windows build has no sha256sum to ask.
std::string Sha256OfFile(const std::string& path)
{
    return lzw::Sha256Hex(ReadWholeFile(path));
}

Bytes MakeText(uint32_t size, uint32_t seed)
{
    static const char* const kWords[] = {"alpha ", "beta ", "gamma ", "delta\n", "epsilon ",
                                         "zeta ", "eta ", "theta ", "iota\n", "kappa "};
    Bytes out;
    out.reserve(size);
    uint32_t state = seed * 2654435761u + 1;
    while (out.size() < size) {
        state = state * 1103515245u + 12345u;
        const char* word = kWords[(state >> 16) % 10];
        for (const char* p = word; *p && out.size() < size; ++p) out.push_back(static_cast<uint8_t>(*p));
    }
    return out;
}

Bytes MakeNoise(uint32_t size, uint32_t seed)
{
    Bytes out(size);
    uint64_t state = seed * 0x9E3779B97F4A7C15ull + 7;
    for (uint32_t i = 0; i < size; ++i) {
        state ^= state << 13;
        state ^= state >> 7;
        state ^= state << 17;
        out[i] = static_cast<uint8_t>(state >> 24);
    }
    return out;
}

EntryRecords FindEntry(const Bytes& image, uint32_t index)
{
    // The end record: the last signature in the image.
    uint32_t end = static_cast<uint32_t>(image.size()) - 22;
    while (!(image.at(end) == 0x50 && image.at(end + 1) == 0x4B && image.at(end + 2) == 5 &&
             image.at(end + 3) == 6))
        --end;
    uint32_t central = Get32(image, end + 16);
    for (uint32_t i = 0; i < index; ++i)
        central += 46 + Get16(image, central + 28) + Get16(image, central + 30) + Get16(image, central + 32);
    EntryRecords e;
    e.central = central;
    e.local = Get32(image, central + 42);
    e.compressedSize = Get32(image, central + 20);
    e.data = e.local + 30 + Get16(image, e.local + 26) + Get16(image, e.local + 28);
    return e;
}

void PatchBoth16(Bytes& image, const EntryRecords& e, uint32_t localOffset, uint16_t value)
{
    Put16(image, e.local + localOffset, value);
    Put16(image, e.central + localOffset + 2, value);
}

void PatchBoth32(Bytes& image, const EntryRecords& e, uint32_t localOffset, uint32_t value)
{
    Put32(image, e.local + localOffset, value);
    Put32(image, e.central + localOffset + 2, value);
}

} // namespace reading
