// Why a decoder stopped, in words. Kept apart from the decoder base: the
// library's own message is asked of the codec decoders, which build on the
// base, so the base itself need not know them.
#include "decoders/ZipCodecDecoder.h"
#include "decoders/ZipDecoder.h"

const char* CZipDecoder::StopReason() const
{
    switch (stopReason) {
    case ZipStopReason::none: return nullptr;
    case ZipStopReason::inputEnded: return "input ended";
    case ZipStopReason::outputLimit: return "output limit";
    case ZipStopReason::invalidData: return "invalid data";
    case ZipStopReason::invalidBlockType: return "invalid block type";
    case ZipStopReason::invalidTree: return "invalid tree description";
    case ZipStopReason::invalidCode: return "invalid code";
    case ZipStopReason::invalidCodeSize: return "invalid code size";
    case ZipStopReason::invalidFirstCode: return "invalid first code";
    case ZipStopReason::bytesAfterEnd: return "bytes after the last stream";
    case ZipStopReason::outOfMemory: return "out of memory";
    case ZipStopReason::streamError: return "stream error";
    case ZipStopReason::library: break;
    }
    const auto* codec = dynamic_cast<const CZipCodecDecoder*>(this);
    const char* said = codec ? codec->LibraryMessage() : nullptr;
    return said ? said : "invalid data";
}
