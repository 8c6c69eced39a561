#pragma once
#include "support/test_platform.h"
// Helpers for the Explode and Deflate64 tests: running either decoder over
// raw compressed bytes with any pattern of read sizes, and writing deflate64
// streams bit by bit for the corners compressors rarely reach.
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "support/lzw_raw.h"
#include "support/shell.h"

class CZipDecoder;

namespace huff {

using Bytes = std::vector<uint8_t>;

// The Explode (6) or Deflate64 (9) decoder, or null for other methods.
std::unique_ptr<CZipDecoder> MakeDecoder(uint16_t method);

struct DecodeResult {
    Bytes bytes;
    uint32_t crc = 0;
    uint32_t uncompressedLeft = 0;
    bool initOk = false;
    uint32_t reads = 0;
};

// Runs the decoder of `method` over `data`, reading with the sizes of
// `pattern` in turn until a read comes back short (at most maxReads reads).
DecodeResult Decode(uint16_t method, uint16_t flags, uint32_t uncompressedSize, const Bytes& data,
                    const std::vector<uint32_t>& pattern, uint32_t maxReads = 0xFFFFFFFFu);
inline DecodeResult Decode(uint16_t method, uint16_t flags, uint32_t uncompressedSize,
                           const Bytes& data, uint32_t bufferSize)
{
    return Decode(method, flags, uncompressedSize, data, std::vector<uint32_t>{bufferSize});
}

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

using ::Shell;

using ScratchDir = TempDir;

// Deterministic inputs of different kinds for compressing with real tools.
Bytes MakeInput(const std::string& kind, uint32_t size, uint32_t seed);

} // namespace huff
