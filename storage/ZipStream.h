#pragma once
#include <cstdint>
#include <string>

// The random-access byte stream every archive byte passes through. The slot
// order of the virtual operations is part of the interface: the disk stream,
// the memory stream and the host adapter implement the same fourteen.
class CZipStream {
public:
    enum OpenFlags : uint32_t {
        modeRead = 0x01,
        modeWrite = 0x02,
        modeReadWrite = 0x03,
        shareDenyWrite = 0x04,
        shareDenyRead = 0x08,
        shareMask = 0x1C,
        modeCreate = 0x20,
        modeNoTruncate = 0x40,
    };
    enum SeekOrigin : int { begin = 0, current = 1, end = 2 };

    virtual ~CZipStream() {}                                                    // 0
    virtual bool Open(const char* path, uint32_t openFlags, bool throwOnError)  // 1
    {
        (void)path;
        (void)openFlags;
        (void)throwOnError;
        return true;
    }
    virtual void Close() = 0;                                                   // 2
    virtual void Flush() = 0;                                                   // 3
    virtual uint64_t GetPosition() = 0;                                         // 4
    virtual uint64_t Seek(int64_t offset, int origin) = 0;                      // 5
    virtual uint64_t GetLength() = 0;                                           // 6
    virtual void SetLength(uint64_t newLength) = 0;                             // 7
    virtual uint64_t SeekToBegin() { return Seek(0, begin); }                   // 8
    virtual uint64_t SeekToEnd() { return Seek(0, end); }                       // 9
    virtual std::string GetFilePath() = 0;                                      // 10
    virtual uint32_t Read(void* buffer, uint32_t count) = 0;                    // 11
    virtual void Write(const void* buffer, uint32_t count) = 0;                 // 12
    virtual bool IsClosed() = 0;                                                // 13
};
