// The library-backed decoders (bzip2, LZMA, xz, Zstandard) over their raw
// streams (seed layout in fuzz_decoder_input.h; the method byte picks the
// codec, the flags its variants: encryption, LZMA's end marker, odd read
// sizes). Errors end the read; the bytes delivered must not depend on the
// read sizes. A method the build has no library for is passed over.
#include "archive/ZipConstants.h"
#include "decoders/ZipArchiveEx.h"
#include "fuzz_decoder_input.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size < 1) return 0;
    static const uint16_t kMethods[] = {ZipFormat::methodBzip2, ZipFormat::methodLzma, ZipFormat::methodZstd,
                                        ZipFormat::methodXz};
    // Seeds carry the method's own number; other values pick one in turn.
    uint16_t method = kMethods[data[0] % 4];
    for (const uint16_t m : kMethods)
        if (data[0] == m) method = m;
    if (!ZipReadsMethod(method)) return 0;
    auto make = [method] { return ZipMakeDecoder(method); };
    auto decoder = make();
    fuzzinput::RunDecoder(*decoder, data, size);
    fuzzinput::CheckReadSizes(make, data, size);
    return 0;
}
