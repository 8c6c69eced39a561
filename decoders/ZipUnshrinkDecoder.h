#pragma once
#include <cstdint>

#include "decoders/ZipDecoder.h"
#include "decoders/ZipBitInput.h"

// Method 1 (shrunk): dynamic LZW with codes of 9 to 13 bits. Code 256 is a
// control code: followed by 1 it widens the codes by one bit, followed by 2 it
// frees every code that is no other code's prefix (a partial clear). There is
// never a full reset. Each code is decoded into a string on a private stack;
// whatever does not fit into the caller's buffer stays there for the next
// Read.
class CZipUnshrinkDecoder : public CZipDecoder {
public:
    CZipUnshrinkDecoder();
    ~CZipUnshrinkDecoder() override;

    bool Init(CZipStore* store, CZipEntryHeader* header, uint32_t* keys) override;
    uint32_t DecodeInto(uint8_t* buffer, uint32_t length) override;

    static constexpr uint32_t codeCount = 8192;     // 13-bit codes
    static constexpr uint32_t controlCode = 256;
    static constexpr uint32_t minCodeSize = 9;
    static constexpr uint32_t maxCodeSize = 13;

private:
    void PartialClear();
    // Gives the string just decoded a new code: the previous code's string
    // plus the string's first byte.
    void AddCode(uint8_t firstByte);
    // AddCode where the next code in order is taken, or with the tracking.
    void AddCodeSearching(uint8_t firstByte);
    // The two ways of a clear (see below).
    void ClearByScan();
    void ClearByList();
    // Sets the bookkeeping of the clears by list up from the table.
    void StartTracking();
    // Puts a code on the list the next clear looks at.
    void Touch(uint32_t code);
    void SetFree(uint32_t code, bool free);
    // The lowest free code from `from` on, codeCount when there is none;
    // needs the tracking.
    uint32_t NextFreeCode(uint32_t from) const;

    uint32_t codeSize = minCodeSize;
    uint32_t previousCode = 0;
    uint32_t lastAssignedCode = controlCode;
    // Set once the data has ended, also when it turned out malformed.
    bool finished = false;
    // Decoded bytes still owed to the caller, at the low end of the stack's
    // used part.
    uint8_t* pendingPosition = nullptr;
    uint32_t pendingCount = 0;
    CZipBitInput input;
    // prefix[c] is the code whose string c extends (0 for a free code, whose
    // string is then "suffix[c], 0" like any dangling reference);
    // freeCode[c] marks the codes that are not assigned.
    uint16_t prefix[codeCount];
    uint8_t suffix[codeCount];
    uint8_t freeCode[codeCount];
    // A clear frees the codes above 256 that are no assigned code's prefix
    // and keeps the others. After many new codes it is one pass over the
    // table, paid for by those codes. After few, it is done by list, so that
    // a stream of clears costs what it adds, not the table's size each time:
    // it changes only codes whose free mark disagrees with their child
    // count, and each of those is on the touched list (codes whose mark or
    // count changed since the last clear). The counts, the list and the
    // free bits are kept only while `tracking`; a clear by list that finds
    // them stale builds them first, which happens once at the start and
    // then only after a scan, so the codes added before that pay for it.
    static constexpr uint32_t scanAfterCodes = codeCount / 8;
    uint32_t codesSinceClear = 0;
    bool tracking = false;
    uint16_t childCount[codeCount];  // assigned codes whose prefix this is
    uint16_t touched[codeCount];
    uint32_t touchedCount = 0;
    uint8_t isTouched[codeCount];    // also the scratch of a clear by scan
    // freeCode as bits, and a bit per word that holds any, so the lowest free
    // code is found in a few steps even when thousands of kept codes lie
    // below it (a stream of clears each followed by one new code).
    static constexpr uint32_t freeWordCount = codeCount / 64;
    uint64_t freeWords[freeWordCount];
    uint64_t freeSummary[freeWordCount / 64];
    // Scratch for one string, filled from its end at stack + codeCount; the
    // slack behind lets short strings be copied in one fixed-size move.
    static constexpr uint32_t stackSlack = 16;
    uint8_t stack[codeCount + stackSlack];
    // Compressed bytes on their way into the bit input.
    static constexpr uint32_t inputBlockSize = 8192;
    uint8_t inputBlock[inputBlockSize];
};
