#pragma once
// Shared by the decoder fuzz targets: splits an input laid out as
//   method (1 byte) | flags (u16 LE) | uncompressed size (u32 LE) | raw data
// and runs one decoder over the raw data held in a memory-backed storage;
// every target also runs the read-size oracle (CheckReadSizes) on it.
#include <zlib.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

#include "archive/ZipCrypto.h"
#include "archive/ZipEntryHeader.h"
#include "decoders/ZipDecoder.h"
#include "decoders/ZipUnshrinkDecoder.h"
#include "errors/ZipException.h"
#include "storage/ZipMemStream.h"
#include "storage/ZipStore.h"

namespace fuzzinput {

// Keeps one input's work bounded: a bomb may claim up to 4 GiB.
constexpr uint32_t kMaxUncompressed = 16u << 20;

// The fields of the seed header and the raw data behind it.
struct Fields {
    uint16_t flags = 0;
    uint32_t declared = 0;
    const uint8_t* raw = nullptr;
    uint32_t rawSize = 0;
};

// False for inputs too short for the header or too large to be worth a run.
inline bool Split(const uint8_t* data, size_t size, Fields& f)
{
    if (size < 7 || size > (4u << 20)) return false;
    f.flags = static_cast<uint16_t>(data[1] | (data[2] << 8));
    f.declared = static_cast<uint32_t>(data[3]) | (static_cast<uint32_t>(data[4]) << 8) |
                 (static_cast<uint32_t>(data[5]) << 16) | (static_cast<uint32_t>(data[6]) << 24);
    f.raw = data + 7;
    f.rawSize = static_cast<uint32_t>(size - 7);
    return true;
}

// Keys of a fixed password, for the encrypted-flag inputs.
inline void FuzzKeys(uint32_t keys[3])
{
    static const uint8_t kPassword[] = {'f', 'u', 'z', 'z'};
    ZipCrypto::InitKeys(keys, kPassword, sizeof kPassword);
}

// The input's raw data as one entry held in a memory-backed storage.
struct InputEntry {
    InputEntry(const Fields& f, uint32_t declared)
    {
        if (f.rawSize > 0) stream.Write(f.raw, f.rawSize);
        stream.SeekToBegin();
        store.OpenStream(&stream, CZipStore::openReadOnly);
        header.flags = f.flags;
        header.compressedSize = f.rawSize;
        header.uncompressedSize = declared;
        FuzzKeys(keys);
    }
    bool Init(CZipDecoder& decoder) { return decoder.Init(&store, &header, keys); }

    CZipMemStream stream{65536};
    CZipStore store;
    CZipEntryHeader header;
    uint32_t keys[3];
};

inline void RunDecoder(CZipDecoder& decoder, const uint8_t* data, size_t size)
{
    Fields f;
    if (!Split(data, size, f)) return;

    InputEntry entry(f, std::min(f.declared, kMaxUncompressed));

    // Odd read sizes for inputs whose top flag bit is set.
    const uint32_t chunk = (f.flags & 0x8000) ? 1 + f.declared % 5000 : 65536;
    std::vector<uint8_t> buffer(chunk);
    try {
        entry.Init(decoder);
        uint64_t total = 0;
        for (;;) {
            const uint32_t n = decoder.Read(buffer.data(), chunk);
            total += n;
            if (n < chunk || total > kMaxUncompressed) break;
        }
        decoder.End();
    } catch (const CZipException&) {
    }
}

// How RunChecked reads: the work bound, the caller buffer sizes that flags
// bits 12 to 14 pick from, and when the decoder's counters must agree.
struct CheckedRun {
    uint64_t maxOutput;
    uint32_t chunks[8];
    // Tiny reads over seeds past 64 KiB would only slow the search down.
    bool wholeReadsOverLargeSeeds;
    // After every read; otherwise once the data has ended (a window decoder
    // counts a window when it is made pending, ahead of the caller taking it).
    bool countsEveryRead;
    // Whether the decoder stops at the header's uncompressed size.
    bool (*capsAtDeclaredSize)(const CZipDecoder& decoder);
};

// Explode and Unreduce have no end marker of their own; Deflate64 has one,
// and Unshrink ends with its input.
inline bool CapsAtDeclaredSize(const CZipDecoder& decoder)
{
    return !decoder.FollowsOwnEnd() && dynamic_cast<const CZipUnshrinkDecoder*>(&decoder) == nullptr;
}

// Runs a legacy decoder and traps when it delivers more than it was asked
// for or than the header announces, or when its counters and CRC disagree
// with what it delivered.
inline void RunChecked(CZipDecoder& decoder, const uint8_t* data, size_t size, const CheckedRun& how)
{
    Fields f;
    if (!Split(data, size, f)) return;

    InputEntry entry(f, f.declared);

    const uint32_t pick = how.chunks[(f.flags >> 12) & 7];
    const uint32_t chunk = how.wholeReadsOverLargeSeeds && f.rawSize > 65536 && pick < 4096 ? 65536 : pick;
    std::vector<uint8_t> buffer(chunk);
    try {
        entry.Init(decoder);
        uint64_t total = 0;
        uint32_t crc = 0;
        auto checkCounts = [&] {
            if (decoder.UncompressedLeft() != (total >= f.declared ? 0 : f.declared - total)) __builtin_trap();
            if (decoder.Delivered() != total) __builtin_trap();
            if (decoder.Crc() != crc) __builtin_trap();
        };
        // Methods without an end marker stop at the header's size; the
        // others decode to the end of their own data, whatever it says.
        const bool capped = how.capsAtDeclaredSize(decoder);
        for (;;) {
            const uint32_t n = decoder.Read(buffer.data(), chunk);
            if (n > chunk) __builtin_trap();
            crc = static_cast<uint32_t>(crc32(crc, buffer.data(), n));
            total += n;
            if (capped && total > f.declared) __builtin_trap();
            if (how.countsEveryRead) checkCounts();
            if (n < chunk || total > how.maxOutput) break;
        }
        if (total <= how.maxOutput) {
            checkCounts();
            // A finished decoder stays finished.
            if (decoder.Read(buffer.data(), chunk) != 0) __builtin_trap();
        }
        decoder.End();
    } catch (const CZipException&) {
    }
}

// Explode and Deflate64: buffer sizes that end inside matches and stored
// blocks, and whole windows.
constexpr CheckedRun kWindowRun = {8u << 20, {65536, 1, 7, 16384, 333, 8191, 2, 100000}, false, false,
                                   CapsAtDeclaredSize};
// Unshrink and Unreduce: buffer sizes that end inside strings and matches,
// and whole windows.
constexpr CheckedRun kLzwRun = {1u << 20, {65536, 1, 7, 16384, 333, 8191, 2, 4096}, true, true,
                                CapsAtDeclaredSize};

// ---- The read-size oracle ------------------------------------------------

// What one run of a decoder handed over, and how it ended.
struct Delivery {
    std::vector<uint8_t> bytes;
    bool threw = false;
    int code = 0;
};

// Runs a decoder over the input's data, asking for nextSize() bytes per Read
// until a read comes back short or `bound` bytes have come.
template <class NextSize>
Delivery Deliver(CZipDecoder& decoder, const Fields& f, NextSize nextSize, size_t bound)
{
    Delivery d;
    InputEntry entry(f, f.declared);
    try {
        if (entry.Init(decoder)) {
            while (d.bytes.size() < bound) {
                const uint32_t want = nextSize();
                const size_t at = d.bytes.size();
                d.bytes.resize(at + want);
                const uint32_t n = decoder.Read(d.bytes.data() + at, want);
                if (n > want) __builtin_trap();
                d.bytes.resize(at + n);
                if (n < want) break;
            }
        }
        decoder.End();
    } catch (const CZipException& e) {
        d.threw = true;
        d.code = e.code;
    }
    return d;
}

// Output bound of each oracle run.
constexpr size_t kOracleBound = 256u << 10;

// Traps unless a decoder hands over the same bytes for the input whatever
// the caller's read sizes: once read in 64 KiB pieces, once in sizes that
// change at every call, drawn from the input's hash (mostly tiny ones, some
// a byte either side of the window sizes, some medium). Both runs stop at
// kOracleBound. A run that throws loses what the throwing read produced, so
// then only the common part must agree, and two throws must be the same.
// make() gives a fresh decoder for each run.
template <class Make>
void CheckReadSizes(Make make, const uint8_t* data, size_t size)
{
    Fields f;
    if (!Split(data, size, f)) return;

    auto whole = make();
    const Delivery a = Deliver(*whole, f, [] { return 65536u; }, kOracleBound);

    uint32_t state = static_cast<uint32_t>(crc32(0, data, static_cast<uInt>(size))) | 1u;
    auto varied = [&state]() -> uint32_t {
        state ^= state << 13;
        state ^= state >> 17;
        state ^= state << 5;
        static constexpr uint32_t kEdges[] = {4095,  4097,  8191,  8193,  16383, 16385,
                                              32767, 32769, 65535, 65537};
        const uint32_t pick = state >> 24;
        if (pick < 128) return 1 + (state & 15u);
        if (pick < 192) return kEdges[(state >> 4) % 10];
        return 17 + (state & 4095u);
    };
    auto pieces = make();
    const Delivery b = Deliver(*pieces, f, varied, kOracleBound);

    const size_t na = std::min(a.bytes.size(), kOracleBound);
    const size_t nb = std::min(b.bytes.size(), kOracleBound);
    const size_t common = std::min(na, nb);
    if (!std::equal(a.bytes.begin(), a.bytes.begin() + static_cast<std::ptrdiff_t>(common), b.bytes.begin()))
        __builtin_trap();
    if (a.threw && b.threw && a.code != b.code) __builtin_trap();
    if (!a.threw && !b.threw && na != nb) __builtin_trap();
}

} // namespace fuzzinput
