#pragma once
#include <cstdint>
#include <memory>
#include <vector>

#include "decoders/ZipStreamCodec.h"

// The inflaters a build can carry. zlib is always there (it also deflates
// cured entries, and it is the one the Windows DLL has); ISA-L only where
// the build found it.
enum class ZipInflateBackend : uint8_t { zlib, isal };

// A raw deflate stream (no wrapper, 32 KiB window) is decoded by one of the
// back ends as a CZipStreamCodec.
// The back end the module reads with: ISA-L where the build has it, unless
// the build was told to use zlib.
ZipInflateBackend ZipDefaultInflateBackend();
// Every back end this build carries, the default first.
std::vector<ZipInflateBackend> ZipInflateBackends();
const char* ZipInflateBackendName(ZipInflateBackend backend);
// A fresh inflater of that back end (zlib's where the build lacks it).
std::unique_ptr<CZipStreamCodec> ZipMakeRawInflater(ZipInflateBackend backend);
