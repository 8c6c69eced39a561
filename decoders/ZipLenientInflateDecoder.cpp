#include "decoders/ZipLenientInflateDecoder.h"

#include <algorithm>
#include <cstring>

namespace {

constexpr int kRawWindowBits = -15;
constexpr uint32_t kWindowSize = 32768;
// The input window, and how far ahead of zlib it is kept filled: far enough
// for every start a search tries.
constexpr uint32_t kInputSize = 256u * 1024;
constexpr uint32_t kLookahead = 64u * 1024;
// How far behind the damage a search looks for a new start, in bits:
// inside the damaged block (every bit position is a candidate there), and
// for a new block (only positions whose header passes a quick check).
constexpr uint64_t kInBlockBits = 256;
constexpr uint64_t kSearchBits = 8u * 4096;
// A start is taken when it decodes this many bytes, or to the data's end,
// without error.
constexpr uint32_t kAcceptOutput = 1024;
// Starts tried per entry at most: a few to begin with, and one more for
// each compressed byte.
constexpr uint32_t kMostStarts = 1024;
constexpr uint32_t kFirstStarts = 16;

} // namespace

CZipLenientInflateDecoder::CZipLenientInflateDecoder() : main(), tables() {}

CZipLenientInflateDecoder::~CZipLenientInflateDecoder()
{
    Release();
}

void CZipLenientInflateDecoder::Release()
{
    if (mainReady) inflateEnd(&main);
    if (haveTables) inflateEnd(&tables);
    mainReady = haveTables = false;
}

void CZipLenientInflateDecoder::End()
{
    Release();
}

bool CZipLenientInflateDecoder::Init(CZipStore* storeArg, CZipEntryHeader* headerArg, uint32_t* keysArg)
{
    CZipDecoder::Init(storeArg, headerArg, keysArg);
    Release();
    ended = false;
    inBlock = false;
    windowStart = 0;
    windowLength = 0;
    produced = 0;
    startsLeft = 0;
    history.Allocate(kWindowSize, true);
    dictionary.Allocate(kWindowSize, true);
    scratch.Allocate(kAcceptOutput);
    return true;
}

void CZipLenientInflateDecoder::Fill()
{
    const uint32_t at = mainReady ? static_cast<uint32_t>(main.next_in - window.data()) : 0;
    if (windowLength - at >= kLookahead || compressedLeft == 0) return;
    // Bytes zlib holds bits of lie at most 8 behind its position; keep them
    // for a search that starts there.
    const uint32_t keep = std::min<uint32_t>(at, 8);
    const uint32_t drop = at - keep;
    std::memmove(window.data(), window.data() + drop, windowLength - drop);
    windowStart += drop;
    windowLength -= drop;
    const uint32_t want = std::min(compressedLeft, window.length() - windowLength);
    const uint32_t n = FetchUpToEnd(window.data() + windowLength, want);
    compressedLeft = n < want ? 0 : compressedLeft - n;
    windowLength += n;
    if (mainReady) {
        main.next_in = window.data() + keep;
        main.avail_in = windowLength - keep;
    }
}

uint64_t CZipLenientInflateDecoder::BitPosition() const
{
    const uint64_t byte = windowStart + static_cast<uint64_t>(main.next_in - window.data());
    return byte * 8 - static_cast<uint64_t>(main.data_type & 63);
}

uint32_t CZipLenientInflateDecoder::BitAt(uint64_t bit) const
{
    const uint64_t byte = bit >> 3;
    if (byte < windowStart || byte - windowStart >= windowLength) return 0;
    return (window[static_cast<uint32_t>(byte - windowStart)] >> (bit & 7)) & 1u;
}

void CZipLenientInflateDecoder::Remember(const uint8_t* bytes, uint32_t n)
{
    if (n > kWindowSize) {
        bytes += n - kWindowSize;
        produced += n - kWindowSize;
        n = kWindowSize;
    }
    while (n > 0) {
        const uint32_t at = static_cast<uint32_t>(produced % kWindowSize);
        const uint32_t piece = std::min(n, kWindowSize - at);
        std::memcpy(history.data() + at, bytes, piece);
        bytes += piece;
        n -= piece;
        produced += piece;
    }
}

bool CZipLenientInflateDecoder::StartAt(z_stream& z, bool withTables, uint64_t bit)
{
    const uint64_t byte = bit >> 3;
    if (byte < windowStart || byte - windowStart >= windowLength) return false;
    z = z_stream();
    if (withTables) {
        if (inflateCopy(&z, &tables) != Z_OK) return false;
    } else if (inflateInit2(&z, kRawWindowBits) != Z_OK) {
        return false;
    }
    const uint32_t offset = static_cast<uint32_t>(byte - windowStart);
    const int shift = static_cast<int>(bit & 7);
    bool ok = inflatePrime(&z, -1, 0) == Z_OK && inflateSetDictionary(&z, dictionary.data(), kWindowSize) == Z_OK;
    if (ok && shift != 0) ok = inflatePrime(&z, 8 - shift, window[offset] >> shift) == Z_OK;
    if (!ok) {
        inflateEnd(&z);
        return false;
    }
    z.next_in = window.data() + offset + (shift != 0 ? 1 : 0);
    z.avail_in = windowLength - offset - (shift != 0 ? 1 : 0);
    return true;
}

bool CZipLenientInflateDecoder::Trial(bool withTables, uint64_t bit)
{
    if (startsLeft == 0) return false;
    --startsLeft;
    z_stream z;
    if (!StartAt(z, withTables, bit)) return false;
    uint32_t made = 0;
    int result = Z_OK;
    while (result == Z_OK && made < kAcceptOutput) {
        z.next_out = scratch.data() + made;
        z.avail_out = kAcceptOutput - made;
        result = inflate(&z, Z_NO_FLUSH);
        made = kAcceptOutput - z.avail_out;
    }
    // Running out of input is no fault where the data ends there.
    const bool atEnd = result == Z_BUF_ERROR && compressedLeft == 0;
    inflateEnd(&z);
    return made >= kAcceptOutput || result == Z_STREAM_END || (atEnd && made > 0);
}

void CZipLenientInflateDecoder::TakeDictionary()
{
    // The output so far, the oldest first, behind zeros where there is less
    // than a window of it.
    const uint32_t have = static_cast<uint32_t>(std::min<uint64_t>(produced, kWindowSize));
    const uint32_t from = static_cast<uint32_t>((produced - have) % kWindowSize);
    std::memset(dictionary.data(), 0, kWindowSize - have);
    const uint32_t first = std::min(have, kWindowSize - from);
    std::memcpy(dictionary.data() + kWindowSize - have, history.data() + from, first);
    std::memcpy(dictionary.data() + kWindowSize - have + first, history.data(), have - first);
}

uint32_t CZipLenientInflateDecoder::BitsAt(uint64_t bit, int n) const
{
    uint32_t value = 0;
    for (int i = 0; i < n; ++i) value |= BitAt(bit + static_cast<uint64_t>(i)) << i;
    return value;
}

bool CZipLenientInflateDecoder::MayStartBlock(uint64_t bit) const
{
    // A fixed-code block (type 1) would take almost any bits: only stored
    // (0) and dynamic (2) blocks are looked for.
    const uint32_t type = BitsAt(bit + 1, 2);
    if (type == 0) {
        // A stored block's length and its complement at the next byte.
        const uint64_t at = ((bit + 3 + 7) / 8) * 8;
        return (BitsAt(at, 16) ^ BitsAt(at + 16, 16)) == 0xFFFFu;
    }
    if (type != 2) return false;
    // A dynamic block: at most 286 and 30 codes, and lengths of its
    // code-length code that make a complete code (zlib takes no other).
    if (BitsAt(bit + 3, 5) > 29 || BitsAt(bit + 8, 5) > 29) return false;
    const uint32_t lengths = BitsAt(bit + 13, 4) + 4;
    uint32_t kraft = 0;
    for (uint32_t i = 0; i < lengths; ++i) {
        const uint32_t length = BitsAt(bit + 17 + 3 * i, 3);
        if (length > 0) kraft += 128u >> length;
    }
    return kraft == 128;
}

bool CZipLenientInflateDecoder::Resync()
{
    const uint64_t damage = BitPosition();
    const uint64_t end = std::min((windowStart + windowLength) * 8, damage + kSearchBits);
    TakeDictionary();
    for (uint64_t bit = damage; bit < end && startsLeft > 0; ++bit) {
        bool withTables = false;
        bool found = haveTables && inBlock && bit < damage + kInBlockBits && Trial(true, bit);
        if (found) {
            withTables = true;
        } else {
            found = MayStartBlock(bit) && Trial(false, bit);
        }
        if (!found) continue;
        inflateEnd(&main);
        mainReady = false;
        if (!StartAt(main, withTables, bit)) return false;
        mainReady = true;
        inBlock = withTables;
        return true;
    }
    return false;
}

uint32_t CZipLenientInflateDecoder::DecodeInto(uint8_t* buffer, uint32_t length)
{
    if (ended) return 0;
    if (!mainReady) {
        startsLeft = static_cast<uint32_t>(std::min<uint64_t>(kMostStarts, kFirstStarts + uint64_t{compressedLeft}));
        // The input window, no larger than the data needs.
        window.Allocate(static_cast<uint32_t>(std::min<uint64_t>(kInputSize, uint64_t{compressedLeft} + 16)));
        Fill();
        main = z_stream();
        if (inflateInit2(&main, kRawWindowBits) != Z_OK) {
            Stop(ZipStopReason::outOfMemory);
            ended = true;
            return 0;
        }
        mainReady = true;
        main.next_in = window.data();
        main.avail_in = windowLength;
        // Distances in front of the data read zeros.
        if (inflateSetDictionary(&main, dictionary.data(), kWindowSize) != Z_OK) {
            Stop(ZipStopReason::streamError);
            ended = true;
            return 0;
        }
    }
    uint32_t total = 0;
    while (total < length) {
        Fill();
        main.next_out = buffer + total;
        main.avail_out = length - total;
        const int result = inflate(&main, Z_TREES);
        const uint32_t made = length - total - main.avail_out;
        Remember(buffer + total, made);
        total += made;
        if (result == Z_OK && (main.data_type & 256)) {
            // A block's header has just been read: keep its tables.
            if (haveTables) inflateEnd(&tables);
            haveTables = inflateCopy(&tables, &main) == Z_OK;
            inBlock = true;
        } else if (result == Z_OK && (main.data_type & 128)) {
            inBlock = false;
        }
        if (result == Z_OK) continue;
        if (result == Z_BUF_ERROR && main.avail_out == 0) break;
        if (result == Z_STREAM_END) {
            ended = true;
            break;
        }
        // The first damage names the reading's reason, whatever starts follow.
        Stop(result == Z_BUF_ERROR ? ZipStopReason::inputEnded : ZipStopReason::invalidData);
        if (result == Z_DATA_ERROR && Resync()) continue;
        ended = true;
        break;
    }
    return total;
}
