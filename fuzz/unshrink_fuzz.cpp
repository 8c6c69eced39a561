// The unshrink decoder over raw shrunk data behind the decoder seed header
//   method (1 byte) | flags (u16 LE) | uncompressed size (u32 LE) | raw data.
// Besides the sanitizers' checks it traps when the decoder delivers more than
// the header announces, miscounts what it delivered, keeps a CRC of other
// bytes than those it delivered, or delivers other bytes when read in other
// sizes.
#include "decoders/ZipUnshrinkDecoder.h"
#include "fuzz_decoder_input.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    CZipUnshrinkDecoder decoder;
    fuzzinput::RunChecked(decoder, data, size, fuzzinput::kLzwRun);
    fuzzinput::CheckReadSizes([] { return std::make_unique<CZipUnshrinkDecoder>(); }, data, size);
    return 0;
}
