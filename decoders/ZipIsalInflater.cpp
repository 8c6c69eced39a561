#include "decoders/ZipIsalInflater.h"

#include <new>

#include <zlib.h>

bool CZipIsalInflater::Reset(const CZipEntryHeader&)
{
    if (!state) state.reset(new (std::nothrow) inflate_state);
    if (!state) return false;
    isal_inflate_init(state.get());
    state->crc_flag = ISAL_DEFLATE;
    // The whole 32 KiB window, as deflate allows.
    state->hist_bits = 0;
    return true;
}

bool CZipIsalInflater::UnusedInput(uint32_t& held) const
{
    // Whole bytes still in the bit buffer were read past the stream's end.
    held = state && state->read_in_length > 0 ? static_cast<uint32_t>(state->read_in_length) / 8 : 0;
    return state != nullptr;
}

int CZipIsalInflater::Decode(const uint8_t*& in, uint32_t& inLength, uint8_t*& out, uint32_t& outLength)
{
    if (!state) return Z_MEM_ERROR;
    if (state->block_state == ISAL_BLOCK_FINISH) return Z_STREAM_END;
    state->next_in = const_cast<uint8_t*>(in);
    state->avail_in = inLength;
    state->next_out = out;
    state->avail_out = outLength;
    const int result = isal_inflate(state.get());
    const bool progress = state->avail_in != inLength || state->avail_out != outLength;
    in = state->next_in;
    inLength = state->avail_in;
    out = state->next_out;
    outLength = state->avail_out;
    // Every negative answer is damage of one kind or another (an invalid
    // block type, symbol or distance); the raw mode has no wrapper or
    // checksum to fail.
    if (result < 0) return Z_DATA_ERROR;
    if (state->block_state == ISAL_BLOCK_FINISH) return Z_STREAM_END;
    return progress ? Z_OK : Z_BUF_ERROR;
}
