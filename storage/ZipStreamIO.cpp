#include "storage/ZipStreamIO.h"

#include "errors/ZipException.h"
#include "storage/ZipRetry.h"
#include "storage/ZipStream.h"

namespace {
constexpr int ioAttempts = ZipRetryAttempts(ZipRetryWork::transfer);
} // namespace

uint32_t ZipReadAt(CZipStream& stream, uint64_t position, uint8_t* buffer, uint32_t count)
{
    uint32_t got = 0;
    int failures = 0;
    while (got < count) {
        stream.Seek(static_cast<int64_t>(position + got), CZipStream::begin);
        const uint32_t n = stream.Read(buffer + got, count - got);
        if (n == 0 || n > count - got) {
            if (++failures >= ioAttempts) break;
            continue;
        }
        got += n;
    }
    return got;
}

void ZipWriteAt(CZipStream& stream, uint64_t position, const uint8_t* buffer, uint32_t count)
{
    for (int attempt = 1;; ++attempt) {
        try {
            stream.Seek(static_cast<int64_t>(position), CZipStream::begin);
            stream.Write(buffer, count);
            return;
        } catch (const CZipException&) {
            if (attempt >= ioAttempts) throw;
        }
    }
}
