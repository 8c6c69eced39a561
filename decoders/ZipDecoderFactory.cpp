// The compression methods this module reads and the decoder of each.
#include <memory>

#include "archive/ZipConstants.h"
#include "archive/ZipEntryHeader.h"
#include "decoders/ZipArchiveEx.h"
#ifdef ZIPEXT_HAVE_BZIP2
#include "decoders/ZipBzip2Codec.h"
#endif
#include "decoders/ZipCodecDecoder.h"
#ifdef ZIPEXT_HAVE_LZMA
#include "decoders/ZipLzmaCodec.h"
#include "decoders/ZipXzCodec.h"
#endif
#ifdef ZIPEXT_HAVE_ZSTD
#include "decoders/ZipZstdCodec.h"
#endif
#include "decoders/ZipDeflate64Decoder.h"
#include "decoders/ZipEmptyDecoder.h"
#include "decoders/ZipExplodeDecoder.h"
#include "decoders/ZipInflateDecoder.h"
#include "decoders/ZipLenientInflateDecoder.h"
#include "decoders/ZipStoredDecoder.h"
#include "decoders/ZipUnreduceDecoder.h"
#include "decoders/ZipUnshrinkDecoder.h"
#include "platform/ZipAesPrimitives.h"

namespace {

template <class Decoder, int... Args>
std::unique_ptr<CZipDecoder> Make()
{
    return std::make_unique<Decoder>(Args...);
}

template <class Codec>
std::unique_ptr<CZipDecoder> MakeCodec()
{
    return std::make_unique<CZipCodecDecoder>(std::make_unique<Codec>());
}

struct MethodDecoder {
    uint16_t method;
    std::unique_ptr<CZipDecoder> (*make)();
    // False for the methods that open but have nothing to read.
    bool reads;
};

// Every method with a decoder. The rest above 10 (PPMd among them, which no
// system library reads) have none.
const MethodDecoder kMethods[] = {
    {ZipFormat::methodStored, Make<CZipStoredDecoder>, true},
    {ZipFormat::methodShrunk, Make<CZipUnshrinkDecoder>, true},
    // Reduced with compression factors 1 to 4.
    {ZipFormat::methodReduced1, Make<CZipUnreduceDecoder, 1>, true},
    {ZipFormat::methodReduced2, Make<CZipUnreduceDecoder, 2>, true},
    {ZipFormat::methodReduced3, Make<CZipUnreduceDecoder, 3>, true},
    {ZipFormat::methodReduced4, Make<CZipUnreduceDecoder, 4>, true},
    {ZipFormat::methodImploded, Make<CZipExplodeDecoder>, true},
    {ZipFormat::methodDeflated, Make<CZipInflateDecoder>, true},
    {ZipFormat::methodDeflate64, Make<CZipDeflate64Decoder>, true},
#ifdef ZIPEXT_HAVE_BZIP2
    {ZipFormat::methodBzip2, MakeCodec<CZipBzip2Codec>, true},
#endif
#ifdef ZIPEXT_HAVE_LZMA
    {ZipFormat::methodLzma, MakeCodec<CZipLzmaCodec>, true},
    {ZipFormat::methodXz, MakeCodec<CZipXzCodec>, true},
#endif
#ifdef ZIPEXT_HAVE_ZSTD
    {ZipFormat::methodZstd, MakeCodec<CZipZstdCodec>, true},
#endif
    // Tokenized (7) and the PKWARE implode variant (10) open but read empty.
    {ZipFormat::methodTokenized, Make<CZipEmptyDecoder>, false},
    {ZipFormat::methodPkImplode, Make<CZipEmptyDecoder>, false},
};

const MethodDecoder* Find(uint16_t method)
{
    for (const MethodDecoder& m : kMethods)
        if (m.method == method) return &m;
    return nullptr;
}

} // namespace

std::unique_ptr<CZipDecoder> ZipMakeDecoder(uint16_t method)
{
    const MethodDecoder* m = Find(method);
    return m ? m->make() : nullptr;
}

bool CZipArchiveEx::CreateDecoder(uint16_t method)
{
    if (lenientInflate && method == ZipFormat::methodDeflated)
        decoder = std::make_unique<CZipLenientInflateDecoder>();
    else
        decoder = ZipMakeDecoder(method);
    return decoder != nullptr;
}

bool ZipReadsMethod(uint16_t method)
{
    const MethodDecoder* m = Find(method);
    return m && m->reads;
}

bool ZipReadsEntry(const CZipEntryHeader& header, const ZipAesInfo* localAes)
{
    if (header.method != ZipFormat::methodAes) return ZipReadsMethod(header.method);
    ZipAesInfo info;
    if (!ZipFindAesInfo(header.extraField.data(), header.extraField.length(), info)) {
        if (!localAes) return false;
        info = *localAes;
    }
    return info.method != ZipFormat::methodAes && ZipReadsMethod(info.method) && CZipAesPrimitives::Available();
}
