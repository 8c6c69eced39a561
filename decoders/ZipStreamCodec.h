#pragma once
#include <cstdint>

class CZipEntryHeader;

// One compressed stream decoded by a library (zlib, ISA-L, libbz2, liblzma,
// libzstd). Whichever library runs, Decode answers in zlib's result codes
// with zlib's meaning, so the decoder above maps them to archive errors one
// way:
//   Z_OK          some input was taken or some output made
//   Z_STREAM_END  the stream has ended and all its output is out
//   Z_BUF_ERROR   nothing could be done: more input is needed and none came
//   Z_DATA_ERROR  the data is damaged; the output made before it is out
//   Z_MEM_ERROR / Z_STREAM_ERROR  the library has no state to work with
class CZipStreamCodec {
public:
    virtual ~CZipStreamCodec() = default;
    // Starts a new stream for the entry; false when the library could not
    // get its state.
    virtual bool Reset(const CZipEntryHeader& header) = 0;
    // Decodes from in[0..inLength) into out[0..outLength), moving both
    // pointers past what was taken and made and lowering both lengths.
    virtual int Decode(const uint8_t*& in, uint32_t& inLength, uint8_t*& out, uint32_t& outLength) = 0;
    // True for formats whose data carries its own end marker, so that the
    // decoder may follow them past a compressed size that says less.
    virtual bool EndsItself() const { return true; }
    // Once the stream has ended: input the codec took in but did not use
    // (read ahead past the end). False where the codec cannot say.
    virtual bool UnusedInput(uint32_t& held) const
    {
        held = 0;
        return true;
    }
};
