#include "support/storage_fake_host.h"

#include <algorithm>
#include <cstring>

int VF_CALL StorageFakeHost::Seek(unsigned int offsetLow, int offsetHigh, int origin,
                                  unsigned long long* newPosition)
{
    ++seekCalls;
    seekOrigins.push_back(origin);
    int64_t offset = static_cast<int64_t>((static_cast<uint64_t>(static_cast<uint32_t>(offsetHigh)) << 32) |
                                          offsetLow);
    int64_t base;
    switch (origin) {
    case 0: base = 0; break;
    case 1: base = static_cast<int64_t>(position); break;
    case 2: base = static_cast<int64_t>(data.size()); break;
    default: return 1;
    }
    if (base + offset < 0) return 1;
    position = static_cast<uint64_t>(base + offset);
    if (newPosition) *newPosition = position;
    return 0;
}

int VF_CALL StorageFakeHost::Read(void* buffer, unsigned int count, unsigned int* bytesRead)
{
    ++readCalls;
    uint64_t available = position < data.size() ? data.size() - position : 0;
    unsigned int n = static_cast<unsigned int>(std::min<uint64_t>(count, available));
    if (n > 0) std::memcpy(buffer, data.data() + position, n);
    position += n;
    if (bytesRead) *bytesRead = readReportsAllOnes ? 0xFFFFFFFFu : n;
    return readStatus;
}

int VF_CALL StorageFakeHost::Write(const void* buffer, unsigned int count, unsigned int* bytesWritten)
{
    ++writeCalls;
    writeRequests.push_back(count);
    unsigned int n = std::min(count, writeAcceptDefault);
    if (!writeAccepts.empty()) {
        n = std::min(count, writeAccepts.front());
        writeAccepts.erase(writeAccepts.begin());
    }
    if (n > 0) {
        if (position + n > data.size()) data.resize(static_cast<size_t>(position + n));
        std::memcpy(data.data() + position, buffer, n);
        position += n;
    }
    if (bytesWritten) *bytesWritten = n;
    return writeStatus;
}

int VF_CALL StorageFakeHost::SetSize(unsigned int sizeLow, unsigned int sizeHigh)
{
    ++setSizeCalls;
    data.resize(static_cast<size_t>((static_cast<uint64_t>(sizeHigh) << 32) | sizeLow));
    return setSizeStatus;
}
