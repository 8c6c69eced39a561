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
#include "decoders/ZipStoredDecoder.h"
#include "decoders/ZipUnreduceDecoder.h"
#include "decoders/ZipUnshrinkDecoder.h"
#include "platform/ZipAesPrimitives.h"

std::unique_ptr<CZipDecoder> ZipMakeDecoder(uint16_t method)
{
    std::unique_ptr<CZipDecoder> decoder;
    switch (method) {
    case ZipFormat::methodStored: decoder = std::make_unique<CZipStoredDecoder>(); break;
    case ZipFormat::methodShrunk: decoder = std::make_unique<CZipUnshrinkDecoder>(); break;
    // Reduced with compression factors 1 to 3.
    case ZipFormat::methodReduced1: decoder = std::make_unique<CZipUnreduceDecoder>(1); break;
    case ZipFormat::methodReduced2: decoder = std::make_unique<CZipUnreduceDecoder>(2); break;
    case ZipFormat::methodReduced3: decoder = std::make_unique<CZipUnreduceDecoder>(3); break;
    case ZipFormat::methodImploded: decoder = std::make_unique<CZipExplodeDecoder>(); break;
    case ZipFormat::methodDeflated: decoder = std::make_unique<CZipInflateDecoder>(); break;
    case ZipFormat::methodDeflate64: decoder = std::make_unique<CZipDeflate64Decoder>(); break;
#ifdef ZIPEXT_HAVE_BZIP2
    case ZipFormat::methodBzip2: decoder = std::make_unique<CZipCodecDecoder>(std::make_unique<CZipBzip2Codec>()); break;
#endif
#ifdef ZIPEXT_HAVE_LZMA
    case ZipFormat::methodLzma: decoder = std::make_unique<CZipCodecDecoder>(std::make_unique<CZipLzmaCodec>()); break;
    case ZipFormat::methodXz: decoder = std::make_unique<CZipCodecDecoder>(std::make_unique<CZipXzCodec>()); break;
#endif
#ifdef ZIPEXT_HAVE_ZSTD
    case ZipFormat::methodZstd: decoder = std::make_unique<CZipCodecDecoder>(std::make_unique<CZipZstdCodec>()); break;
#endif
    // Tokenized (7) and the PKWARE implode variant (10) open but read empty.
    case ZipFormat::methodTokenized:
    case ZipFormat::methodPkImplode: decoder = std::make_unique<CZipEmptyDecoder>(); break;
    // Reduced with factor 4 (5), and the rest above 10 (PPMd among them,
    // which no system library reads), are not read.
    default: break;
    }
    return decoder;
}

bool CZipArchiveEx::CreateDecoder(uint16_t method)
{
    decoder = ZipMakeDecoder(method);
    return decoder != nullptr;
}

bool ZipReadsMethod(uint16_t method)
{
    switch (method) {
    case ZipFormat::methodStored:
    case ZipFormat::methodShrunk:
    case ZipFormat::methodReduced1:
    case ZipFormat::methodReduced2:
    case ZipFormat::methodReduced3:
    case ZipFormat::methodImploded:
    case ZipFormat::methodDeflated:
    case ZipFormat::methodDeflate64: return true;
#ifdef ZIPEXT_HAVE_BZIP2
    case ZipFormat::methodBzip2: return true;
#endif
#ifdef ZIPEXT_HAVE_LZMA
    case ZipFormat::methodLzma:
    case ZipFormat::methodXz: return true;
#endif
#ifdef ZIPEXT_HAVE_ZSTD
    case ZipFormat::methodZstd: return true;
#endif
    default: return false;
    }
}

bool ZipReadsEntry(const CZipEntryHeader& header)
{
    if (header.method != ZipFormat::methodAes) return ZipReadsMethod(header.method);
    ZipAesInfo info;
    return ZipFindAesInfo(header.extraField.data(), header.extraField.length(), info) &&
           info.method != ZipFormat::methodAes && ZipReadsMethod(info.method) && CZipAesPrimitives::Available();
}
