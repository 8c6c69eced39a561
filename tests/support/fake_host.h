#pragma once
#include <cstdint>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "plugin/VFInterfaces.h"

// The scanning engine's side for tests: memory streams and a decode callback
// that behave like a well-mannered host and count every call, with faults to
// switch on one by one to play a misbehaving one. Its streams and callback
// can share one fault plan, so that a test can fail the k-th read, write or
// stop check of a whole cleaning run.
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

    std::vector<uint8_t> data;
    uint64_t position = 0;

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

// The engine's decode callback: verdicts per entry name (as the module
// hands names out), passwords to answer with, and a record of every
// question asked.
class CleaningEngine final : public VFDecodeCallback {
public:
    struct Verdict {
        int verdict = 0;
        std::vector<uint8_t> cured;  // the temporary stream's new content for verdict 3
    };
    struct Scan {
        std::string name;
        std::vector<uint8_t> data;
        unsigned long long size;
    };

    int VF_CALL IsStopRequested() override;
    int VF_CALL WantEntry(const char* name) override;
    int VF_CALL ScanEntry(VFStream* archive, const char* name, VFStream* temporary,
                          unsigned long long* uncompressedSize, int reserved1,
                          int reserved2) override;
    int VF_CALL QueryPassword(const char* name, char* buffer, int* bufferSize) override;

    void Cure(const std::string& name, std::vector<uint8_t> bytes)
    {
        verdicts[name] = Verdict{3, std::move(bytes)};
    }
    void Delete(const std::string& name) { verdicts[name] = Verdict{5, {}}; }

    std::map<std::string, Verdict> verdicts;
    // Verdicts for the first, second, ... entry scanned that has none by
    // name; a cure writes curedInOrder.
    std::vector<int> verdictsInOrder;
    std::vector<uint8_t> curedInOrder;
    // WantEntry answers 0 for names with bytes outside printable ASCII.
    bool asciiOnly = false;
    // WantEntry answers 0 for these (and for every name when wantNone).
    std::set<std::string> skip;
    bool wantNone = false;
    // Answers to QueryPassword in order; false once they are used up.
    std::vector<std::string> passwords;
    // When set, these bytes are written into the buffer as they are, with
    // no terminator (an engine that fills the whole buffer).
    std::string rawPassword;
    // IsStopRequested answers true once this many entries were scanned.
    int stopAfterScans = -1;
    CleaningFaults* faults = nullptr;

    std::vector<std::string> wanted;
    std::vector<Scan> scans;
    std::vector<std::string> passwordQuestions;
    int stopChecks = 0;
    int stopChecksAfterFirstWant = 0;
};

struct CleaningResult {
    int result = 0;
    std::vector<uint8_t> archive;
    int archiveWrites = 0;    // Write and SetSize calls the archive stream saw
    int archiveSetSizes = 0;
};

// One ZipArchive_Decode over a copy of the bytes (the archive starting at
// base inside them), with a fresh temporary stream.
CleaningResult CleaningDecode(const std::vector<uint8_t>& bytes, CleaningEngine& engine,
                              uint64_t base = 0, CleaningFaults* faults = nullptr);
