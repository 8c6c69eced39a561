#include "storage/ZipReadWindow.h"

#include <algorithm>

#include "errors/ZipException.h"
#include "storage/ZipStream.h"
#include "storage/ZipStreamIO.h"

CZipReadWindow::CZipReadWindow(CZipStream& streamArg, uint32_t foreignBytes, uint64_t limitArg,
                               uint32_t size)
    : stream(streamArg), foreign(foreignBytes), limit(limitArg), buffer(size)
{
}

const uint8_t* CZipReadWindow::Get(uint64_t offset, uint32_t count)
{
    if (offset + count > limit || count > buffer.length()) return nullptr;
    if (offset >= start && offset + count <= start + length) return buffer.data() + (offset - start);
    const uint32_t wanted = static_cast<uint32_t>(std::min<uint64_t>(buffer.length(), limit - offset));
    length = 0;
    const uint32_t got = ZipReadAt(stream, foreign + offset, buffer.data(), wanted);
    bytesRead += wanted;
    if (got < count) ThrowZipException(ZipError::badZipFile, stream.GetFilePath(), ZipReason::streamCut, foreign + offset);
    start = offset;
    length = got;
    return buffer.data();
}
