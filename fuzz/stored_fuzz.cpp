// The stored decoder over raw bytes (seed layout in fuzz_decoder_input.h);
// the bytes delivered must not depend on the read sizes.
#include "decoders/ZipStoredDecoder.h"
#include "fuzz_decoder_input.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    CZipStoredDecoder decoder;
    fuzzinput::RunDecoder(decoder, data, size);
    fuzzinput::CheckReadSizes([] { return std::make_unique<CZipStoredDecoder>(); }, data, size);
    return 0;
}
