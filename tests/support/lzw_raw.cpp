#include "lzw_raw.h"
#include "support/test_platform.h"
#include "support/zip_builder.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iterator>
#include <sstream>

#include <zlib.h>

#include "archive/ZipCrypto.h"
#include "archive/ZipEntryHeader.h"
#include "decoders/ZipArchiveEx.h"
#include "decoders/ZipDecoder.h"
#include "errors/ZipException.h"
#include "storage/ZipMemStream.h"
#include "storage/ZipStore.h"

namespace lzw {

DecodeResult DecodeRaw(uint16_t method, uint16_t flags, uint32_t uncompressedSize,
                       const std::vector<uint8_t>& data, const std::vector<uint32_t>& pattern,
                       uint32_t maxReads)
{
    DecodeResult result;
    CZipMemStream stream(65536);
    if (!data.empty()) stream.Write(data.data(), static_cast<uint32_t>(data.size()));
    CZipStore store;
    store.OpenStream(&stream, CZipStore::openReadOnly);
    CZipEntryHeader header;
    header.method = method;
    header.flags = flags;
    header.compressedSize = static_cast<uint32_t>(data.size());
    header.uncompressedSize = uncompressedSize;
    uint32_t keys[3] = {0x12345678, 0x23456789, 0x34567890};
    std::unique_ptr<CZipDecoder> decoder = ZipMakeDecoder(method);
    if (!decoder) return result;
    std::vector<uint8_t> buffer(*std::max_element(pattern.begin(), pattern.end()));
    try {
        result.initOk = decoder->Init(&store, &header, keys);
        while (result.reads < maxReads) {
            const uint32_t size = pattern[result.reads++ % pattern.size()];
            const uint32_t n = decoder->Read(buffer.data(), size);
            result.bytes.insert(result.bytes.end(), buffer.begin(), buffer.begin() + n);
            if (n < size) break;
        }
    } catch (const CZipException& e) {
        result.code = e.code;
    }
    decoder->End();
    result.damaged = decoder->Damaged();
    result.crc = decoder->Crc();
    result.uncompressedLeft = decoder->UncompressedLeft();
    return result;
}

std::vector<uint8_t> BuildZip(const std::vector<RawEntry>& entries)
{
    std::vector<ZipEntrySpec> specs;
    for (const RawEntry& e : entries) {
        ZipEntrySpec spec{e.name, e.data};
        spec.method = e.method;
        spec.flags = e.flags;
        spec.crc = e.crc32;
        spec.uncompressedSize = e.uncompressedSize;
        specs.push_back(spec);
    }
    return ::BuildZip(specs).bytes;
}

RawEntry Encrypt(const RawEntry& entry, const std::string& password)
{
    RawEntry out = entry;
    out.flags = static_cast<uint16_t>(entry.flags | 1u);
    uint32_t keys[3];
    ZipCrypto::InitKeys(keys, reinterpret_cast<const uint8_t*>(password.data()),
                        static_cast<uint32_t>(password.size()));
    std::vector<uint8_t> data(12);
    for (int i = 0; i < 11; ++i) data[i] = static_cast<uint8_t>(i * 37 + 11);
    data[11] = static_cast<uint8_t>((entry.flags & 8u) ? 0x60 : entry.crc32 >> 24);
    data.insert(data.end(), entry.data.begin(), entry.data.end());
    ZipCrypto::EncryptBlock(keys, data.data(), static_cast<uint32_t>(data.size()));
    out.data = std::move(data);
    return out;
}

void BitWriter::Put(uint32_t value, uint32_t n)
{
    for (uint32_t i = 0; i < n; ++i, ++bitCount) {
        if (bitCount % 8 == 0) bytes.push_back(0);
        if ((value >> i) & 1u) bytes.back() = static_cast<uint8_t>(bytes.back() | (1u << (bitCount % 8)));
    }
}

std::vector<uint8_t> BitWriter::Finish() const { return bytes; }

uint32_t Crc32(const std::vector<uint8_t>& v)
{
    return static_cast<uint32_t>(::crc32(0, v.data(), static_cast<uInt>(v.size())));
}

namespace {

const uint32_t kRound[64] = {
    0x428a2f98, 0x71374491, 0xb5c0fbcf, 0xe9b5dba5, 0x3956c25b, 0x59f111f1, 0x923f82a4, 0xab1c5ed5,
    0xd807aa98, 0x12835b01, 0x243185be, 0x550c7dc3, 0x72be5d74, 0x80deb1fe, 0x9bdc06a7, 0xc19bf174,
    0xe49b69c1, 0xefbe4786, 0x0fc19dc6, 0x240ca1cc, 0x2de92c6f, 0x4a7484aa, 0x5cb0a9dc, 0x76f988da,
    0x983e5152, 0xa831c66d, 0xb00327c8, 0xbf597fc7, 0xc6e00bf3, 0xd5a79147, 0x06ca6351, 0x14292967,
    0x27b70a85, 0x2e1b2138, 0x4d2c6dfc, 0x53380d13, 0x650a7354, 0x766a0abb, 0x81c2c92e, 0x92722c85,
    0xa2bfe8a1, 0xa81a664b, 0xc24b8b70, 0xc76c51a3, 0xd192e819, 0xd6990624, 0xf40e3585, 0x106aa070,
    0x19a4c116, 0x1e376c08, 0x2748774c, 0x34b0bcb5, 0x391c0cb3, 0x4ed8aa4a, 0x5b9cca4f, 0x682e6ff3,
    0x748f82ee, 0x78a5636f, 0x84c87814, 0x8cc70208, 0x90befffa, 0xa4506ceb, 0xbef9a3f7, 0xc67178f2,
};

inline uint32_t Rotr(uint32_t x, int n) { return (x >> n) | (x << (32 - n)); }

void Compress(uint32_t* h, const uint8_t* block)
{
    uint32_t w[64];
    for (int i = 0; i < 16; ++i)
        w[i] = (static_cast<uint32_t>(block[4 * i]) << 24) | (static_cast<uint32_t>(block[4 * i + 1]) << 16) |
               (static_cast<uint32_t>(block[4 * i + 2]) << 8) | block[4 * i + 3];
    for (int i = 16; i < 64; ++i) {
        const uint32_t s0 = Rotr(w[i - 15], 7) ^ Rotr(w[i - 15], 18) ^ (w[i - 15] >> 3);
        const uint32_t s1 = Rotr(w[i - 2], 17) ^ Rotr(w[i - 2], 19) ^ (w[i - 2] >> 10);
        w[i] = w[i - 16] + s0 + w[i - 7] + s1;
    }
    uint32_t a = h[0], b = h[1], c = h[2], d = h[3], e = h[4], f = h[5], g = h[6], k = h[7];
    for (int i = 0; i < 64; ++i) {
        const uint32_t t1 = k + (Rotr(e, 6) ^ Rotr(e, 11) ^ Rotr(e, 25)) + ((e & f) ^ (~e & g)) + kRound[i] + w[i];
        const uint32_t t2 = (Rotr(a, 2) ^ Rotr(a, 13) ^ Rotr(a, 22)) + ((a & b) ^ (a & c) ^ (b & c));
        k = g;
        g = f;
        f = e;
        e = d + t1;
        d = c;
        c = b;
        b = a;
        a = t1 + t2;
    }
    h[0] += a; h[1] += b; h[2] += c; h[3] += d; h[4] += e; h[5] += f; h[6] += g; h[7] += k;
}

} // namespace

std::string Sha256Hex(const uint8_t* bytes, size_t n)
{
    uint32_t h[8] = {0x6a09e667, 0xbb67ae85, 0x3c6ef372, 0xa54ff53a, 0x510e527f, 0x9b05688c, 0x1f83d9ab, 0x5be0cd19};
    size_t i = 0;
    for (; i + 64 <= n; i += 64) Compress(h, bytes + i);
    uint8_t tail[128] = {0};
    const size_t rest = n - i;
    if (rest > 0) std::memcpy(tail, bytes + i, rest);
    tail[rest] = 0x80;
    const size_t blocks = rest + 9 <= 64 ? 1 : 2;
    const uint64_t bitLength = static_cast<uint64_t>(n) * 8;
    for (int k = 0; k < 8; ++k) tail[blocks * 64 - 1 - k] = static_cast<uint8_t>(bitLength >> (8 * k));
    for (size_t b = 0; b < blocks; ++b) Compress(h, tail + 64 * b);
    char hex[65];
    for (int k = 0; k < 8; ++k) std::snprintf(hex + 8 * k, 9, "%08x", h[k]);
    return std::string(hex, 64);
}

std::vector<ManifestRow> ManifestRows(const std::string& corpusDir, uint16_t low, uint16_t high)
{
    std::vector<ManifestRow> rows;
    std::ifstream in(corpusDir + "/MANIFEST.tsv");
    std::string line;
    std::getline(in, line);  // column names
    while (std::getline(in, line)) {
        std::vector<std::string> cells;
        std::stringstream split(line);
        std::string cell;
        while (std::getline(split, cell, '\t')) cells.push_back(cell);
        if (cells.size() < 8) continue;
        const int method = std::atoi(cells[2].c_str());
        if (method < low || method > high) continue;
        ManifestRow row;
        row.archive = cells[0];
        row.entry = cells[1];
        row.method = static_cast<uint16_t>(method);
        row.usize = static_cast<uint32_t>(std::strtoul(cells[5].c_str(), nullptr, 10));
        row.sha256 = cells[7];
        row.password = cells.size() > 8 ? cells[8] : "-";
        rows.push_back(row);
    }
    return rows;
}

} // namespace lzw
