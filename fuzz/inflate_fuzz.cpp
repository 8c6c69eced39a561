// The inflate decoder over raw deflate bytes (seed layout in
// fuzz_decoder_input.h); errors end the read, the destructor frees zlib. The
// bytes delivered must not depend on the read sizes.
#include "decoders/ZipInflateDecoder.h"
#include "fuzz_decoder_input.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    CZipInflateDecoder decoder;
    fuzzinput::RunDecoder(decoder, data, size);
    fuzzinput::CheckReadSizes([] { return std::make_unique<CZipInflateDecoder>(); }, data, size);
    return 0;
}
