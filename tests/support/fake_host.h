#pragma once
// The scanning engine's side for tests: a decode callback that behaves like
// a well-mannered engine and records every question, over the test kit's
// memory streams (fake_stream.h), which it can share one fault plan with.
#include <cstdint>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "plugin/VFInterfaces.h"
#include "support/fake_stream.h"

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
