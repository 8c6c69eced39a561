#include "storage/ZipStreamIO.h"

#include "errors/ZipException.h"
#include "storage/ZipRetry.h"
#include "storage/ZipStream.h"

uint32_t ZipReadAt(CZipStream& stream, uint64_t position, uint8_t* buffer, uint32_t count)
{
    uint32_t got = 0;
    // Bytes that come are progress; only a read that brings none fails an
    // attempt.
    ZipRetry(ZipRetryWork::transfer, [&] {
        while (got < count) {
            stream.Seek(static_cast<int64_t>(position + got), CZipStream::begin);
            const uint32_t n = stream.Read(buffer + got, count - got);
            if (n == 0 || n > count - got) return false;
            got += n;
        }
        return true;
    });
    return got;
}

void ZipWriteAt(CZipStream& stream, uint64_t position, const uint8_t* buffer, uint32_t count)
{
    ZipRetry<CZipException>(ZipRetryWork::transfer, [&] {
        stream.Seek(static_cast<int64_t>(position), CZipStream::begin);
        stream.Write(buffer, count);
        return true;
    });
}
