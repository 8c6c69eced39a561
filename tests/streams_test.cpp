// Memory and disk streams: growth, seeking, open flags and error codes.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#ifdef _WIN32
#include <windows.h>
#else
#include <unistd.h>
#endif

#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "errors/ZipException.h"
#include "storage/ZipDiskStream.h"
#include "storage/ZipFileMapping.h"
#include "storage/ZipMemStream.h"
#include "support/code_of.h"
#include "support/test_platform.h"

namespace {

std::vector<uint8_t> Pattern(size_t n)
{
    std::vector<uint8_t> v(n);
    for (size_t i = 0; i < n; ++i) v[i] = static_cast<uint8_t>(i * 7 + 3);
    return v;
}

} // namespace

TEST(MemStream, FreshStreamIsClosedAndEmpty)
{
    CZipMemStream s(1024);
    EXPECT_TRUE(s.IsClosed());
    EXPECT_EQ(s.GetLength(), 0u);
    EXPECT_EQ(s.GetPosition(), 0u);
    uint8_t b[4];
    EXPECT_EQ(s.Read(b, 4), 0u);
    EXPECT_TRUE(s.GetFilePath().empty());
    EXPECT_TRUE(s.Open("ignored", 0, true));
}

TEST(MemStream, GrowsInWholeSteps)
{
    CZipMemStream one(1024);
    uint8_t byte = 0x5A;
    one.Write(&byte, 1);
    EXPECT_FALSE(one.IsClosed());
    EXPECT_EQ(one.Capacity(), 1024u);

    CZipMemStream s(1024);
    auto data = Pattern(1025);
    s.Write(data.data(), 1025);
    EXPECT_EQ(s.Capacity(), 2048u);
    EXPECT_EQ(s.GetPosition(), 1025u);

    s.SetLength(5000);
    EXPECT_EQ(s.Capacity(), 5120u);
    EXPECT_EQ(s.GetLength(), 5000u);
    EXPECT_EQ(s.GetPosition(), 1025u);

    s.SetLength(10);
    EXPECT_EQ(s.GetLength(), 10u);
    EXPECT_EQ(s.GetPosition(), 10u);
    EXPECT_EQ(s.Capacity(), 5120u);

    s.SeekToBegin();
    uint8_t back[16] = {};
    EXPECT_EQ(s.Read(back, 16), 10u);
    EXPECT_EQ(std::vector<uint8_t>(back, back + 10), std::vector<uint8_t>(data.begin(), data.begin() + 10));
}

TEST(MemStream, WriteAfterSeekPastEnd)
{
    CZipMemStream s(64);
    auto data = Pattern(10);
    s.Write(data.data(), 10);
    EXPECT_EQ(s.Seek(100, CZipStream::end), 110u);
    uint8_t none[1];
    EXPECT_EQ(s.Read(none, 1), 0u);   // beyond the data
    uint8_t byte = 0xEE;
    s.Write(&byte, 1);
    EXPECT_EQ(s.GetLength(), 111u);
    EXPECT_EQ(s.Capacity(), 128u);
    EXPECT_EQ(s.Data()[110], 0xEE);
    EXPECT_EQ(s.Data()[9], data[9]);

    // Reads stop at the end of the data, whatever was asked for.
    s.Seek(105, CZipStream::begin);
    uint8_t tail[20];
    EXPECT_EQ(s.Read(tail, 20), 6u);
    EXPECT_EQ(s.GetPosition(), 111u);
}

TEST(MemStream, SeekOriginsAndUnknownOrigin)
{
    CZipMemStream s(16);
    auto data = Pattern(40);
    s.Write(data.data(), 40);
    EXPECT_EQ(s.Seek(5, CZipStream::begin), 5u);
    EXPECT_EQ(s.Seek(3, CZipStream::current), 8u);
    EXPECT_EQ(s.Seek(-2, CZipStream::current), 6u);
    EXPECT_EQ(s.Seek(-22, CZipStream::end), 18u);
    EXPECT_EQ(s.Seek(77, 3), 18u);
    EXPECT_EQ(s.GetPosition(), 18u);
    EXPECT_EQ(s.SeekToEnd(), 40u);
}

TEST(MemStream, ClosedStreamCannotGrowAgain)
{
    CZipMemStream s(1024);
    uint8_t byte = 1;
    s.Write(&byte, 1);
    s.Close();
    EXPECT_TRUE(s.IsClosed());
    EXPECT_EQ(s.GetLength(), 0u);
    std::string path = "x";
    EXPECT_EQ(CodeOf([&] { s.Write(&byte, 1); }, &path), ZipError::zlibMemory);
    EXPECT_TRUE(path.empty());
    EXPECT_EQ(CodeOf([&] { s.SetLength(1); }), ZipError::zlibMemory);
    // Nothing that fits the (empty) block needs growth.
    s.SetLength(0);
    EXPECT_EQ(s.GetLength(), 0u);
}

TEST(MemStream, PositionsPastFourGiBThrowInsteadOfWrapping)
{
    CZipMemStream s(1024);
    uint8_t byte = 1;
    EXPECT_EQ(CodeOf([&] { s.Seek(int64_t(1) << 32, CZipStream::begin); }), ZipError::zlibMemory);
    EXPECT_EQ(s.GetPosition(), 0u);
    EXPECT_EQ(CodeOf([&] { s.Seek(-1, CZipStream::current); }), ZipError::zlibMemory);
    EXPECT_EQ(CodeOf([&] { s.Seek(-1, CZipStream::end); }), ZipError::zlibMemory);
    EXPECT_EQ(CodeOf([&] { s.SetLength(uint64_t(1) << 32); }), ZipError::zlibMemory);

    // The last 32-bit position is reachable, but no byte fits after it.
    EXPECT_EQ(s.Seek(0xFFFFFFFFll, CZipStream::begin), 0xFFFFFFFFull);
    EXPECT_EQ(CodeOf([&] { s.Write(&byte, 1); }), ZipError::zlibMemory);
    EXPECT_EQ(CodeOf([&] { s.Seek(1, CZipStream::current); }), ZipError::zlibMemory);
    EXPECT_TRUE(s.IsClosed());   // nothing was allocated on the way
    EXPECT_EQ(s.GetLength(), 0u);
}

TEST(DiskStream, OpenFlagsDecideTruncation)
{
    TempDir dir;
    std::string file = dir.File("f.bin");
    auto data = Pattern(300);

    struct Case {
        uint32_t flags;
        uint64_t lengthAfterOpen;
    } cases[] = {
        {0x26, 0},     // write, deny write, create: truncates
        {0x43, 300},   // read/write, no truncate
        {0x41, 300},   // read, no truncate
        {0x01, 300},   // read never truncates
        {0x23, 0},     // read/write, create: truncates
        {0x02, 0},     // write only truncates unless asked not to
        {0x42, 300},
    };
    for (const Case& c : cases) {
        WriteWholeFile(file, std::vector<unsigned char>(data.begin(), data.end()));
        CZipDiskStream s(file.c_str(), c.flags);
        EXPECT_FALSE(s.IsClosed());
        EXPECT_EQ(s.GetLength(), c.lengthAfterOpen) << std::hex << c.flags;
        EXPECT_EQ(s.GetFilePath(), file);
        // Descriptors must not leak into programs the host starts.
#ifdef _WIN32
        DWORD handleFlags = 0;
        ASSERT_TRUE(GetHandleInformation(reinterpret_cast<HANDLE>(s.GetHandle()), &handleFlags));
        EXPECT_EQ(handleFlags & HANDLE_FLAG_INHERIT, 0u);
#else
        EXPECT_TRUE(fcntl(s.GetHandle(), F_GETFD) & FD_CLOEXEC);
#endif
    }
}

TEST(DiskStream, OpenFailuresCarryErrnoAndPath)
{
    TempDir dir;
    std::string missing = dir.File("missing.zip");
    CZipDiskStream s;
    std::string path;
    EXPECT_EQ(CodeOf([&] { s.Open(missing.c_str(), CZipStream::modeRead, true); }, &path), 2);
    EXPECT_EQ(path, missing);
    EXPECT_FALSE(s.Open(missing.c_str(), CZipStream::modeRead, false));
    EXPECT_TRUE(s.IsClosed());
    // Without modeCreate nothing is made, truncating or not.
    EXPECT_FALSE(s.Open(missing.c_str(), 0x03, false));
    EXPECT_FALSE(FileExists(missing));

    // A directory cannot be written: EISDIR on POSIX; the Windows runtime
    // reports the system's "access denied" as EACCES.
#ifdef _WIN32
    const int directoryCode = 13;
#else
    const int directoryCode = 21;
#endif
    EXPECT_EQ(CodeOf([&] { s.Open(dir.Path().c_str(), 0x43, true); }, &path), directoryCode);
    EXPECT_EQ(path, dir.Path());

    // The constructor throws too.
    EXPECT_EQ(CodeOf([&] { CZipDiskStream t(missing.c_str(), 0x41); }), 2);

    // A created file can be read and written by its owner.
    ASSERT_TRUE(s.Open(missing.c_str(), 0x26, false));
    struct stat st {};
    ASSERT_EQ(stat(missing.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0600, 0600u);
}

TEST(DiskStream, ReadWriteSeekAndLength)
{
    TempDir dir;
    std::string file = dir.File("rw.bin");
    CZipDiskStream s(file.c_str(), 0x23);
    auto data = Pattern(1000);
    s.Write(data.data(), 1000);
    EXPECT_EQ(s.GetPosition(), 1000u);

    uint8_t buf[64];
    EXPECT_EQ(s.Read(buf, 64), 0u);   // at the end: 0, no exception

    EXPECT_EQ(s.Seek(-22, CZipStream::end), 978u);
    EXPECT_EQ(s.GetLength(), 1000u);
    EXPECT_EQ(s.GetPosition(), 978u);   // length leaves the position alone
    EXPECT_EQ(s.Read(buf, 64), 22u);
    EXPECT_EQ(buf[0], data[978]);

    s.SetLength(100);
    EXPECT_EQ(s.GetLength(), 100u);
    s.SetLength(4096);
    EXPECT_EQ(s.GetLength(), 4096u);
    s.SeekToBegin();
    EXPECT_EQ(s.Read(buf, 10), 10u);
    EXPECT_EQ(buf[9], data[9]);
    s.Flush();

    std::string path;
    EXPECT_EQ(CodeOf([&] { s.Seek(-1, CZipStream::begin); }, &path), 22);
    EXPECT_EQ(path, file);

    s.Close();
    EXPECT_TRUE(s.IsClosed());
    s.Close();   // harmless
    EXPECT_EQ(s.GetFilePath(), file);
    EXPECT_EQ(CodeOf([&] { s.GetHandle(); }, &path), 9);
    EXPECT_EQ(path, file);
    EXPECT_EQ(ReadWholeFile(file).size(), 4096u);
}

TEST(DiskStream, WriteFailuresThrow)
{
    TempDir dir;
    std::string file = dir.File("ro.bin");
    WriteWholeFile(file, {1, 2, 3});
    CZipDiskStream s(file.c_str(), 0x41);
    uint8_t byte = 9;
    std::string path;
    EXPECT_EQ(CodeOf([&] { s.Write(&byte, 1); }, &path), 9);   // not open for writing
    EXPECT_EQ(path, file);

#ifndef _WIN32  // a device that is always full exists on Linux only
    if (access("/dev/full", W_OK) == 0) {
        CZipDiskStream full("/dev/full", CZipStream::modeWrite | CZipStream::modeNoTruncate);
        EXPECT_EQ(CodeOf([&] { full.Write(&byte, 1); }, &path), 28);
        EXPECT_EQ(path, "/dev/full");
    }
#endif
}

// The sharing field of the flags binds on Windows, where a second open that
// the first one's share mode (or its own) excludes fails with EACCES. POSIX
// has no mandatory sharing: there the field is ignored on purpose and every
// second open succeeds.
TEST(DiskStream, SharingFieldBindsOnWindowsOnly)
{
    TempDir dir;
    const std::string file = dir.File("shared.bin");
    WriteWholeFile(file, {1, 2, 3});
    struct Case {
        uint32_t first, second;
        bool opensOnWindows;
    } cases[] = {
        {0x41, 0x41, false},  // no share bits: exclusive
        {0x45, 0x45, true},   // both read and deny writing
        {0x45, 0x53, false},  // a writer where writing is denied
        {0x53, 0x45, false},  // denying writing to a file already open for it
        {0x49, 0x51, false},  // a reader where reading is denied
        {0x51, 0x53, true},   // nothing denied
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << std::hex << c.first << " then " << c.second);
        CZipDiskStream held(file.c_str(), c.first);
        CZipDiskStream second;
        std::string path;
        const int code = CodeOf([&] { second.Open(file.c_str(), c.second, true); }, &path);
#ifdef _WIN32
        EXPECT_EQ(code, c.opensOnWindows ? 0 : 13);
#else
        EXPECT_EQ(code, 0);
#endif
        EXPECT_EQ(second.IsClosed(), code != 0);
        if (code) {
            EXPECT_EQ(path, file);
        }
    }
}

// Lengths of 2 GiB and more: the Windows runtime's _chsize takes a long, so
// there such a length is refused (EFBIG) instead of being cut to another;
// POSIX sets it (a sparse file, so it costs no space).
TEST(DiskStream, LengthsFrom2GiBOnOnlyOnPosix)
{
    TempDir dir;
    const std::string file = dir.File("long.bin");
    CZipDiskStream s(file.c_str(), 0x23);
    for (uint64_t length : {0x7FFFFFFFull, 0x80000000ull, 0x100000010ull}) {
        SCOPED_TRACE(length);
        std::string path;
        const int code = CodeOf([&] { s.SetLength(length); }, &path);
#ifdef _WIN32
        const bool fits = length <= 0x7FFFFFFFull;
        EXPECT_EQ(code, fits ? 0 : 27);
        if (!fits) {
            EXPECT_EQ(path, file);
        }
        EXPECT_EQ(s.GetLength(), 0x7FFFFFFFull);  // a refused length leaves the file alone
#else
        EXPECT_EQ(code, 0);
        EXPECT_EQ(s.GetLength(), length);
#endif
    }
    s.SetLength(0);
}

TEST(DiskStream, ReopenClosesThePreviousFile)
{
    TempDir dir;
    std::string a = dir.File("a.bin"), b = dir.File("b.bin");
    WriteWholeFile(a, {1, 2, 3});
    WriteWholeFile(b, {4, 5});
    CZipDiskStream s(a.c_str(), 0x41);
    ASSERT_TRUE(s.Open(b.c_str(), 0x41, true));
    EXPECT_EQ(s.GetLength(), 2u);
    EXPECT_EQ(s.GetFilePath(), b);
    // A failed reopen leaves the stream closed.
    EXPECT_FALSE(s.Open(dir.File("none").c_str(), 0x41, false));
    EXPECT_TRUE(s.IsClosed());
}

TEST(FileMapping, NothingToMap)
{
    CZipFileMapping mapping;
    EXPECT_FALSE(mapping.Unmap());   // never mapped
    EXPECT_FALSE(mapping.Map(nullptr));
    EXPECT_EQ(mapping.View(), nullptr);
    EXPECT_FALSE(mapping.Unmap());

    TempDir dir;
    std::string file = dir.File("m.bin");
    WriteWholeFile(file, {});
    // Sharing nothing denied (0x10), so that Windows lets the test write and
    // open the file again while a stream holds it.
    CZipDiskStream empty(file.c_str(), 0x53);
    EXPECT_FALSE(mapping.Map(&empty));   // an empty file has no bytes to map
    EXPECT_EQ(mapping.View(), nullptr);

    WriteWholeFile(file, {1, 2, 3});
    CZipDiskStream readOnly(file.c_str(), 0x51);
    EXPECT_FALSE(mapping.Map(&readOnly));   // writable view of a read-only descriptor

    readOnly.Close();
    std::string path;
    EXPECT_EQ(CodeOf([&] { mapping.Map(&readOnly); }, &path), 9);
    EXPECT_EQ(path, file);
    EXPECT_EQ(mapping.View(), nullptr);
}

TEST(FileMapping, WritesThroughTheViewReachTheFile)
{
    TempDir dir;
    std::string file = dir.File("m.bin");
    auto data = Pattern(100);
    WriteWholeFile(file, std::vector<unsigned char>(data.begin(), data.end()));
    CZipDiskStream s(file.c_str(), 0x53);  // shared, so the test can read the file meanwhile
    s.Seek(17, CZipStream::begin);

    CZipFileMapping mapping;
    ASSERT_TRUE(mapping.Map(&s));
    ASSERT_NE(mapping.View(), nullptr);
    EXPECT_EQ(mapping.MappedLength(), 100u);
    EXPECT_EQ(mapping.View()[42], data[42]);
    mapping.View()[99] = 0xAB;
    // Moving bytes down in place, as a collapse of a volume does.
    std::memmove(mapping.View(), mapping.View() + 4, 96);
    EXPECT_TRUE(mapping.Unmap());
    EXPECT_EQ(mapping.View(), nullptr);
    EXPECT_FALSE(mapping.Unmap());

    s.SetLength(96);
    EXPECT_EQ(s.GetPosition(), 17u);
    auto on_disk = ReadWholeFile(file);
    ASSERT_EQ(on_disk.size(), 96u);
    EXPECT_EQ(on_disk[95], 0xAB);
    EXPECT_EQ(on_disk[0], data[4]);

    // A second mapping of the same object sees the new bytes; the
    // destructor releases it.
    ASSERT_TRUE(mapping.Map(&s));
    EXPECT_EQ(mapping.MappedLength(), 96u);
    EXPECT_EQ(mapping.View()[95], 0xAB);
}
