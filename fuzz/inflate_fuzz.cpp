// The inflate decoder over raw deflate bytes (seed layout in
// fuzz_decoder_input.h), with every back end the build carries. Errors end
// the read; the destructor frees the back end's state. The bytes delivered
// must not depend on the read sizes, and the back ends must deliver the same
// bytes and fail the same way (a differential run against zlib). The
// lenient reading of damaged data runs on the same input.
#include <cstring>
#include <string>

#include "decoders/ZipInflateDecoder.h"
#include "decoders/ZipLenientInflateDecoder.h"
#include "fuzz_decoder_input.h"

namespace {

// True when zlib refuses one of the data's block headers (a Huffman code
// set that is incomplete or over-subscribed, a repeat with nothing to
// repeat, too many symbols). ISA-L builds its tables from such sets and
// decodes on, so there its reading may go further than zlib's.
bool ZlibRefusesAHeader(const fuzzinput::Fields& f)
{
    std::vector<uint8_t> data(f.raw, f.raw + f.rawSize);
    if (f.flags & 1u) {
        // Encrypted: the decoder reads all but the 12 bytes the encryption
        // header would take, decrypting them with the fixed keys.
        data.resize(data.size() >= 12 ? data.size() - 12 : 0);
        uint32_t keys[3];
        fuzzinput::FuzzKeys(keys);
        ZipCrypto::DecryptBlock(keys, data.data(), static_cast<uint32_t>(data.size()));
    }
    z_stream z{};
    if (inflateInit2(&z, -15) != Z_OK) return false;
    std::vector<uint8_t> out(65536);
    z.next_in = data.data();
    z.avail_in = static_cast<uInt>(data.size());
    int result = Z_OK;
    uint64_t total = 0;
    while (result == Z_OK && total < fuzzinput::kOracleBound) {
        z.next_out = out.data();
        z.avail_out = static_cast<uInt>(out.size());
        result = inflate(&z, Z_SYNC_FLUSH);
        total += out.size() - z.avail_out;
    }
    const std::string message = z.msg ? z.msg : "";
    inflateEnd(&z);
    static const char* const kHeaderFaults[] = {"invalid code lengths set", "invalid bit length repeat",
                                                "invalid literal/lengths set", "invalid distances set",
                                                "too many length or distance symbols",
                                                "invalid code -- missing end-of-block"};
    for (const char* fault : kHeaderFaults)
        if (message == fault) return true;
    return false;
}

// Traps unless every back end hands over what zlib does, read in 64 KiB
// pieces: the same bytes and the same ending. Where zlib refuses a block
// header, the others may hand over more, but zlib's bytes come first.
void CheckBackEndsAgree(const uint8_t* data, size_t size)
{
    fuzzinput::Fields f;
    if (!fuzzinput::Split(data, size, f)) return;
    const std::vector<ZipInflateBackend> backends = ZipInflateBackends();
    if (backends.size() < 2) return;
    auto whole = [] { return 65536u; };
    CZipInflateDecoder zlibDecoder(ZipInflateBackend::zlib);
    const fuzzinput::Delivery reference = fuzzinput::Deliver(zlibDecoder, f, whole, fuzzinput::kOracleBound);
    const bool refused = ZlibRefusesAHeader(f);
    for (const ZipInflateBackend backend : backends) {
        if (backend == ZipInflateBackend::zlib) continue;
        CZipInflateDecoder decoder(backend);
        const fuzzinput::Delivery d = fuzzinput::Deliver(decoder, f, whole, fuzzinput::kOracleBound);
        const size_t common = std::min(d.bytes.size(), reference.bytes.size());
        if (std::memcmp(d.bytes.data(), reference.bytes.data(), common) != 0) __builtin_trap();
        if (refused && d.bytes.size() >= reference.bytes.size()) continue;
        if (d.bytes.size() != reference.bytes.size() || d.threw != reference.threw || d.code != reference.code)
            __builtin_trap();
        if (decoder.Damaged() != zlibDecoder.Damaged() || decoder.ErrorCode() != zlibDecoder.ErrorCode())
            __builtin_trap();
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    for (const ZipInflateBackend backend : ZipInflateBackends()) {
        CZipInflateDecoder decoder(backend);
        fuzzinput::RunDecoder(decoder, data, size);
        fuzzinput::CheckReadSizes([backend] { return std::make_unique<CZipInflateDecoder>(backend); }, data,
                                  size);
    }
    CheckBackEndsAgree(data, size);
    // The lenient reading of damaged data: no crash, bounded, and the same
    // bytes whatever the read sizes.
    CZipLenientInflateDecoder lenient;
    fuzzinput::RunDecoder(lenient, data, size);
    fuzzinput::CheckReadSizes([] { return std::make_unique<CZipLenientInflateDecoder>(); }, data, size);
    return 0;
}
