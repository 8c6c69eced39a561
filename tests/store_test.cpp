// Archive storage: write buffering, short reads, volume bookkeeping and
// spanning over files of a fixed size.
#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "errors/ZipException.h"
#include "plugin/ZipHostStream.h"
#include "storage/ZipMemStream.h"
#include "storage/ZipStore.h"
#include "support/code_of.h"
#include "support/fake_host.h"
#include "support/test_platform.h"

namespace {

std::vector<uint8_t> Pattern(size_t n, unsigned seed = 1)
{
    std::vector<uint8_t> v(n);
    for (size_t i = 0; i < n; ++i) v[i] = static_cast<uint8_t>(i * 13 + seed);
    return v;
}

const std::vector<uint8_t> kMarker = {0x50, 0x4B, 0x07, 0x08};

std::vector<uint8_t> Concat(const std::vector<std::vector<uint8_t>>& parts)
{
    std::vector<uint8_t> all;
    for (const auto& p : parts) all.insert(all.end(), p.begin(), p.end());
    return all;
}

} // namespace

TEST(Store, WritesGoOutInBufferSizedPieces)
{
    FakeHostStream host;
    CZipHostStream adapter(&host, 0, 0, nullptr);
    CZipStore store;
    store.OpenStream(&adapter, CZipStore::create);
    EXPECT_EQ(store.SpanState(), 0);
    EXPECT_EQ(host.setSizeCalls, 1);   // a new archive starts empty

    auto data = Pattern(70000);
    store.Write(data.data(), 70000, false);
    EXPECT_EQ(host.writeRequests, std::vector<unsigned>({65536}));
    EXPECT_EQ(store.bufferedBytes, 4464u);
    store.FlushBuffer();
    EXPECT_EQ(host.writeRequests, std::vector<unsigned>({65536, 4464}));
    EXPECT_EQ(store.bufferedBytes, 0u);
    EXPECT_EQ(host.data, data);

    // Small header-sized writes are gathered.
    for (int i = 0; i < 100; ++i) store.Write(data.data(), 30, true);
    EXPECT_EQ(host.writeCalls, 2);
    std::string path = store.Close(false);
    EXPECT_TRUE(path.empty());
    EXPECT_EQ(host.writeRequests.back(), 3000u);
    EXPECT_EQ(store.stream, nullptr);
    EXPECT_EQ(store.currentVolume, -1);
}

TEST(Store, FileBufferingAndCloseAfterException)
{
    TempDir dir;
    std::string file = dir.File("new.zip");
    auto data = Pattern(70000);
    {
        CZipStore store;
        store.Open(file.c_str(), CZipStore::create, 0);
        store.Write(data.data(), 70000, false);
        EXPECT_EQ(ReadWholeFile(file).size(), 65536u);
        EXPECT_EQ(store.Close(false), file);
        EXPECT_EQ(ReadWholeFile(file).size(), 70000u);
    }
    {
        // After an exception the buffered bytes are dropped, but the file is
        // still closed.
        CZipStore store;
        store.Open(file.c_str(), CZipStore::create, 0);
        store.Write(data.data(), 100, false);
        EXPECT_EQ(store.Close(true), file);
        EXPECT_TRUE(store.diskStream.IsClosed());
        EXPECT_EQ(ReadWholeFile(file).size(), 0u);
    }
    {
        // A stream handed in stays open and untouched.
        CZipMemStream mem(64);
        uint8_t byte = 7;
        mem.Write(&byte, 1);
        CZipStore store;
        store.OpenStream(&mem, CZipStore::openExisting);
        store.AdoptLastDisk(0);
        store.Write(data.data(), 100, false);
        store.Close(true);
        EXPECT_FALSE(mem.IsClosed());
        EXPECT_EQ(mem.GetLength(), 1u);
    }
}

TEST(Store, ShortReadsThrowDamagedArchive)
{
    TempDir dir;
    std::string file = dir.File("short.zip");
    auto data = Pattern(50);
    WriteWholeFile(file, std::vector<unsigned char>(data.begin(), data.end()));

    CZipStore store;
    store.Open(file.c_str(), CZipStore::openReadOnly, 0);
    EXPECT_EQ(store.currentVolume, -1);   // unknown until the end record is read
    store.AdoptLastDisk(0);
    EXPECT_EQ(store.SpanState(), 0);
    EXPECT_TRUE(store.IsReadOnly());

    uint8_t buf[64];
    EXPECT_EQ(store.Read(buf, 0, true), 0u);
    EXPECT_EQ(store.Read(buf, 40, true), 40u);
    std::string path;
    // Not spanned: a short read fails whether or not it had to be whole.
    EXPECT_EQ(CodeOf([&] { store.Read(buf, 20, false); }, &path), ZipError::badZipFile);
    EXPECT_EQ(path, file);
    EXPECT_EQ(CodeOf([&] { store.Read(buf, 1, false); }, &path), ZipError::badZipFile);
    EXPECT_EQ(path, file);

    // Over an engine stream the path is empty.
    FakeHostStream host(std::vector<uint8_t>(data.begin(), data.end()));
    CZipHostStream adapter(&host, 0, 0, nullptr);
    CZipStore hosted;
    hosted.OpenStream(&adapter, CZipStore::openExisting);
    hosted.AdoptLastDisk(0);
    EXPECT_EQ(hosted.Read(buf, 50, true), 50u);
    EXPECT_EQ(CodeOf([&] { hosted.Read(buf, 1, true); }, &path), ZipError::badZipFile);
    EXPECT_TRUE(path.empty());
}

TEST(Store, LastVolumeOfSpannedArchiveIsReadOnly)
{
    TempDir dir;
    std::string file = dir.File("part.zip");
    auto data = Pattern(50);
    WriteWholeFile(file, std::vector<unsigned char>(data.begin(), data.end()));

    CZipStore store;
    store.Open(file.c_str(), CZipStore::openExisting, 0);
    EXPECT_EQ(store.SpanState(), -1);   // not known yet
    store.AdoptLastDisk(3);             // the end record names disk 3
    EXPECT_EQ(store.spanKind, CZipStore::spanSized);
    EXPECT_EQ(store.volumeSize, 3);
    EXPECT_EQ(store.currentVolume, 3);
    EXPECT_TRUE(store.IsReadOnly());
    EXPECT_TRUE(store.writeBuffer.empty());

    store.CheckVolume(3);
    std::string path = "x";
    EXPECT_EQ(CodeOf([&] { store.CheckVolume(0); }, &path), ZipError::tooManyVolumes);
    EXPECT_TRUE(path.empty());

    uint8_t buf[64];
    EXPECT_EQ(store.Read(buf, 30, false), 30u);
    // Reading on would need volume 4: that volume is never reachable.
    EXPECT_EQ(CodeOf([&] { store.Read(buf, 30, false); }), ZipError::tooManyVolumes);
    EXPECT_EQ(CodeOf([&] { store.Read(buf, 30, false); }), ZipError::tooManyVolumes);
    // A whole record that is cut short is damage, not a volume change.
    store.stream->Seek(40, CZipStream::begin);
    EXPECT_EQ(CodeOf([&] { store.Read(buf, 30, true); }), ZipError::badZipFile);

    // Nothing may be written to it, and the attempt does not hang.
    EXPECT_EQ(CodeOf([&] { store.Write(data.data(), 10, false); }), ZipError::internal);
    EXPECT_EQ(store.Close(false), file);
    EXPECT_EQ(ReadWholeFile(file).size(), 50u);
}

TEST(Store, EndRecordOnDiskZeroLeavesAnOrdinaryArchive)
{
    TempDir dir;
    std::string file = dir.File("plain.zip");
    WriteWholeFile(file, {1, 2, 3});
    CZipStore store;
    store.Open(file.c_str(), CZipStore::openExisting, 0);
    store.AdoptLastDisk(0);
    EXPECT_EQ(store.SpanState(), 0);
    EXPECT_FALSE(store.IsReadOnly());
    EXPECT_EQ(store.currentVolume, 0);
    store.stream->SeekToEnd();
    uint8_t more[2] = {4, 5};
    store.Write(more, 2, true);
    store.Close(false);
    EXPECT_EQ(ReadWholeFile(file), std::vector<unsigned char>({1, 2, 3, 4, 5}));

    // Known to be spanned over files from the start: kind 4 until the end
    // record says which volume this is.
    store.Open(file.c_str(), CZipStore::openReadOnly, 1);
    EXPECT_EQ(store.spanKind, CZipStore::spanExistingSized);
    store.AdoptLastDisk(2);
    EXPECT_EQ(store.spanKind, CZipStore::spanSized);
    EXPECT_EQ(store.volumeSize, 2);
    store.Close(false);
}

TEST(Store, OpenFailuresLeaveTheStoreClosed)
{
    TempDir dir;
    std::string missing = dir.File("missing.zip");
    CZipStore store;
    std::string path;
    EXPECT_EQ(CodeOf([&] { store.Open(missing.c_str(), CZipStore::openExisting, 0); }, &path), 2);
    EXPECT_EQ(path, missing);
    EXPECT_EQ(store.stream, nullptr);
    EXPECT_EQ(store.currentVolume, -1);

    // Removable-disk spanning needs a disk-change callback, which nothing
    // installs; with one, a fixed device is refused.
    EXPECT_EQ(CodeOf([&] { store.Open(missing.c_str(), CZipStore::createSpan, 0); }, &path),
              ZipError::noCallback);
    EXPECT_EQ(path, missing);
    struct GoOn : CZipSpanCallback {
        bool Callback(int) override { return true; }
    } callback;
    store.spanCallback = &callback;
    EXPECT_EQ(CodeOf([&] { store.Open(missing.c_str(), CZipStore::createSpan, -1); }),
              ZipError::nonRemovable);
    EXPECT_FALSE(FileExists(missing));
    EXPECT_EQ(store.stream, nullptr);
}

TEST(Store, SizedVolumesAreNumberedAndTheLastIsRenamed)
{
    TempDir dir;
    std::string file = dir.File("a.zip");
    auto data = Pattern(2500);

    CZipStore store;
    store.Open(file.c_str(), CZipStore::createSpan, 1000);
    EXPECT_EQ(store.SpanState(), 1);
    EXPECT_EQ(store.spanKind, CZipStore::spanSized);
    store.Write(data.data(), 2500, false);
    store.FlushBuffer();
    EXPECT_EQ(store.currentVolume, 2);
    auto first = ReadWholeFile(dir.File("a.000"));
    auto second = ReadWholeFile(dir.File("a.001"));
    EXPECT_EQ(first.size(), 1000u);
    EXPECT_EQ(second.size(), 1000u);
    EXPECT_EQ(std::vector<uint8_t>(first.begin(), first.begin() + 4), kMarker);
    EXPECT_TRUE(FileExists(dir.File("a.002")));

    store.CompleteSpan();
    EXPECT_FALSE(FileExists(dir.File("a.002")));
    auto last = ReadWholeFile(file);
    EXPECT_EQ(last.size(), 504u);
    EXPECT_EQ(Concat({first, second, last}), Concat({kMarker, data}));
    // Still spanned: only readable from now on.
    EXPECT_EQ(store.SpanState(), -1);
    EXPECT_EQ(store.volumeSize, 2);
    EXPECT_TRUE(store.IsReadOnly());
    EXPECT_EQ(store.stream->GetFilePath(), file);
    EXPECT_EQ(store.stream->GetLength(), 504u);
    EXPECT_EQ(store.Close(false), file);
}

TEST(Store, SpanThatFitsOneVolumeBecomesOrdinary)
{
    TempDir dir;
    std::string file = dir.File("one.zip");
    WriteWholeFile(file, {9, 9, 9});   // an old file of the final name goes
    auto data = Pattern(100);

    CZipStore store;
    store.Open(file.c_str(), CZipStore::createSpan, 1000);
    store.Write(data.data(), 100, false);
    store.FlushBuffer();
    store.CompleteSpan();
    EXPECT_EQ(store.SpanState(), 0);
    EXPECT_FALSE(store.IsReadOnly());
    EXPECT_FALSE(FileExists(dir.File("one.000")));
    EXPECT_EQ(ReadWholeFile(file), Concat({kMarker, data}));
    // Writable again.
    store.stream->SeekToEnd();
    store.Write(data.data(), 1, true);
    store.Close(false);
    EXPECT_EQ(ReadWholeFile(file).size(), 105u);
}

TEST(Store, WholeBlockGoesIntoAnEmptyVolumeEvenPastItsSize)
{
    TempDir dir;
    std::string file = dir.File("big.zip");
    auto block = Pattern(1500, 5);
    auto tail = Pattern(10, 9);

    CZipStore store;
    store.Open(file.c_str(), CZipStore::createSpan, 1000);
    store.Write(block.data(), 1500, true);   // the marker's volume cannot take it whole
    EXPECT_EQ(store.currentVolume, 1);
    store.Write(tail.data(), 10, true);      // the full volume cannot either
    EXPECT_EQ(store.currentVolume, 2);
    // Closing while still creating names the last volume as the archive.
    EXPECT_EQ(store.Close(false), file);
    EXPECT_EQ(ReadWholeFile(dir.File("big.000")), kMarker);
    EXPECT_EQ(ReadWholeFile(dir.File("big.001")), block);
    EXPECT_EQ(ReadWholeFile(file), tail);
    EXPECT_FALSE(FileExists(dir.File("big.002")));
}

TEST(Store, VolumeNamesReplaceTheExtension)
{
    CZipStore store;
    store.currentVolume = 7;
    EXPECT_EQ(store.GetVolumeName(false, "/d/x.y/arch.zip"), "/d/x.y/arch.007");
    EXPECT_EQ(store.GetVolumeName(true, "/d/x.y/arch"), "/d/x.y/arch.zip");
    store.currentVolume = 123;
    EXPECT_EQ(store.GetVolumeName(false, "c:\\dir\\arch.zip"), "c:\\dir\\arch.123");
}

TEST(Store, VolumeCountStopsAt999)
{
    TempDir dir;
    std::string file = dir.File("many.zip");
    CZipStore store;
    store.Open(file.c_str(), CZipStore::createSpan, 4);   // the marker fills volume 0
    auto data = Pattern(4 * 1000);
    std::string path;
    EXPECT_EQ(CodeOf([&] { store.Write(data.data(), 4 * 1000, false); }, &path),
              ZipError::tooManyVolumes);
    EXPECT_EQ(path, dir.File("many.998"));
    EXPECT_TRUE(FileExists(dir.File("many.998")));
    store.Close(true);
}

TEST(Store, DiskChangeCallbackIsAskedAgainUntilItGivesUp)
{
    // Removable devices do not exist here, so the disk-change dialogue is
    // driven on a file by switching the kind by hand.
    TempDir dir;
    std::string file = dir.File("disk.zip");
    struct Recorder : CZipSpanCallback {
        bool Callback(int code) override
        {
            codes.push_back(code);
            volumes.push_back(volumeNumber);
            return codes.size() < 2;
        }
        std::vector<int> codes;
        std::vector<int> volumes;
    } callback;

    CZipStore store;
    store.Open(file.c_str(), CZipStore::create, 0);
    store.spanKind = CZipStore::spanRemovable;
    store.creatingSpan = true;
    store.spanCallback = &callback;
    store.volumeFree = 0;
    uint8_t bytes[10] = {};
    std::string path;
    EXPECT_EQ(CodeOf([&] { store.Write(bytes, 10, true); }, &path), ZipError::aborted);
    EXPECT_EQ(path, file);
    // First the room needed, then "a file of that name is already there".
    EXPECT_EQ(callback.codes, std::vector<int>({10, -2}));
    EXPECT_EQ(callback.volumes, std::vector<int>({1, 1}));
    EXPECT_EQ(callback.path, file);
    store.Close(true);
}
