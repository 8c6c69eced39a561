#pragma once
#include <cstdint>
#include <string>

#include "storage/ZipStream.h"

// A stream over a file descriptor of the C runtime's low-level I/O (binary,
// not inherited by child processes). Failures throw the errno value with the
// stream's path.
class CZipDiskStream : public CZipStream {
public:
    CZipDiskStream() = default;
    CZipDiskStream(const char* path, uint32_t openFlags);
    ~CZipDiskStream() override;
    CZipDiskStream(const CZipDiskStream&) = delete;
    CZipDiskStream& operator=(const CZipDiskStream&) = delete;

    bool Open(const char* path, uint32_t openFlags, bool throwOnError) override;
    void Close() override;
    void Flush() override;
    uint64_t GetPosition() override;
    uint64_t Seek(int64_t offset, int origin) override;
    uint64_t GetLength() override;
    void SetLength(uint64_t newLength) override;
    std::string GetFilePath() override;
    uint32_t Read(void* buffer, uint32_t count) override;
    void Write(const void* buffer, uint32_t count) override;
    bool IsClosed() override;

    // Wide enough for a Windows HANDLE as well as a POSIX descriptor.
    using NativeHandle = intptr_t;
    // The operating-system handle behind the descriptor (the descriptor itself
    // on POSIX); an invalid one throws.
    NativeHandle GetHandle();

private:
    [[noreturn]] void ThrowErrno();

    int32_t descriptor = -1;
    std::string path;
};
