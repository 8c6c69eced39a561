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
    // True for formats whose data may hold several streams (or frames) one
    // after another. The codec ends (Z_STREAM_END) where what follows a
    // stream does not start another; bytes left there inside the entry's
    // compressed size are damage. At a stream's end such a codec answers
    // Z_OK and looks at what follows on its next call, which the decoder
    // makes with enough bytes in hand to tell a stream's start (at least 16,
    // unless the data ends sooner).
    virtual bool SpansStreams() const { return false; }
    // Why the library stopped, in its own words where it has them (zlib's
    // `msg`); null where it does not say.
    virtual const char* Message() const { return nullptr; }
};
