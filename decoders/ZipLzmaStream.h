#pragma once
#include <lzma.h>

#include <cstdint>

// Most memory liblzma may take for one entry: LZMA and xz name their
// dictionary size in the data, and a hostile entry would ask for 4 GiB.
// 7-Zip's largest setting for ZIP entries uses 64 MiB.
constexpr uint64_t kLzmaMemoryLimit = 256ull << 20;

// One lzma_code step over the buffers, answered in the stream codecs' zlib
// result codes (see ZipStreamCodec.h).
int ZipLzmaStep(lzma_stream& stream, const uint8_t*& in, uint32_t& inLength, uint8_t*& out, uint32_t& outLength);
