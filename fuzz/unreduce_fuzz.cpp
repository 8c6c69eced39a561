// The unreduce decoder over raw reduced data behind the decoder seed header
//   method (1 byte) | flags (u16 LE) | uncompressed size (u32 LE) | raw data.
// Methods 2 to 5 choose factors 1 to 4; other method bytes wrap round onto
// them. The driver traps on miscounted or mis-summed output, and on output
// that changes with the caller's read sizes.
#include "decoders/ZipUnreduceDecoder.h"
#include "fuzz_decoder_input.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size < 1) return 0;
    const uint32_t factor = ((data[0] - 2u) & 3u) + 1u;
    CZipUnreduceDecoder decoder(factor);
    fuzzinput::RunChecked(decoder, data, size, fuzzinput::kLzwRun);
    fuzzinput::CheckReadSizes([factor] { return std::make_unique<CZipUnreduceDecoder>(factor); }, data, size);
    return 0;
}
