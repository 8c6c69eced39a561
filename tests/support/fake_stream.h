#pragma once
#include <cstdint>
#include <vector>

#include "plugin/VFInterfaces.h"

// The engine's memory stream, one for every test, benchmark, fuzz target
// and test host: it behaves like a well-mannered engine's and counts every
// call, with faults to switch on one by one to play a misbehaving one. The
// streams and the test engine (fake_host.h) can share one fault plan, so
// that a test can fail the k-th read, write or stop check of a whole
// cleaning run.
struct CleaningFaults {
    enum Kind {
        none,
        readStatus,      // the k-th read returns a failure status (buffer filled anyway)
        readsFailFrom,   // every read from the k-th on fails
        shortWrite,      // the k-th write takes only part of the bytes
        zeroWrite,       // the k-th write takes nothing
        stopRequest,     // the engine asks to stop from the k-th stop check on
        writeBurst,      // the k-th write takes half, the next five take nothing
        archiveRefusesWrites,  // no write to the archive stream takes a byte (k is not used)
        archiveDropsWrites,    // the archive stream claims every write and keeps none, nor any new size
    };
    Kind kind = none;
    int at = 0;  // 1-based number of the call of that kind

    int reads = 0;
    int writes = 0;
    int stopChecks = 0;
    bool fired = false;

    bool FailRead();
    unsigned AcceptWrite(unsigned count, bool toArchive);
    bool Stop();
};

const char* CleaningFaultName(CleaningFaults::Kind kind);

// An engine stream over a byte vector: it seeks anywhere, reads stop at the
// end, writes past the end extend the data with zeros in any gap.
class FakeHostStream final : public VFStreamSlots {
public:
    FakeHostStream() = default;
    explicit FakeHostStream(std::vector<uint8_t> bytes) : data(std::move(bytes)) {}

    int VF_CALL Seek(unsigned int offsetLow, int offsetHigh, int origin,
                     unsigned long long* newPosition) override;
    int VF_CALL Read(void* buffer, unsigned int count, unsigned int* bytesRead) override;
    int VF_CALL Write(const void* buffer, unsigned int count, unsigned int* bytesWritten) override;
    int VF_CALL SetSize(unsigned int sizeLow, unsigned int sizeHigh) override;

    std::vector<uint8_t> Contents() const { return data; }

    std::vector<uint8_t> data;
    uint64_t position = 0;
    // A write or new size that would make the data longer than this fails
    // with status 28 (the disk is full) and takes nothing.
    uint64_t sizeLimit = ~0ull;
    // Whether every write's count and seek's origin is kept (a long run
    // that needs neither turns it off).
    bool keepCalls = true;

    // Calls, every count handed to Write and every origin handed to Seek.
    int seekCalls = 0;
    int readCalls = 0;
    int writeCalls = 0;
    int setSizeCalls = 0;
    uint64_t bytesWritten = 0;
    std::vector<unsigned int> writeRequests;
    std::vector<int> seekOrigins;

    // Faults of this stream alone.
    int readStatus = 0;               // status Read returns (the bytes are copied anyway)
    bool readReportsAllOnes = false;  // Read reports 0xFFFFFFFF bytes
    // Per call: how many bytes Write accepts (front is used and dropped);
    // when empty, at most writeAcceptDefault bytes are accepted per call.
    std::vector<unsigned int> writeAccepts;
    unsigned int writeAcceptDefault = 0xFFFFFFFFu;
    int writeStatus = 0;              // status Write returns
    int setSizeStatus = 0;            // status SetSize returns
    // A fault plan shared with other streams and the callback; isArchive
    // marks the archive's stream for the faults of that stream alone.
    CleaningFaults* faults = nullptr;
    bool isArchive = false;
};
