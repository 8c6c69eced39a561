#include "support/huff_support.h"

#include <random>

#include "support/test_platform.h"

#include "archive/ZipEntryHeader.h"
#include "decoders/ZipArchiveEx.h"
#include "decoders/ZipDecoder.h"
#include "storage/ZipMemStream.h"
#include "storage/ZipStore.h"

namespace huff {

std::unique_ptr<CZipDecoder> MakeDecoder(uint16_t method)
{
    return ZipMakeDecoder(method);
}

DecodeResult Decode(uint16_t method, uint16_t flags, uint32_t uncompressedSize, const Bytes& data,
                    const std::vector<uint32_t>& pattern, uint32_t maxReads)
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
    std::unique_ptr<CZipDecoder> decoder = MakeDecoder(method);
    if (!decoder) return result;
    result.initOk = decoder->Init(&store, &header, keys);
    uint32_t largest = 1;
    for (uint32_t size : pattern) largest = std::max(largest, size);
    Bytes buffer(largest);
    for (uint32_t reads = 0; reads < maxReads; ++reads) {
        const uint32_t size = pattern[reads % pattern.size()];
        const uint32_t n = decoder->Read(buffer.data(), size);
        ++result.reads;
        result.bytes.insert(result.bytes.end(), buffer.begin(), buffer.begin() + n);
        if (n < size) break;
    }
    decoder->End();
    result.crc = decoder->Crc();
    result.uncompressedLeft = decoder->UncompressedLeft();
    return result;
}

void DeflateWriter::Code(uint32_t code, uint32_t length)
{
    for (uint32_t i = length; i-- > 0;) writer.Put((code >> i) & 1u, 1);
}

void DeflateWriter::FixedHeader(bool last)
{
    Bits(last ? 1 : 0, 1);
    Bits(1, 2);
}

void DeflateWriter::FixedLiteral(uint32_t symbol)
{
    if (symbol < 144) Code(0x30 + symbol, 8);
    else if (symbol < 256) Code(0x190 + symbol - 144, 9);
    else if (symbol < 280) Code(symbol - 256, 7);
    else Code(0xC0 + symbol - 280, 8);
}

void DeflateWriter::AlignToByte()
{
    while (writer.BitCount() % 8 != 0) writer.Put(0, 1);
}

void DeflateWriter::Stored(const Bytes& data, bool last)
{
    Bits(last ? 1 : 0, 1);
    Bits(0, 2);
    AlignToByte();
    const uint32_t n = static_cast<uint32_t>(data.size());
    Bits(n, 16);
    Bits(~n & 0xFFFFu, 16);
    for (uint8_t b : data) Bits(b, 8);
}

Bytes MakeInput(const std::string& kind, uint32_t size, uint32_t seed)
{
    std::mt19937 rng(seed);
    Bytes out;
    out.reserve(size);
    static const char* const words[] = {"the ", "quick ", "brown ", "fox ", "jumps ", "over ",
                                        "lazy ", "dog ", "archive ", "entry ", "window ",
                                        "deflate ", "match ", "\n", "1234 ", "zip "};
    while (out.size() < size) {
        if (kind == "text") {
            const char* w = words[rng() % 16];
            while (*w && out.size() < size) out.push_back(static_cast<uint8_t>(*w++));
        } else if (kind == "random") {
            out.push_back(static_cast<uint8_t>(rng()));
        } else if (kind == "runs") {
            const uint8_t b = static_cast<uint8_t>(rng() % 4);
            const uint32_t run = 1 + rng() % 70000;
            for (uint32_t i = 0; i < run && out.size() < size; ++i) out.push_back(b);
        } else {  // mixed: stretches of text, noise, runs and far repeats
            const uint32_t pick = rng() % 4;
            const uint32_t len = 1 + rng() % 40000;
            if (pick == 3 && out.size() > 70000) {
                const size_t from = out.size() - 65536 + rng() % 100;
                for (uint32_t i = 0; i < len && out.size() < size; ++i) out.push_back(out[from + i]);
            } else {
                const Bytes part = MakeInput(pick == 0 ? "text" : pick == 1 ? "random" : "runs",
                                             len, static_cast<uint32_t>(rng()));
                for (uint32_t i = 0; i < len && out.size() < size; ++i) out.push_back(part[i]);
            }
        }
    }
    return out;
}

} // namespace huff
