#pragma once
// An engine stream held in memory: the temporary stream into which the
// module extracts one entry at a time.
#include <cstdint>
#include <vector>

#include "plugin/VFInterfaces.h"

namespace zipscan {

class MemoryStream final : public VFStream {
public:
    void VF_CALL Reserved0() override {}
    void VF_CALL Reserved1() override {}
    void VF_CALL Reserved2() override {}
    void VF_CALL Reserved3() override {}
    void VF_CALL Reserved4() override {}
    void VF_CALL Reserved5() override {}
    void VF_CALL Reserved6() override {}
    void VF_CALL Reserved7() override {}
    int VF_CALL Seek(unsigned int offsetLow, int offsetHigh, int origin,
                     unsigned long long* newPosition) override;
    int VF_CALL Read(void* buffer, unsigned int count, unsigned int* bytesRead) override;
    int VF_CALL Write(const void* buffer, unsigned int count, unsigned int* bytesWritten) override;
    int VF_CALL SetSize(unsigned int sizeLow, unsigned int sizeHigh) override;

    const std::vector<unsigned char>& Bytes() const { return bytes; }

    // An entry of a ZIP archive without 64-bit extensions never exceeds this.
    static constexpr std::uint64_t kLimit = 0xFFFFFFFFull;

private:
    bool Grow(std::uint64_t size);

    std::vector<unsigned char> bytes;
    std::uint64_t position = 0;
};

} // namespace zipscan
