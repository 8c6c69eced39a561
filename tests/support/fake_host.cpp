#include "support/fake_host.h"

#include <algorithm>
#include <cstring>

int VF_CALL CleaningEngine::IsStopRequested()
{
    ++stopChecks;
    if (!wanted.empty()) ++stopChecksAfterFirstWant;
    if (faults && faults->Stop()) return 1;
    return stopAfterScans >= 0 && static_cast<int>(scans.size()) >= stopAfterScans;
}

int VF_CALL CleaningEngine::WantEntry(const char* name)
{
    wanted.push_back(name);
    if (asciiOnly)
        for (const char* p = name; *p; ++p)
            if (static_cast<unsigned char>(*p) < 0x20 || static_cast<unsigned char>(*p) >= 0x7F) return 0;
    return wantNone || skip.count(name) ? 0 : 1;
}

int VF_CALL CleaningEngine::ScanEntry(VFStream* archive, const char* name, VFStream* temporary,
                                      unsigned long long* uncompressedSize, int reserved1,
                                      int reserved2)
{
    (void)archive;
    (void)reserved1;
    (void)reserved2;
    auto* stream = static_cast<FakeHostStream*>(temporary);
    scans.push_back(Scan{name, stream->data, uncompressedSize ? *uncompressedSize : ~0ull});
    Verdict verdict;
    auto it = verdicts.find(name);
    if (it != verdicts.end()) {
        verdict = it->second;
    } else if (scans.size() <= verdictsInOrder.size()) {
        verdict.verdict = verdictsInOrder[scans.size() - 1];
        verdict.cured = curedInOrder;
    }
    if (verdict.verdict == VF_VERDICT_CURED) {
        stream->data = verdict.cured;
        stream->position = stream->data.size();
    }
    return verdict.verdict;
}

int VF_CALL CleaningEngine::QueryPassword(const char* name, char* buffer, int* bufferSize)
{
    passwordQuestions.push_back(name);
    if (!rawPassword.empty()) {
        std::memcpy(buffer, rawPassword.data(),
                    std::min<size_t>(rawPassword.size(), static_cast<size_t>(*bufferSize)));
        return 1;
    }
    if (passwords.empty()) return 0;
    std::string answer = passwords.front();
    passwords.erase(passwords.begin());
    std::strncpy(buffer, answer.c_str(), static_cast<size_t>(*bufferSize));
    return 1;
}

CleaningResult CleaningDecode(const std::vector<uint8_t>& bytes, CleaningEngine& engine,
                              uint64_t base, CleaningFaults* faults)
{
    FakeHostStream archive(bytes);
    FakeHostStream temporary;
    archive.faults = faults;
    archive.isArchive = true;
    temporary.faults = faults;
    engine.faults = faults;
    CleaningResult out;
    out.result = ZipArchive_Decode(&archive, nullptr, static_cast<unsigned>(base & 0xFFFFFFFFu),
                                   static_cast<int>(base >> 32), &temporary, &engine);
    out.archive = std::move(archive.data);
    out.archiveWrites = archive.writeCalls;
    out.archiveSetSizes = archive.setSizeCalls;
    engine.faults = nullptr;
    return out;
}
