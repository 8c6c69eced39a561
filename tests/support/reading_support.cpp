#include "reading_support.h"

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <stdexcept>

#include <filesystem>

#include "errors/ZipException.h"
#include "support/test_platform.h"

namespace reading {

TempDir::TempDir()
{
    dir = MakeTempDirectory("zipext-reading");
}

TempDir::~TempDir()
{
    RemoveTree(dir);
}

std::string Quote(const std::string& s)
{
    std::string out = "'";
    for (char c : s) {
        if (c == '\'')
            out += "'\\''";
        else
            out += c;
    }
    return out + "'";
}

bool Shell(const std::string& command)
{
#ifdef _WIN32
    throw std::runtime_error("the Windows build has no Linux shell for: " + command);
#endif
    return std::system(command.c_str()) == 0;
}

Bytes ReadFile(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    return Bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

void WriteFile(const std::string& path, const Bytes& bytes)
{
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
}

bool FileExists(const std::string& path)
{
    std::error_code error;
    return std::filesystem::symlink_status(path, error).type() != std::filesystem::file_type::not_found &&
           !error;
}

// FIPS 180-4 SHA-256, in the process: the Windows build has no sha256sum
// to ask.
std::string Sha256OfFile(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    if (!in) return "";
    static const uint32_t k[64] = {
        0x428a2f98, 0x71374491, 0xb5c0fbcf, 0xe9b5dba5, 0x3956c25b, 0x59f111f1, 0x923f82a4, 0xab1c5ed5,
        0xd807aa98, 0x12835b01, 0x243185be, 0x550c7dc3, 0x72be5d74, 0x80deb1fe, 0x9bdc06a7, 0xc19bf174,
        0xe49b69c1, 0xefbe4786, 0x0fc19dc6, 0x240ca1cc, 0x2de92c6f, 0x4a7484aa, 0x5cb0a9dc, 0x76f988da,
        0x983e5152, 0xa831c66d, 0xb00327c8, 0xbf597fc7, 0xc6e00bf3, 0xd5a79147, 0x06ca6351, 0x14292967,
        0x27b70a85, 0x2e1b2138, 0x4d2c6dfc, 0x53380d13, 0x650a7354, 0x766a0abb, 0x81c2c92e, 0x92722c85,
        0xa2bfe8a1, 0xa81a664b, 0xc24b8b70, 0xc76c51a3, 0xd192e819, 0xd6990624, 0xf40e3585, 0x106aa070,
        0x19a4c116, 0x1e376c08, 0x2748774c, 0x34b0bcb5, 0x391c0cb3, 0x4ed8aa4a, 0x5b9cca4f, 0x682e6ff3,
        0x748f82ee, 0x78a5636f, 0x84c87814, 0x8cc70208, 0x90befffa, 0xa4506ceb, 0xbef9a3f7, 0xc67178f2};
    uint32_t h[8] = {0x6a09e667, 0xbb67ae85, 0x3c6ef372, 0xa54ff53a,
                     0x510e527f, 0x9b05688c, 0x1f83d9ab, 0x5be0cd19};
    auto rotr = [](uint32_t x, int n) { return (x >> n) | (x << (32 - n)); };
    auto block = [&](const uint8_t* p) {
        uint32_t w[64];
        for (int i = 0; i < 16; ++i)
            w[i] = uint32_t(p[4 * i]) << 24 | uint32_t(p[4 * i + 1]) << 16 | uint32_t(p[4 * i + 2]) << 8 |
                   p[4 * i + 3];
        for (int i = 16; i < 64; ++i) {
            const uint32_t s0 = rotr(w[i - 15], 7) ^ rotr(w[i - 15], 18) ^ (w[i - 15] >> 3);
            const uint32_t s1 = rotr(w[i - 2], 17) ^ rotr(w[i - 2], 19) ^ (w[i - 2] >> 10);
            w[i] = w[i - 16] + s0 + w[i - 7] + s1;
        }
        uint32_t a = h[0], b = h[1], c = h[2], d = h[3], e = h[4], f = h[5], g = h[6], hh = h[7];
        for (int i = 0; i < 64; ++i) {
            const uint32_t t1 = hh + (rotr(e, 6) ^ rotr(e, 11) ^ rotr(e, 25)) + ((e & f) ^ (~e & g)) + k[i] + w[i];
            const uint32_t t2 = (rotr(a, 2) ^ rotr(a, 13) ^ rotr(a, 22)) + ((a & b) ^ (a & c) ^ (b & c));
            hh = g, g = f, f = e, e = d + t1, d = c, c = b, b = a, a = t1 + t2;
        }
        h[0] += a, h[1] += b, h[2] += c, h[3] += d, h[4] += e, h[5] += f, h[6] += g, h[7] += hh;
    };
    uint64_t total = 0;
    uint8_t buffer[64];
    size_t filled = 0;
    char chunk[65536];
    while (in.read(chunk, sizeof chunk) || in.gcount() > 0) {
        const size_t got = static_cast<size_t>(in.gcount());
        total += got;
        for (size_t i = 0; i < got; ++i) {
            buffer[filled++] = static_cast<uint8_t>(chunk[i]);
            if (filled == 64) block(buffer), filled = 0;
        }
    }
    buffer[filled++] = 0x80;
    if (filled > 56) {
        while (filled < 64) buffer[filled++] = 0;
        block(buffer), filled = 0;
    }
    while (filled < 56) buffer[filled++] = 0;
    for (int i = 7; i >= 0; --i) buffer[filled++] = static_cast<uint8_t>((total * 8) >> (8 * i));
    block(buffer);
    static const char kHex[] = "0123456789abcdef";
    std::string out;
    for (uint32_t word : h)
        for (int i = 28; i >= 0; i -= 4) out += kHex[(word >> i) & 15];
    return out;
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

MemoryArchive::MemoryArchive(const Bytes& image) : stream(1u << 20)
{
    if (!image.empty()) stream.Write(image.data(), static_cast<uint32_t>(image.size()));
    stream.SeekToBegin();
    archive.Open(stream, CZipArchive::openExisting);
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
    const uint32_t n = static_cast<uint32_t>(sink.GetLength());
    out.bytes.assign(sink.Data(), sink.Data() + n);
    return out;
}

uint32_t GetU32(const Bytes& image, uint32_t offset)
{
    return static_cast<uint32_t>(image.at(offset)) | (static_cast<uint32_t>(image.at(offset + 1)) << 8) |
           (static_cast<uint32_t>(image.at(offset + 2)) << 16) |
           (static_cast<uint32_t>(image.at(offset + 3)) << 24);
}

static uint16_t GetU16(const Bytes& image, uint32_t offset)
{
    return static_cast<uint16_t>(image.at(offset) | (image.at(offset + 1) << 8));
}

void PutU16(Bytes& image, uint32_t offset, uint16_t value)
{
    image.at(offset) = static_cast<uint8_t>(value);
    image.at(offset + 1) = static_cast<uint8_t>(value >> 8);
}

void PutU32(Bytes& image, uint32_t offset, uint32_t value)
{
    for (int i = 0; i < 4; ++i) image.at(offset + i) = static_cast<uint8_t>(value >> (8 * i));
}

EntryRecords FindEntry(const Bytes& image, uint32_t index)
{
    // The end record: the last signature in the image.
    uint32_t end = static_cast<uint32_t>(image.size()) - 22;
    while (!(image.at(end) == 0x50 && image.at(end + 1) == 0x4B && image.at(end + 2) == 5 &&
             image.at(end + 3) == 6))
        --end;
    uint32_t central = GetU32(image, end + 16);
    for (uint32_t i = 0; i < index; ++i)
        central += 46 + GetU16(image, central + 28) + GetU16(image, central + 30) + GetU16(image, central + 32);
    EntryRecords e;
    e.central = central;
    e.local = GetU32(image, central + 42);
    e.compressedSize = GetU32(image, central + 20);
    e.data = e.local + 30 + GetU16(image, e.local + 26) + GetU16(image, e.local + 28);
    return e;
}

void PatchBoth16(Bytes& image, const EntryRecords& e, uint32_t localOffset, uint16_t value)
{
    PutU16(image, e.local + localOffset, value);
    PutU16(image, e.central + localOffset + 2, value);
}

void PatchBoth32(Bytes& image, const EntryRecords& e, uint32_t localOffset, uint32_t value)
{
    PutU32(image, e.local + localOffset, value);
    PutU32(image, e.central + localOffset + 2, value);
}

} // namespace reading
