// The explode decoder over raw imploded data behind the decoder seed header
//   method (1 byte) | flags (u16 LE) | uncompressed size (u32 LE) | raw data.
// Flags bits 1 and 2 pick the dictionary size and the number of trees, so
// the seeds (every corpus entry of method 6) cover all four variants; bits
// 12 to 14 pick the caller's buffer size. Besides the sanitizers' checks the
// driver traps when the decoder delivers more than announced, miscounts what
// it delivered, keeps a CRC of other bytes, or delivers other bytes when
// read in other sizes.
#include "decoders/ZipExplodeDecoder.h"
#include "fuzz_decoder_input.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    CZipExplodeDecoder decoder;
    fuzzinput::RunChecked(decoder, data, size, fuzzinput::kWindowRun);
    fuzzinput::CheckReadSizes([] { return std::make_unique<CZipExplodeDecoder>(); }, data, size);
    return 0;
}
