#include "support/huff_support.h"

#include <random>

#include "support/test_platform.h"

namespace huff {

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
