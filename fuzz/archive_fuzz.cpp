// Opens an arbitrary byte string as an archive held in memory and extracts
// every entry, with a password set so that encrypted entries are decoded too.
// Output goes to a sink that only counts, with a budget per input, so that a
// tiny archive claiming gigabytes costs bounded time.
#include <cstddef>
#include <cstdint>
#include <string>

#include "decoders/ZipArchiveEx.h"
#include "errors/ZipException.h"
#include "storage/ZipMemStream.h"
#include "storage/ZipStream.h"

namespace {

constexpr uint64_t kOutputBudget = 1u << 20;
constexpr size_t kMaxInput = 4u << 20;

class CountingSink : public CZipStream {
public:
    void Close() override {}
    void Flush() override {}
    uint64_t GetPosition() override { return 0; }
    uint64_t Seek(int64_t, int) override { return 0; }
    uint64_t GetLength() override { return 0; }
    void SetLength(uint64_t) override {}
    std::string GetFilePath() override { return std::string(); }
    uint32_t Read(void*, uint32_t) override { return 0; }
    void Write(const void*, uint32_t count) override
    {
        written += count;
        if (written > kOutputBudget) ThrowZipException(ZipError::zlibMemory);
    }
    bool IsClosed() override { return false; }
    uint64_t written = 0;
};

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size == 0 || size > kMaxInput) return 0;
    CZipMemStream image(65536);
    image.Write(data, static_cast<uint32_t>(size));
    image.SeekToBegin();
    CountingSink sink;
    try {
        CZipArchiveEx archive;
        archive.Open(image, CZipArchive::openExisting);
        archive.SetPassword("fuzz");
        const int count = archive.GetCount();
        for (int i = 0; i < count; ++i) {
            try {
                archive.ExtractEntryToStream(static_cast<uint16_t>(i), sink, 65536);
            } catch (const CZipException&) {
                archive.CloseEntry(nullptr, true);
            }
        }
    } catch (const CZipException&) {
    }
    return 0;
}
