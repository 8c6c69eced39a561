// The cleaning export over an arbitrary byte string: an engine that cures,
// deletes or keeps each entry by a hash of its name. Beyond "no crash", it
// checks the promises the export makes about the archive it leaves:
// - an answer of 0 leaves the stream byte for byte as it was;
// - after an answer of 3 the stream is an archive the module opens again,
//   and a second run without verdicts changes nothing.
#include <zlib.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "plugin/VFInterfaces.h"
#include "support/fake_stream.h"

namespace {

constexpr size_t kMaxInput = 4u << 20;
// What the temporary stream takes for one entry: a tiny archive that
// claims gigabytes must cost bounded time and memory.
constexpr size_t kTemporaryBudget = 1u << 20;

// The test kit's memory stream, held to a budget and keeping no record of
// its calls.
FakeHostStream MemoryStream(uint64_t budget)
{
    FakeHostStream stream;
    stream.sizeLimit = budget;
    stream.keepCalls = false;
    return stream;
}

class HashEngine final : public VFDecodeCallback {
public:
    explicit HashEngine(bool verdictsArg) : verdicts(verdictsArg) {}
    int VF_CALL IsStopRequested() override { return 0; }
    int VF_CALL WantEntry(const char*) override { return 1; }
    int VF_CALL ScanEntry(VFStream*, const char* name, VFStream* temporary, unsigned long long*, int,
                          int) override
    {
        if (!verdicts) return 0;
        const uint32_t h = static_cast<uint32_t>(
            crc32(0, reinterpret_cast<const Bytef*>(name), static_cast<uInt>(std::strlen(name))));
        auto* stream = static_cast<FakeHostStream*>(temporary);
        switch (h % 4) {
        case 1:
            return VF_VERDICT_DELETE;
        case 2:
            stream->data.resize(stream->data.size() / 2);  // "cured" by cutting
            return VF_VERDICT_CURED;
        case 3:
            stream->data.clear();
            return VF_VERDICT_CURED;
        default:
            return 0;
        }
    }
    int VF_CALL QueryPassword(const char*, char* buffer, int*) override
    {
        if (asked++) return 0;
        std::memcpy(buffer, "fuzz", 5);
        return 1;
    }
    bool verdicts;
    int asked = 0;
};

int Decode(FakeHostStream& archive, bool verdicts)
{
    FakeHostStream temporary = MemoryStream(kTemporaryBudget);
    HashEngine engine(verdicts);
    return ZipArchive_Decode(&archive, nullptr, 0, 0, &temporary, &engine);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size == 0 || size > kMaxInput) return 0;
    FakeHostStream archive = MemoryStream(2 * kMaxInput + kTemporaryBudget);
    archive.data.assign(data, data + size);
    const int result = Decode(archive, true);
    if (result == 0) {
        if (archive.data.size() != size || std::memcmp(archive.data.data(), data, size) != 0) std::abort();
        return 0;
    }
    if (result != 3) std::abort();

    unsigned char first[2] = {0, 0};
    if (!archive.data.empty()) first[0] = archive.data[0];
    if (archive.data.size() > 1) first[1] = archive.data[1];
    // Recognition wants "PK" in front; a stub in front is fine for the
    // export itself, so only archives that start like one are asked.
    if (first[0] == 'P' && first[1] == 'K') {
        archive.position = 0;
        if (ZipArchive_Recongnize(&archive, nullptr, 0, 0, first) != 1) std::abort();
    }
    const std::vector<uint8_t> cleaned = archive.data;
    if (Decode(archive, false) != 0 || archive.data != cleaned) std::abort();
    return 0;
}
