#pragma once
#include <cstdint>
#include <string>

#include "storage/ZipStream.h"

// A stream over one growable heap block. Growth goes in whole steps of
// growStep bytes; a closed stream (step 0) cannot grow again (code 505).
class CZipMemStream : public CZipStream {
public:
    explicit CZipMemStream(uint32_t growStep);
    ~CZipMemStream() override;
    CZipMemStream(const CZipMemStream&) = delete;
    CZipMemStream& operator=(const CZipMemStream&) = delete;

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

    const uint8_t* Data() const { return block; }
    uint32_t Capacity() const { return capacity; }

protected:
    void Grow(uint64_t needed);

    uint32_t growStep = 0;
    uint32_t position = 0;
    uint32_t capacity = 0;
    uint32_t length = 0;
    uint8_t* block = nullptr;
};
