#include "ScanCallback.h"

#include <cstring>

#include "Progress.h"

namespace zipscan {

std::atomic<bool> ScanCallback::interrupted{false};

namespace {

bool LooksLikeDirectory(const char* name)
{
    std::size_t n = std::strlen(name);
    return n > 0 && (name[n - 1] == '/' || name[n - 1] == '\\');
}

// Reads the whole temporary stream through its engine interface, the way an
// engine that did not create it would.
bool ReadAll(VFStream* stream, std::vector<unsigned char>& out)
{
    unsigned long long end = 0;
    if (stream->Seek(0, 0, 2, &end) != 0 || end > 0xFFFFFFFFull) return false;
    if (stream->Seek(0, 0, 0, nullptr) != 0) return false;
    out.resize(static_cast<std::size_t>(end));
    std::size_t done = 0;
    while (done < out.size()) {
        unsigned int got = 0;
        auto want = static_cast<unsigned int>(std::min<std::size_t>(out.size() - done, 1u << 20));
        if (stream->Read(out.data() + done, want, &got) != 0 || got == 0) return false;
        done += got;
    }
    return true;
}

bool Rewrite(VFStream* stream, const std::vector<unsigned char>& data)
{
    if (stream->SetSize(0, 0) != 0 || stream->Seek(0, 0, 0, nullptr) != 0) return false;
    std::size_t done = 0;
    while (done < data.size()) {
        unsigned int put = 0;
        auto want = static_cast<unsigned int>(std::min<std::size_t>(data.size() - done, 1u << 20));
        stream->Write(data.data() + done, want, &put);
        if (put == 0) return false;
        done += put;
    }
    return stream->Seek(0, 0, 0, nullptr) == 0;
}

} // namespace

ScanCallback::ScanCallback(const SignatureSet& set, const std::vector<std::string>& list,
                           const PassPlan& passPlan, ProgressLine* line)
    : signatures(set), passwords(list), plan(passPlan), progress(line)
{
}

EntryResult* ScanCallback::Current(const char* name)
{
    // The module names the entry it is working on; it is always the one it
    // offered last.
    if (entries.empty() || !name || entries.back().name != name) return nullptr;
    return &entries.back();
}

int ScanCallback::IsStopRequested()
{
    if (interrupted.load()) stopRequested = true;
    if (plan.stopAfterFirst && found) stopRequested = true;
    return stopRequested ? 1 : 0;
}

int ScanCallback::WantEntry(const char* name)
{
    if (!name) return 0;
    EntryResult entry;
    entry.name = name;
    entry.directory = LooksLikeDirectory(name);
    entries.push_back(entry);
    verdicts.push_back(0);
    if (!plan.extract) return 0;
    if (plan.only && plan.only->count(entry.name) == 0) return 0;
    return 1;
}

int VF_CALL ScanCallback::ScanEntry(VFStream* archive, const char* name, VFStream* temporary,
                                    unsigned long long* uncompressedSize, int, int)
{
    (void)archive;
    EntryResult* entry = Current(name);
    if (!entry || !temporary) return 0;
    std::vector<unsigned char> data;
    if (!ReadAll(temporary, data)) {
        failure = "cannot read back the extracted entry " + entry->name;
        return 0;
    }
    if (entry->scanned) {
        // A second hand-over under the same name is content the listing
        // does not account for; it gets its own record.
        EntryResult again;
        again.name = entry->name;
        again.repeated = true;
        entries.push_back(again);
        verdicts.push_back(0);
        entry = &entries.back();
    }
    entry->scanned = true;
    entry->received = data.size();
    entry->password = inForce;
    entry->directory = false;
    entry->size = uncompressedSize ? *uncompressedSize : data.size();
    entry->findings = signatures.Scan(data);
    if (progress) progress->EntryScanned(data.size());
    if (entry->findings.empty()) return 0;
    found = true;
    if (!plan.clean) return 0;

    int verdict = 0;
    switch (entry->Wanted()) {
    case Action::Delete:
        verdict = VF_VERDICT_DELETE;
        break;
    case Action::Cure:
        signatures.Cure(data);
        if (Rewrite(temporary, data))
            verdict = VF_VERDICT_CURED;
        else
            failure = "cannot write the cured data of " + entry->name;
        break;
    case Action::Report:
        break;
    }
    verdicts[entries.size() - 1] = verdict;
    return verdict;
}

int VF_CALL ScanCallback::QueryPassword(const char* name, char* buffer, int* bufferSize)
{
    if (!buffer || !bufferSize || *bufferSize <= 0) return 0;
    EntryResult* entry = Current(name);
    int index = plan.password;
    if (entry) {
        entry->passwordAsked = true;
        if (plan.passwordFor) {
            auto it = plan.passwordFor->find(entry->name);
            if (it != plan.passwordFor->end()) index = it->second;
        }
    }
    // With no password to offer, answer an empty one rather than declining:
    // a refusal would end the whole walk, an empty password only fails this
    // entry and the module moves on to the next.
    std::string answer = index >= 0 && static_cast<std::size_t>(index) < passwords.size()
                             ? passwords[static_cast<std::size_t>(index)] : std::string();
    std::size_t room = static_cast<std::size_t>(*bufferSize) - 1;
    std::size_t n = std::min(answer.size(), room);
    std::memcpy(buffer, answer.data(), n);
    buffer[n] = '\0';
    // The module keeps it for every later entry of this call.
    inForce = index;
    return 1;
}

} // namespace zipscan
