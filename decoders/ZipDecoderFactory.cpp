// The compression methods this module reads and the decoder of each.
#include <memory>

#include "archive/ZipConstants.h"
#include "decoders/ZipArchiveEx.h"
#include "decoders/ZipDeflate64Decoder.h"
#include "decoders/ZipEmptyDecoder.h"
#include "decoders/ZipExplodeDecoder.h"
#include "decoders/ZipInflateDecoder.h"
#include "decoders/ZipStoredDecoder.h"
#include "decoders/ZipUnreduceDecoder.h"
#include "decoders/ZipUnshrinkDecoder.h"

bool CZipArchiveEx::CreateDecoder(uint16_t method)
{
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
    // Tokenized (7) and the PKWARE implode variant (10) open but read empty.
    case ZipFormat::methodTokenized:
    case ZipFormat::methodPkImplode: decoder = std::make_unique<CZipEmptyDecoder>(); break;
    // Reduced with factor 4 (5) and everything above 10 are not read.
    default: decoder.reset(); break;
    }
    return decoder != nullptr;
}
