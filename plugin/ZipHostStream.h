#pragma once
#include <cstdint>
#include <string>

#include "plugin/VFInterfaces.h"
#include "storage/ZipMemStream.h"

// Presents an engine stream as a random-access stream for the archive
// engine. Position 0 of this stream is baseOffset in the engine's stream, so
// an archive may sit anywhere inside it. Before every read the engine's
// callback (if any) is asked whether to stop; a stop turns the read into a
// read of 0 bytes. Nothing of the engine's objects is owned.
//
// The memory-stream base is only the common ancestor of the stream family:
// every operation is overridden and its block stays empty.
class CZipHostStream : public CZipMemStream {
public:
    CZipHostStream(VFStream* host, unsigned int baseLow, int baseHigh,
                   VFDecodeCallback* callback);
    ~CZipHostStream() override;

    bool Open(const char* path, uint32_t openFlags, bool throwOnError) override;
    void Close() override;
    void Flush() override;
    uint64_t GetPosition() override;
    uint64_t Seek(int64_t offset, int origin) override;
    uint64_t GetLength() override;
    void SetLength(uint64_t newLength) override;
    uint64_t SeekToBegin() override;
    uint64_t SeekToEnd() override;
    std::string GetFilePath() override;
    uint32_t Read(void* buffer, uint32_t count) override;
    void Write(const void* buffer, uint32_t count) override;
    bool IsClosed() override;

    // Where position 0 lies in the engine's stream.
    int64_t Base() const { return baseOffset; }
    void SetBase(int64_t base) { baseOffset = base; }

private:
    // Host Seek with a 64-bit offset split into its halves; the host's new
    // position (0 when it reports none).
    uint64_t HostSeek(int64_t offset, int origin);

    VFDecodeCallback* callback;
    VFStream* host;
    int64_t baseOffset;
};
