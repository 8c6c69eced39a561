#pragma once
#include <cstdint>
#include <memory>
#include <vector>

// The inflaters a build can carry. zlib is always there (it also deflates
// cured entries, and it is the one the Windows DLL has); ISA-L only where
// the build found it.
enum class ZipInflateBackend : uint8_t { zlib, isal };

// One raw deflate stream (no wrapper, 32 KiB window) decoded by one back end.
// Whichever runs, Inflate answers in zlib's result codes with zlib's meaning,
// so the decoder above maps them to archive errors one way:
//   Z_OK          some input was taken or some output made
//   Z_STREAM_END  the last block has ended and all its output is out
//   Z_BUF_ERROR   nothing could be done: more input is needed and none came
//   Z_DATA_ERROR  the data is damaged; the output made before it is out
//   Z_MEM_ERROR / Z_STREAM_ERROR  the back end has no state to work with
class CZipRawInflater {
public:
    virtual ~CZipRawInflater() = default;
    // Starts a new stream; false when the back end could not get its state.
    virtual bool Reset() = 0;
    // Decodes from in[0..inLength) into out[0..outLength), moving both
    // pointers past what was taken and made and lowering both lengths.
    virtual int Inflate(const uint8_t*& in, uint32_t& inLength, uint8_t*& out, uint32_t& outLength) = 0;
};

// The back end the module reads with: ISA-L where the build has it, unless
// the build was told to use zlib.
ZipInflateBackend ZipDefaultInflateBackend();
// Every back end this build carries, the default first.
std::vector<ZipInflateBackend> ZipInflateBackends();
const char* ZipInflateBackendName(ZipInflateBackend backend);
// A fresh inflater of that back end (zlib's where the build lacks it).
std::unique_ptr<CZipRawInflater> ZipMakeRawInflater(ZipInflateBackend backend);
