#pragma once
// The engine's temporary stream, into which the module extracts one entry at
// a time. Small entries stay in memory; past a threshold the bytes move to an
// unlinked temporary file, so a big entry costs disk space, not memory. Writes
// past a cap are shortened, which is how the host ends an entry that grows
// past its size limit.
#include <cstdint>
#include <vector>

#include "plugin/ZipHost.h"

namespace zipscan {

class TemporaryStream final : public VFStreamSlots {
public:
    explicit TemporaryStream(std::uint64_t spillThreshold = kSpillThreshold);
    ~TemporaryStream();
    TemporaryStream(const TemporaryStream&) = delete;
    TemporaryStream& operator=(const TemporaryStream&) = delete;

    int VF_CALL Seek(unsigned int offsetLow, int offsetHigh, int origin,
                     unsigned long long* newPosition) override;
    int VF_CALL Read(void* buffer, unsigned int count, unsigned int* bytesRead) override;
    int VF_CALL Write(const void* buffer, unsigned int count, unsigned int* bytesWritten) override;
    int VF_CALL SetSize(unsigned int sizeLow, unsigned int sizeHigh) override;

    // No byte is taken past this size; a write that crosses it is shortened.
    void SetCap(std::uint64_t bytes) { cap = bytes < kLimit ? bytes : kLimit; }
    // A write was shortened or refused at the cap since the stream was last
    // emptied.
    bool Capped() const { return capped; }
    // A write below the cap failed (memory, or the temporary file could not
    // be made or written) since the stream was last emptied.
    bool Refused() const { return refused; }
    std::uint64_t Size() const { return size; }
    bool OnDisk() const { return onDisk; }

    // An entry of a ZIP archive without 64-bit extensions never exceeds this.
    static constexpr std::uint64_t kLimit = 0xFFFFFFFFull;
    static constexpr std::uint64_t kSpillThreshold = 16u << 20;

private:
    bool Reserve(std::uint64_t end);
    bool Spill();

    std::vector<unsigned char> bytes;   // the content while it is in memory
    int fd = -1;                        // the temporary file, once one was needed
    bool onDisk = false;
    bool capped = false;
    bool refused = false;
    std::uint64_t threshold;
    std::uint64_t cap = kLimit;
    std::uint64_t size = 0;
    std::uint64_t position = 0;
};

} // namespace zipscan
