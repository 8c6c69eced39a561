#pragma once
#include <isa-l/igzip_lib.h>

#include <memory>

#include "decoders/ZipStreamCodec.h"

// Raw inflate through Intel's ISA-L. Its state (about 90 KiB, the history
// window included) is allocated once per object and reused by Reset.
class CZipIsalInflater : public CZipStreamCodec {
public:
    bool Reset(const CZipEntryHeader& header) override;
    int Decode(const uint8_t*& in, uint32_t& inLength, uint8_t*& out, uint32_t& outLength) override;
    bool UnusedInput(uint32_t& held) const override;

private:
    std::unique_ptr<inflate_state> state;
};
