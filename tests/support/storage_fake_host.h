#pragma once
#include <cstdint>
#include <vector>

#include "plugin/VFInterfaces.h"

// A memory-backed engine stream for tests. It behaves like a well-mannered
// host (seek anywhere, reads stop at the end, writes past the end extend the
// data with zeros in any gap) and counts every call. Faults can be switched
// on one by one to play a misbehaving host.
class StorageFakeHost : public VFStreamSlots {
public:
    StorageFakeHost() = default;
    explicit StorageFakeHost(std::vector<uint8_t> initial) : data(std::move(initial)) {}


    int VF_CALL Seek(unsigned int offsetLow, int offsetHigh, int origin,
                     unsigned long long* newPosition) override;
    int VF_CALL Read(void* buffer, unsigned int count, unsigned int* bytesRead) override;
    int VF_CALL Write(const void* buffer, unsigned int count, unsigned int* bytesWritten) override;
    int VF_CALL SetSize(unsigned int sizeLow, unsigned int sizeHigh) override;

    // The stream's bytes and position (a 64-bit host position).
    std::vector<uint8_t> data;
    uint64_t position = 0;

    // Call counters.
    int seekCalls = 0;
    int readCalls = 0;
    int writeCalls = 0;
    int setSizeCalls = 0;
    // Every count handed to Write, in order, and every origin handed to Seek.
    std::vector<unsigned int> writeRequests;
    std::vector<int> seekOrigins;

    // Failure injection.
    int readStatus = 0;             // status Read returns (the bytes are copied anyway)
    bool readReportsAllOnes = false;  // Read reports 0xFFFFFFFF bytes
    // Per call: how many bytes Write accepts (front is used and dropped);
    // when empty, at most writeAcceptDefault bytes are accepted per call.
    std::vector<unsigned int> writeAccepts;
    unsigned int writeAcceptDefault = 0xFFFFFFFFu;
    int writeStatus = 0;            // status Write returns
    int setSizeStatus = 0;          // status SetSize returns
};

// A decode callback whose answers are set by the test; it counts the stop
// checks.
class StorageFakeCallback : public VFDecodeCallback {
public:
    int VF_CALL IsStopRequested() override
    {
        ++stopChecks;
        return stop ? 1 : 0;
    }
    int VF_CALL WantEntry(const char*) override { return want; }
    int VF_CALL ScanEntry(VFStream*, const char*, VFStream*, unsigned long long*, int, int) override
    {
        return verdict;
    }
    int VF_CALL QueryPassword(const char*, char*, int*) override { return 0; }

    bool stop = false;
    int want = 1;
    int verdict = 0;
    int stopChecks = 0;
};
