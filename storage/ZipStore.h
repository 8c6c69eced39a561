#pragma once
#include <cstdint>
#include <string>

#include "storage/ZipBuffer.h"
#include "storage/ZipDiskStream.h"
#include "storage/ZipStream.h"

// Asked for each new disk of an archive spanned over removable disks.
class CZipSpanCallback {
public:
    virtual ~CZipSpanCallback() = default;
    // code > 0: bytes the new disk must take; -2 file exists; -3 label failed;
    // -4 volume file could not be created. False stops the spanning.
    virtual bool Callback(int code) = 0;
    std::string path;
    int32_t volumeNumber = 0;
};

// The layer between the archive engine and the stream that holds the archive:
// buffered writes, reads that fail loudly on a short archive, and the volume
// bookkeeping of spanned archives.
class CZipStore {
public:
    enum OpenMode { openExisting = 0, openReadOnly = 1, create = 2, createSpan = 3 };
    enum SpanKind {
        notSpanned = 0,
        spanRemovable = 1,
        spanSized = 2,
        spanUnknown = 3,
        spanExistingSized = 4,
    };

    CZipStore();
    virtual ~CZipStore();
    CZipStore(const CZipStore&) = delete;
    CZipStore& operator=(const CZipStore&) = delete;

    void Open(const char* path, int mode, int32_t volumeSizeArg);
    void OpenStream(CZipStream* callerStream, int mode);
    uint32_t Read(void* buffer, uint32_t count, bool atOnce);
    void Write(const void* buffer, uint32_t count, bool atOnce);
    void FlushBuffer();
    void Flush();
    int SpanState() const;
    bool IsReadOnly() const;
    void AdoptLastDisk(uint16_t volumeNumber);
    void CheckVolume(int32_t volumeNumber);
    uint32_t FreeInVolume() const;
    void NextVolume(uint32_t needed, const char* path = nullptr);
    std::string GetVolumeName(bool last, const char* path = nullptr);
    std::string RenameLastVolume();
    void CompleteSpan();
    std::string Close(bool afterException);

    uint32_t writeBufferSize = 65536;
    CZipDiskStream diskStream;
    CZipStream* stream = nullptr;
    int spanKind = notSpanned;
    CZipSpanCallback* spanCallback = nullptr;
    int32_t volumeSize = 0;
    uint32_t bufferedBytes = 0;
    uint32_t volumeFree = 0;
    CZipBuffer writeBuffer;
    uint32_t bytesInVolume = 0;
    bool creatingSpan = false;
    int32_t currentVolume = -1;
    bool externalStream = false;
    bool readOnly = false;

private:
    void BufferedWrite(const uint8_t* bytes, uint32_t count);
};
