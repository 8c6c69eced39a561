#include "storage/ZipStore.h"

#include <cstdio>
#include <cstring>

#include "errors/ZipException.h"
#include "platform/ZipFileSystem.h"

namespace {

// Marks the first volume of a spanned archive.
constexpr uint8_t kSpanMarker[4] = {0x50, 0x4B, 0x07, 0x08};
// Volumes are numbered with three digits.
constexpr int32_t kVolumeLimit = 999;

// The path with its extension (the part after the last '.' of the file
// name) replaced; a name without one gets it appended.
std::string ReplaceExtension(const std::string& path, const char* extension)
{
    size_t nameStart = path.find_last_of("/\\:");
    nameStart = (nameStart == std::string::npos) ? 0 : nameStart + 1;
    size_t dot = path.rfind('.');
    std::string stem = (dot != std::string::npos && dot >= nameStart) ? path.substr(0, dot) : path;
    return stem + "." + extension;
}

} // namespace

CZipStore::CZipStore() = default;

CZipStore::~CZipStore() = default;

void CZipStore::Open(const char* path, int mode, int32_t volumeSizeArg)
{
    if (mode < openExisting || mode > createSpan) ThrowZipException(ZipError::internal, path);
    writeBuffer.Allocate(writeBufferSize);
    stream = &diskStream;
    bufferedBytes = 0;
    creatingSpan = false;
    externalStream = false;
    bytesInVolume = 0;
    try {
        switch (mode) {
        case openExisting:
        case openReadOnly:
            readOnly = (mode == openReadOnly);
            currentVolume = -1;   // unknown until the end record is read
            diskStream.Open(path,
                            (readOnly ? CZipStream::modeRead : CZipStream::modeReadWrite) |
                                CZipStream::modeNoTruncate | CZipStream::shareDenyWrite,
                            true);
            spanKind = volumeSizeArg != 0 ? spanExistingSized : spanUnknown;
            break;
        case create:
            readOnly = false;
            currentVolume = 0;
            spanKind = notSpanned;
            diskStream.Open(path,
                            CZipStream::modeReadWrite | CZipStream::modeCreate |
                                CZipStream::shareDenyWrite,
                            true);
            break;
        case createSpan:
            readOnly = false;
            currentVolume = 0;
            creatingSpan = true;
            if (volumeSizeArg > 0) {
                volumeSize = volumeSizeArg;
                spanKind = spanSized;
            } else {
                if (spanCallback == nullptr) ThrowZipException(ZipError::noCallback, path);
                if (!IsRemovableDrive(path)) ThrowZipException(ZipError::nonRemovable, path);
                spanKind = spanRemovable;
            }
            NextVolume(sizeof kSpanMarker, path);
            Write(kSpanMarker, sizeof kSpanMarker, true);
            break;
        }
    } catch (...) {
        // A storage that could not be opened is left closed, so that nothing
        // later mistakes it for an open archive.
        if (!diskStream.IsClosed()) {
            try {
                diskStream.Close();
            } catch (const CZipException&) {
            }
        }
        writeBuffer.Release();
        bufferedBytes = 0;
        creatingSpan = false;
        spanKind = notSpanned;
        currentVolume = -1;
        stream = nullptr;
        throw;
    }
}

void CZipStore::OpenStream(CZipStream* callerStream, int mode)
{
    if (callerStream == nullptr || mode < openExisting || mode > create)
        ThrowZipException(ZipError::internal);
    writeBuffer.Allocate(writeBufferSize);
    bufferedBytes = 0;
    bytesInVolume = 0;
    creatingSpan = false;
    stream = callerStream;
    externalStream = true;
    readOnly = false;
    if (mode == create) {
        currentVolume = 0;
        spanKind = notSpanned;
        stream->SetLength(0);
    } else {
        stream->SeekToBegin();
        spanKind = spanUnknown;
        currentVolume = -1;
    }
}

uint32_t CZipStore::Read(void* buffer, uint32_t count, bool atOnce)
{
    if (count == 0) return 0;
    if (stream == nullptr) ThrowZipException(ZipError::badZipFile, nullptr, ZipReason::noStream);
    uint32_t got = stream->Read(buffer, count);
    bool spanned = SpanState() != 0;
    if (got == 0) {
        // The archive engine reads only the current volume: asking for the
        // next one ends in 108.
        if (spanned) CheckVolume(currentVolume + 1);
        ThrowZipException(ZipError::badZipFile, stream->GetFilePath(), ZipReason::streamCut);
    }
    if (got == count) return count;
    if (atOnce || !spanned) ThrowZipException(ZipError::badZipFile, stream->GetFilePath(), ZipReason::streamCut);
    CheckVolume(currentVolume + 1);
    return got;
}

void CZipStore::BufferedWrite(const uint8_t* bytes, uint32_t count)
{
    // Without a buffer (a closed storage, or an existing spanned archive,
    // which is read-only) the loop below could never make room.
    if (writeBuffer.empty())
        ThrowZipException(ZipError::internal, stream ? stream->GetFilePath() : std::string());
    while (count > 0) {
        if (bufferedBytes == writeBuffer.length()) FlushBuffer();
        uint32_t room = writeBuffer.length() - bufferedBytes;
        uint32_t n = count < room ? count : room;
        std::memcpy(writeBuffer.data() + bufferedBytes, bytes, n);
        bufferedBytes += n;
        bytes += n;
        count -= n;
    }
}

void CZipStore::Write(const void* buffer, uint32_t count, bool atOnce)
{
    const auto* bytes = static_cast<const uint8_t*>(buffer);
    int state = SpanState();
    if (state == 0) {
        BufferedWrite(bytes, count);
        return;
    }
    if (state < 0)
        ThrowZipException(ZipError::internal, stream ? stream->GetFilePath() : std::string());

    uint32_t needed = atOnce ? count : 1;
    while (count > 0) {
        while (FreeInVolume() < needed) {
            if (spanKind == spanSized && bytesInVolume == 0 && bufferedBytes == 0)
                volumeFree = needed;   // an empty volume always takes the block
            else
                NextVolume(needed);
        }
        uint32_t free = FreeInVolume();
        uint32_t n = count < free ? count : free;
        BufferedWrite(bytes, n);
        bytes += n;
        count -= n;
        if (atOnce) break;
    }
}

void CZipStore::FlushBuffer()
{
    if (bufferedBytes > 0 && stream != nullptr) {
        stream->Write(writeBuffer.data(), bufferedBytes);
        // Counted only once the bytes are out, so that a failed write that
        // keeps them buffered does not count them twice.
        if (spanKind != notSpanned) bytesInVolume += bufferedBytes;
        bufferedBytes = 0;
    }
    if (spanKind == spanRemovable) {
        std::string path = stream ? stream->GetFilePath() : std::string();
        volumeFree = path.empty() ? 0 : FreeBytesOnDevice(path.c_str());
    }
}

void CZipStore::Flush()
{
    if (externalStream || IsReadOnly() || stream == nullptr || stream->IsClosed()) return;
    stream->Flush();
}

int CZipStore::SpanState() const
{
    if (spanKind == notSpanned) return 0;
    return creatingSpan ? 1 : -1;
}

bool CZipStore::IsReadOnly() const
{
    return readOnly || SpanState() < 0;
}

void CZipStore::AdoptLastDisk(uint16_t volumeNumber)
{
    currentVolume = volumeNumber;
    if (volumeNumber == 0) {
        spanKind = notSpanned;
        return;
    }
    std::string path = stream ? stream->GetFilePath() : std::string();
    if (spanKind == spanUnknown)
        spanKind = (!path.empty() && IsRemovableDrive(path.c_str())) ? spanRemovable : spanSized;
    else
        spanKind = spanSized;
    if (spanKind == spanRemovable && spanCallback == nullptr)
        ThrowZipException(ZipError::noCallback, path);
    if (spanKind == spanSized) volumeSize = volumeNumber;
    // Only the last volume can be read: the archive is read-only from here on.
    writeBuffer.Release();
    bufferedBytes = 0;
}

void CZipStore::CheckVolume(int32_t volumeNumber)
{
    if (volumeNumber != currentVolume) ThrowZipException(ZipError::tooManyVolumes, nullptr, ZipReason::volumeOutOfReach);
}

uint32_t CZipStore::FreeInVolume() const
{
    // The device's free space is measured anew after each flush and may have
    // shrunk for other reasons: never let the difference wrap.
    int64_t used = static_cast<int64_t>(bufferedBytes) +
                   (spanKind == spanRemovable ? 0 : static_cast<int64_t>(bytesInVolume));
    int64_t free = static_cast<int64_t>(volumeFree) - used;
    return free > 0 ? static_cast<uint32_t>(free) : 0;
}

void CZipStore::NextVolume(uint32_t needed, const char* path)
{
    FlushBuffer();
    if (bytesInVolume > 0) {
        currentVolume += 1;
        bytesInVolume = 0;
        if (currentVolume >= kVolumeLimit)
            ThrowZipException(ZipError::tooManyVolumes, stream ? stream->GetFilePath() : std::string());
    }

    std::string name;
    if (spanKind == spanRemovable)
        name = path ? std::string(path) : (stream ? stream->GetFilePath() : std::string());
    else
        name = GetVolumeName(false, path);

    if (stream != nullptr && !stream->IsClosed() && !externalStream) {
        stream->Flush();
        stream->Close();
    }
    stream = &diskStream;

    if (spanKind == spanRemovable) {
        if (spanCallback == nullptr) ThrowZipException(ZipError::noCallback, name);
        int code = static_cast<int>(needed);
        for (;;) {
            spanCallback->path = name;
            spanCallback->volumeNumber = currentVolume + 1;
            if (!spanCallback->Callback(code)) ThrowZipException(ZipError::aborted, name);
            if (ProbePath(name.c_str()) != 0) {
                code = -2;
                continue;
            }
            char label[32];
            std::snprintf(label, sizeof label, "pkback# %.3d", static_cast<int>(currentVolume + 1));
            if (!LabelVolume(name.c_str(), label)) {
                code = -3;
                continue;
            }
            if (!diskStream.Open(name.c_str(),
                                 CZipStream::modeReadWrite | CZipStream::modeCreate |
                                     CZipStream::shareDenyWrite,
                                 false)) {
                code = -4;
                continue;
            }
            break;
        }
        volumeFree = FreeBytesOnDevice(name.c_str());
    } else {
        volumeFree = static_cast<uint32_t>(volumeSize);
        diskStream.Open(name.c_str(),
                        CZipStream::modeReadWrite | CZipStream::modeCreate |
                            CZipStream::shareDenyWrite,
                        true);
    }
}

std::string CZipStore::GetVolumeName(bool last, const char* path)
{
    std::string base = path ? std::string(path) : (stream ? stream->GetFilePath() : std::string());
    if (last) return ReplaceExtension(base, "zip");
    char number[16];
    std::snprintf(number, sizeof number, "%.3d", static_cast<int>(currentVolume));
    return ReplaceExtension(base, number);
}

std::string CZipStore::RenameLastVolume()
{
    std::string oldName = stream ? stream->GetFilePath() : std::string();
    std::string newName = GetVolumeName(true);
    if (!externalStream && stream != nullptr && !stream->IsClosed()) {
        stream->Flush();
        stream->Close();
    }
    if (ProbePath(newName.c_str()) != 0) DeleteFileByName(newName.c_str(), true);
    MoveFileByName(oldName.c_str(), newName.c_str(), true);
    return newName;
}

void CZipStore::CompleteSpan()
{
    std::string name;
    if (spanKind == spanSized && creatingSpan) {
        name = RenameLastVolume();
    } else {
        name = stream ? stream->GetFilePath() : std::string();
        if (stream != nullptr && !externalStream && !stream->IsClosed()) stream->Close();
    }
    creatingSpan = false;
    if (currentVolume != 0)
        volumeSize = currentVolume;   // the number of the last volume
    else
        spanKind = notSpanned;        // it all fitted in one volume
    uint32_t access = spanKind != notSpanned ? CZipStream::modeRead : CZipStream::modeReadWrite;
    diskStream.Open(name.c_str(), access | CZipStream::modeNoTruncate | CZipStream::shareDenyWrite,
                    true);
    stream = &diskStream;
    externalStream = false;
}

std::string CZipStore::Close(bool afterException)
{
    std::string result;
    bool renamed = false;
    if (!afterException) {
        FlushBuffer();
        if (spanKind == spanSized && creatingSpan) {
            result = RenameLastVolume();
            renamed = true;
        }
    }
    if (!renamed) result = stream ? stream->GetFilePath() : std::string();
    if (!renamed && !externalStream && stream != nullptr && !stream->IsClosed()) {
        if (afterException) {
            // Already unwinding from a failure: close what can be closed and
            // keep the first error as the one reported.
            try {
                stream->Close();
            } catch (const CZipException&) {
            }
        } else {
            if (!IsReadOnly()) stream->Flush();
            stream->Close();
        }
    }
    writeBuffer.Release();
    bufferedBytes = 0;
    bytesInVolume = 0;
    creatingSpan = false;
    currentVolume = -1;
    spanKind = notSpanned;
    stream = nullptr;
    externalStream = false;
    return result;
}
