#pragma once
#include "support/test_platform.h"
// Helpers for the Explode and Deflate64 tests: writing deflate64 streams bit
// by bit for the corners compressors rarely reach, and inputs for 7zz.
#include <cstdint>
#include <string>
#include <vector>

#include "support/lzw_raw.h"
#include "support/shell.h"

namespace huff {

using Bytes = std::vector<uint8_t>;

// Deflate(64) bit writer: header fields least significant bit first, prefix
// codes most significant bit first, as the format sends them.
class DeflateWriter {
public:
    void Bits(uint32_t value, uint32_t n) { writer.Put(value, n); }
    void Code(uint32_t code, uint32_t length);
    // Fixed-code block pieces.
    void FixedHeader(bool last);
    void FixedLiteral(uint32_t symbol);  // 0..287 (256 ends the block)
    void FixedDistance(uint32_t code) { Code(code, 5); }
    // A stored block (at most 65535 bytes), aligned first.
    void Stored(const Bytes& data, bool last);
    void AlignToByte();
    Bytes Finish() const { return writer.Finish(); }

private:
    lzw::BitWriter writer;
};

// Deterministic inputs of different kinds for compressing with real tools.
Bytes MakeInput(const std::string& kind, uint32_t size, uint32_t seed);

} // namespace huff
