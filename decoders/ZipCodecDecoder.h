#pragma once
#include <memory>

#include "decoders/ZipDecoder.h"
#include "decoders/ZipStreamCodec.h"

// A method whose data a library decodes: compressed blocks go from the
// decoder's input buffer (decrypted where the entry is encrypted) through
// the codec, and what it makes leaves through Read like every method's
// bytes. Damage ends the entry after the bytes made before it; the close
// reports the error. The codec's state belongs to this object and lives
// until its destructor, so a close after an exception frees it too.
//
// Libraries may find damage while their output is still held inside them,
// so how much of a damaged stream comes out can depend on the size of the
// output buffer they are handed. A staged decoder therefore has the codec
// always fill a 64 KiB buffer of its own and hands out from there: what the
// caller receives never depends on the caller's read sizes.
class CZipCodecDecoder : public CZipDecoder {
public:
    explicit CZipCodecDecoder(std::unique_ptr<CZipStreamCodec> codec, bool staged = true);
    ~CZipCodecDecoder() override;

    bool Init(CZipStore* store, CZipEntryHeader* header, uint32_t* keys) override;
    uint32_t DecodeInto(uint8_t* buffer, uint32_t length) override;
    bool FollowsOwnEnd() const override { return codec->EndsItself(); }
    // The library's own words for why it stopped, where it has them.
    const char* LibraryMessage() const { return codec ? codec->Message() : nullptr; }

protected:
    // Decodes into out until room is 0 (Z_OK) or the stream ends or fails
    // (the codec's result), fetching compressed blocks as needed.
    int Run(uint8_t*& out, uint32_t& room);
    // Ends a DecodeInto call that made `total` bytes with `result`.
    uint32_t Finish(int result, uint32_t total);
    // Puts a fresh codec in place and forgets the input fetched so far.
    void Replace(std::unique_ptr<CZipStreamCodec> fresh);
    // Whether the bytes a codec made in the call that failed are handed
    // over; a decoder that reads the entry again on failure says no.
    virtual bool KeepsOutputOfFailedCall() const { return true; }
    bool ReachedOwnEnd(uint32_t& unused) const override;

    std::unique_ptr<CZipStreamCodec> codec;
    bool codecReady = false;
    // Compressed bytes fetched and not yet taken by the codec.
    const uint8_t* input = nullptr;
    uint32_t inputLength = 0;
    // The stream has ended, or failed.
    bool ended = false;
    // The entry's compressed size (its data alone), and the compressed bytes
    // fetched so far: a stream that ends before that size leaves bytes
    // behind it that may be another stream's, or damage.
    uint32_t declaredInput = 0;
    uint32_t fetchedInput = 0;

private:
    // Starts the codec on the entry, with no input fetched.
    void StartCodec();
    uint32_t DecodeStaged(uint8_t* buffer, uint32_t length);

    bool staged;
    CZipBuffer stage;
    uint32_t stagePosition = 0;
    uint32_t stageCount = 0;
    // How the codec's last fill of the stage ended (Z_OK: it filled it).
    int stageResult = 0;
};
