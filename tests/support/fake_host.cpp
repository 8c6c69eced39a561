#include "support/fake_host.h"

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
    seekOrigins.push_back(origin);
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
    writeRequests.push_back(count);
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
    data.resize(static_cast<size_t>((static_cast<uint64_t>(sizeHigh) << 32) | sizeLow), 0);
    return setSizeStatus;
}

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
