#include "support/fake_stream.h"

#include <algorithm>
#include <cstring>

bool CleaningFaults::FailRead()
{
    ++reads;
    if (kind == readStatus && reads == at) return fired = true;
    if (kind == readsFailFrom && reads >= at) return fired = true;
    return false;
}

unsigned CleaningFaults::AcceptWrite(unsigned count, bool toArchive)
{
    ++writes;
    if (kind == archiveRefusesWrites && toArchive) {
        fired = true;
        return 0;
    }
    if (kind == writeBurst && writes > at && writes <= at + 5) {
        fired = true;
        return 0;
    }
    if (writes != at) return count;
    if (kind == shortWrite || kind == writeBurst) {
        fired = true;
        return count / 2;
    }
    if (kind == zeroWrite) {
        fired = true;
        return 0;
    }
    return count;
}

bool CleaningFaults::Stop()
{
    ++stopChecks;
    if (kind == stopRequest && stopChecks >= at) return fired = true;
    return false;
}

const char* CleaningFaultName(CleaningFaults::Kind kind)
{
    switch (kind) {
    case CleaningFaults::none: return "none";
    case CleaningFaults::readStatus: return "read status";
    case CleaningFaults::readsFailFrom: return "reads fail from";
    case CleaningFaults::shortWrite: return "short write";
    case CleaningFaults::zeroWrite: return "zero write";
    case CleaningFaults::stopRequest: return "stop request";
    case CleaningFaults::writeBurst: return "write burst";
    case CleaningFaults::archiveRefusesWrites: return "archive refuses writes";
    case CleaningFaults::archiveDropsWrites: return "archive drops writes";
    }
    return "?";
}

int VF_CALL FakeHostStream::Seek(unsigned int offsetLow, int offsetHigh, int origin,
                                 unsigned long long* newPosition)
{
    ++seekCalls;
    if (keepCalls) seekOrigins.push_back(origin);
    const int64_t offset = static_cast<int64_t>(
        (static_cast<uint64_t>(static_cast<uint32_t>(offsetHigh)) << 32) | offsetLow);
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

int VF_CALL FakeHostStream::Read(void* buffer, unsigned int count, unsigned int* bytesRead)
{
    ++readCalls;
    if (faults && faults->FailRead()) {
        // A failing host may still have scribbled into the buffer.
        std::memset(buffer, 0xA5, count);
        if (bytesRead) *bytesRead = count;
        return 5;
    }
    const uint64_t available = position < data.size() ? data.size() - position : 0;
    const unsigned int n = static_cast<unsigned int>(std::min<uint64_t>(count, available));
    if (n > 0) std::memcpy(buffer, data.data() + position, n);
    position += n;
    if (bytesRead) *bytesRead = readReportsAllOnes ? 0xFFFFFFFFu : n;
    return readStatus;
}

int VF_CALL FakeHostStream::Write(const void* buffer, unsigned int count, unsigned int* bytesWritten)
{
    ++writeCalls;
    if (keepCalls) writeRequests.push_back(count);
    if (position + count > sizeLimit) {
        if (bytesWritten) *bytesWritten = 0;
        return 28;
    }
    if (isArchive && faults && faults->kind == CleaningFaults::archiveDropsWrites) {
        faults->fired = true;
        position += count;
        if (bytesWritten) *bytesWritten = count;
        return 0;
    }
    unsigned int n = std::min(count, writeAcceptDefault);
    if (!writeAccepts.empty()) {
        n = std::min(count, writeAccepts.front());
        writeAccepts.erase(writeAccepts.begin());
    }
    int status = writeStatus;
    if (faults) {
        const unsigned int accepted = faults->AcceptWrite(n, isArchive);
        if (accepted < n) status = 28;
        n = accepted;
    }
    if (n > 0) {
        if (position + n > data.size()) data.resize(static_cast<size_t>(position + n), 0);
        std::memcpy(data.data() + position, buffer, n);
        position += n;
    }
    this->bytesWritten += n;
    if (bytesWritten) *bytesWritten = n;
    return status;
}

int VF_CALL FakeHostStream::SetSize(unsigned int sizeLow, unsigned int sizeHigh)
{
    ++setSizeCalls;
    if (isArchive && faults && faults->kind == CleaningFaults::archiveDropsWrites) return 0;
    const uint64_t size = (static_cast<uint64_t>(sizeHigh) << 32) | sizeLow;
    if (size > sizeLimit) return 28;
    data.resize(static_cast<size_t>(size), 0);
    return setSizeStatus;
}
