// The deflate64 decoder over raw method-9 data behind the decoder seed header
//   method (1 byte) | flags (u16 LE) | uncompressed size (u32 LE) | raw data.
// Flags bit 0 runs the data through traditional decryption first; bits 12
// to 14 pick the caller's buffer size, so stored blocks and matches are cut
// at many points. Besides the sanitizers' checks the driver traps when the
// decoder delivers more than announced, miscounts what it delivered or keeps
// a CRC of other bytes, or delivers other bytes when read in other sizes.
#include "decoders/ZipDeflate64Decoder.h"
#include "fuzz_decoder_input.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    CZipDeflate64Decoder decoder;
    fuzzinput::RunChecked(decoder, data, size, fuzzinput::kWindowRun);
    fuzzinput::CheckReadSizes([] { return std::make_unique<CZipDeflate64Decoder>(); }, data, size);
    return 0;
}
