#include "decoders/ZipRawInflater.h"

#include "decoders/ZipZlibInflater.h"
#ifdef ZIPEXT_HAVE_ISAL
#include "decoders/ZipIsalInflater.h"
#endif

ZipInflateBackend ZipDefaultInflateBackend()
{
#ifdef ZIPEXT_USE_ISAL
    return ZipInflateBackend::isal;
#else
    return ZipInflateBackend::zlib;
#endif
}

std::vector<ZipInflateBackend> ZipInflateBackends()
{
    std::vector<ZipInflateBackend> all{ZipDefaultInflateBackend()};
#ifdef ZIPEXT_HAVE_ISAL
    all.push_back(all.front() == ZipInflateBackend::isal ? ZipInflateBackend::zlib : ZipInflateBackend::isal);
#endif
    return all;
}

const char* ZipInflateBackendName(ZipInflateBackend backend)
{
    return backend == ZipInflateBackend::isal ? "isa-l" : "zlib";
}

std::unique_ptr<CZipStreamCodec> ZipMakeRawInflater(ZipInflateBackend backend)
{
#ifdef ZIPEXT_HAVE_ISAL
    if (backend == ZipInflateBackend::isal) return std::make_unique<CZipIsalInflater>();
#endif
    (void)backend;
    return std::make_unique<CZipZlibInflater>();
}
