// The engine-stream adapter: base offsets, stop requests, host failures and
// the write loop.
#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "errors/ZipException.h"
#include "plugin/ZipHostStream.h"
#include "storage/ZipStore.h"
#include "support/fake_host.h"

namespace {

std::vector<uint8_t> Pattern(size_t n)
{
    std::vector<uint8_t> v(n);
    for (size_t i = 0; i < n; ++i) v[i] = static_cast<uint8_t>(i * 11 + 1);
    return v;
}

} // namespace

TEST(HostStream, BaseOffsetShiftsEveryPosition)
{
    FakeHostStream host(Pattern(5000));
    CZipHostStream s(&host, 1000, 0, nullptr);
    EXPECT_FALSE(s.IsClosed());   // even before anything was read
    EXPECT_TRUE(s.GetFilePath().empty());
    EXPECT_TRUE(s.Open("x", 0, true));

    host.position = 3210;
    EXPECT_EQ(s.GetLength(), 4000u);
    EXPECT_EQ(host.position, 3210u);   // the length query puts the host back

    s.Seek(0, CZipStream::begin);
    EXPECT_EQ(host.position, 1000u);
    EXPECT_EQ(s.GetPosition(), 0u);

    s.Seek(-22, CZipStream::end);
    EXPECT_EQ(host.position, 4978u);
    EXPECT_EQ(s.GetPosition(), 3978u);
    s.Seek(-10, CZipStream::current);
    EXPECT_EQ(host.position, 4968u);

    s.SeekToBegin();
    EXPECT_EQ(host.position, 1000u);
    uint8_t buf[4];
    EXPECT_EQ(s.Read(buf, 4), 4u);
    EXPECT_EQ(buf[0], host.data[1000]);
    s.SeekToEnd();
    EXPECT_EQ(host.position, 5000u);

    int seeks = host.seekCalls;
    s.Seek(5, 3);   // unknown origin: the host is not asked
    EXPECT_EQ(host.seekCalls, seeks);

    s.SetLength(100);
    EXPECT_EQ(host.data.size(), 1100u);
    s.Close();
    s.Flush();
    EXPECT_EQ(host.data.size(), 1100u);
}

TEST(HostStream, BaseOffsetAbove4GiBUsesBothHalves)
{
    FakeHostStream host;
    CZipHostStream s(&host, 0x10, 1, nullptr);   // 0x1'0000'0010
    s.Seek(0x20, CZipStream::begin);
    EXPECT_EQ(host.position, 0x100000030ull);
    EXPECT_EQ(s.GetPosition(), 0x20u);
}

TEST(HostStream, SeekFromEndIgnoresTheBase)
{
    for (unsigned base : {0u, 7u, 1000u}) {
        FakeHostStream host(Pattern(3000));
        CZipHostStream s(&host, base, 0, nullptr);
        s.Seek(-22, CZipStream::end);
        EXPECT_EQ(host.position, 2978u) << base;
    }
}

TEST(HostStream, StopRequestMeansNoHostRead)
{
    FakeHostStream host(Pattern(100));
    CleaningEngine callback;
    CZipHostStream s(&host, 0, 0, &callback);
    uint8_t buf[10];
    EXPECT_EQ(s.Read(buf, 10), 10u);
    EXPECT_EQ(callback.stopChecks, 1);

    callback.stopAfterScans = 0;
    for (int i = 0; i < 3; ++i) EXPECT_EQ(s.Read(buf, 10), 0u);
    EXPECT_EQ(host.readCalls, 1);
    EXPECT_EQ(callback.stopChecks, 4);

    // Through the storage the stop ends the operation as a damaged archive.
    CZipStore store;
    store.OpenStream(&s, CZipStore::openExisting);
    store.AdoptLastDisk(0);
    try {
        store.Read(buf, 10, true);
        FAIL() << "a stopped read must throw";
    } catch (const CZipException& e) {
        EXPECT_EQ(e.code, ZipError::badZipFile);
        EXPECT_TRUE(e.archivePath.empty());
    }
    EXPECT_EQ(host.readCalls, 1);
}

TEST(HostStream, FailedHostReadsReadNothing)
{
    FakeHostStream host(Pattern(100));
    CZipHostStream s(&host, 0, 0, nullptr);
    uint8_t buf[10] = {};
    host.readStatus = 1;   // the host fills the buffer but reports failure
    EXPECT_EQ(s.Read(buf, 10), 0u);
    EXPECT_EQ(host.readCalls, 1);

    host.readStatus = 0;
    host.readReportsAllOnes = true;
    EXPECT_EQ(s.Read(buf, 10), 0u);
}

TEST(HostStream, WriteLoopsUntilTheHostTookEverything)
{
    FakeHostStream host;
    CZipHostStream s(&host, 0, 0, nullptr);
    auto data = Pattern(10);
    host.writeAccepts = {4, 6};
    s.Write(data.data(), 10);
    EXPECT_EQ(host.writeRequests, std::vector<unsigned>({10, 6}));
    EXPECT_EQ(host.data, data);

    // A host status is not looked at.
    host.writeStatus = 5;
    s.Write(data.data(), 3);
    EXPECT_EQ(host.data.size(), 13u);
}

TEST(HostStream, HostThatTakesNothingEndsTheWrite)
{
    FakeHostStream host;
    CZipHostStream s(&host, 0, 0, nullptr);
    auto data = Pattern(10);
    host.writeAccepts = {3};
    host.writeAcceptDefault = 0;
    try {
        s.Write(data.data(), 10);
        FAIL() << "a host that accepts nothing must end the write";
    } catch (const CZipException& e) {
        EXPECT_EQ(e.code, 28);
        EXPECT_TRUE(e.archivePath.empty());
    }
    EXPECT_EQ(host.writeCalls, 2);
    EXPECT_EQ(host.data.size(), 3u);
}
