#include "storage/ZipDiskStream.h"

#include <cerrno>
#include <climits>
#include <cstdio>
#include <fcntl.h>
#include <sys/stat.h>

#include "errors/ZipException.h"

#if defined(_WIN32)
#include <io.h>
#include <share.h>
#else
#include <unistd.h>
#endif

namespace {

#if defined(_WIN32)
using FileOffset = long long;
FileOffset SeekDescriptor(int fd, FileOffset offset, int origin)
{
    return _lseeki64(fd, offset, origin);
}
int CommitDescriptor(int fd)
{
    return _commit(fd);
}
int ResizeDescriptor(int fd, FileOffset size)
{
    // _chsize takes a long: a size it cannot express is refused rather than
    // cut to something else.
    if (size < 0 || size > LONG_MAX) {
        errno = EFBIG;
        return -1;
    }
    return _chsize(fd, static_cast<long>(size));
}
// _read and _write answer in an int, so one call moves at most INT_MAX
// bytes; the loops in Read and Write carry on with the rest.
unsigned int ChunkOf(uint32_t count)
{
    return count > static_cast<uint32_t>(INT_MAX) ? static_cast<unsigned int>(INT_MAX) : count;
}
long long ReadDescriptor(int fd, void* buffer, uint32_t count)
{
    return _read(fd, buffer, ChunkOf(count));
}
long long WriteDescriptor(int fd, const void* buffer, uint32_t count)
{
    return _write(fd, buffer, ChunkOf(count));
}
int CloseDescriptor(int fd)
{
    return _close(fd);
}
#else
using FileOffset = off_t;
FileOffset SeekDescriptor(int fd, FileOffset offset, int origin)
{
    return lseek(fd, offset, origin);
}
int CommitDescriptor(int fd)
{
    int rc;
    do rc = fsync(fd);
    while (rc != 0 && errno == EINTR);
    return rc;
}
int ResizeDescriptor(int fd, FileOffset size)
{
    int rc;
    do rc = ftruncate(fd, size);
    while (rc != 0 && errno == EINTR);
    return rc;
}
long long ReadDescriptor(int fd, void* buffer, uint32_t count)
{
    ssize_t got;
    do got = read(fd, buffer, count);
    while (got < 0 && errno == EINTR);
    return got;
}
long long WriteDescriptor(int fd, const void* buffer, uint32_t count)
{
    ssize_t put;
    do put = write(fd, buffer, count);
    while (put < 0 && errno == EINTR);
    return put;
}
int CloseDescriptor(int fd)
{
    return close(fd);
}
#endif

// Opens the file as the flag word asks. Returns the descriptor, or -1 with
// errno set.
int OpenDescriptor(const char* path, uint32_t openFlags)
{
    int flags;
    switch (openFlags & CZipStream::modeReadWrite) {
    case CZipStream::modeWrite: flags = O_WRONLY; break;
    case CZipStream::modeReadWrite: flags = O_RDWR; break;
    default: flags = O_RDONLY; break;   // modeRead, and no access bits at all
    }
    bool writes = (flags != O_RDONLY);
    if (writes && !(openFlags & CZipStream::modeNoTruncate)) flags |= O_TRUNC;
    if (openFlags & CZipStream::modeCreate) flags |= O_CREAT;

#if defined(_WIN32)
    int share;
    switch (openFlags & CZipStream::shareMask) {
    case 0x00: share = _SH_DENYRW; break;
    case CZipStream::shareDenyWrite: share = _SH_DENYWR; break;
    case CZipStream::shareDenyRead: share = _SH_DENYRD; break;
    default: share = _SH_DENYNO; break;
    }
    // Untranslated bytes, and no inheritance by processes the host starts.
    return _sopen(path, flags | _O_BINARY | _O_NOINHERIT, share, _S_IREAD | _S_IWRITE);
#else
    // The sharing field has no counterpart here: POSIX knows no mandatory
    // share modes, and advisory locks would only bind processes that take
    // them too (and would make a second descriptor on the same archive in
    // this process fail). So the field is accepted and ignored; the files
    // are opened in binary form anyway, since POSIX translates nothing.
    // Close-on-exec keeps the descriptor out of programs the host starts.
    int fd;
    do fd = open(path, flags | O_CLOEXEC, 0666);
    while (fd < 0 && errno == EINTR);
    return fd;
#endif
}

int ErrnoOr(int fallback)
{
    return errno != 0 ? errno : fallback;
}

} // namespace

CZipDiskStream::CZipDiskStream(const char* filePath, uint32_t openFlags)
{
    Open(filePath, openFlags, true);
}

CZipDiskStream::~CZipDiskStream()
{
    // A failure to close cannot be reported from here; the descriptor is
    // given up either way.
    if (descriptor != -1) CloseDescriptor(descriptor);
    descriptor = -1;
}

bool CZipDiskStream::Open(const char* filePath, uint32_t openFlags, bool throwOnError)
{
    if (!IsClosed()) Close();
    if (filePath == nullptr) {
        if (throwOnError) ThrowZipException(ENOENT, "");
        return false;
    }
    errno = 0;
    int fd = OpenDescriptor(filePath, openFlags);
    if (fd < 0) {
        if (throwOnError) ThrowZipException(ErrnoOr(EIO), filePath);
        return false;
    }
    descriptor = fd;
    path = filePath;
    return true;
}

void CZipDiskStream::Close()
{
    if (descriptor == -1) return;
    int fd = descriptor;
    // The descriptor is released by the system even when close reports an
    // error, so it is never kept: closing it again later could hit a
    // descriptor reused by someone else.
    descriptor = -1;
    errno = 0;
    if (CloseDescriptor(fd) != 0) ThrowErrno();
}

void CZipDiskStream::Flush()
{
    errno = 0;
    if (CommitDescriptor(descriptor) != 0) ThrowErrno();
}

uint64_t CZipDiskStream::GetPosition()
{
    errno = 0;
    FileOffset at = SeekDescriptor(descriptor, 0, SEEK_CUR);
    if (at == -1) ThrowErrno();
    return static_cast<uint64_t>(at);
}

uint64_t CZipDiskStream::Seek(int64_t offset, int origin)
{
    errno = 0;
    FileOffset at = SeekDescriptor(descriptor, static_cast<FileOffset>(offset), origin);
    if (at == -1) ThrowErrno();
    return static_cast<uint64_t>(at);
}

uint64_t CZipDiskStream::GetLength()
{
    errno = 0;
    FileOffset here = SeekDescriptor(descriptor, 0, SEEK_CUR);
    if (here == -1) ThrowErrno();
    FileOffset end = SeekDescriptor(descriptor, 0, SEEK_END);
    int endError = errno;
    FileOffset back = SeekDescriptor(descriptor, here, SEEK_SET);
    if (end == -1) {
        errno = endError;
        ThrowErrno();
    }
    if (back == -1) ThrowErrno();
    return static_cast<uint64_t>(end);
}

void CZipDiskStream::SetLength(uint64_t newLength)
{
    errno = 0;
    // A size that did not change leaves stale bytes behind the archive's
    // end; that is reported instead of passing as success.
    if (ResizeDescriptor(descriptor, static_cast<FileOffset>(newLength)) != 0) ThrowErrno();
}

std::string CZipDiskStream::GetFilePath()
{
    return path;
}

uint32_t CZipDiskStream::Read(void* buffer, uint32_t count)
{
    uint32_t total = 0;
    auto* bytes = static_cast<uint8_t*>(buffer);
    while (total < count) {
        errno = 0;
        long long got = ReadDescriptor(descriptor, bytes + total, count - total);
        if (got < 0) ThrowErrno();
        if (got == 0) break;   // end of the file: a short count, no error
        total += static_cast<uint32_t>(got);
    }
    return total;
}

void CZipDiskStream::Write(const void* buffer, uint32_t count)
{
    uint32_t total = 0;
    const auto* bytes = static_cast<const uint8_t*>(buffer);
    while (total < count) {
        errno = 0;
        long long put = WriteDescriptor(descriptor, bytes + total, count - total);
        if (put < 0) ThrowErrno();
        // A write that makes no progress without an error is a full device.
        if (put == 0) {
            errno = ENOSPC;
            ThrowErrno();
        }
        total += static_cast<uint32_t>(put);
    }
}

bool CZipDiskStream::IsClosed()
{
    return descriptor == -1;
}

CZipDiskStream::NativeHandle CZipDiskStream::GetHandle()
{
    if (descriptor == -1) {
        errno = EBADF;
        ThrowErrno();
    }
#if defined(_WIN32)
    errno = 0;
    const intptr_t handle = _get_osfhandle(descriptor);
    // -1 is INVALID_HANDLE_VALUE; -2 marks a descriptor with no file behind it.
    if (handle == -1 || handle == -2) {
        if (errno == 0) errno = EBADF;
        ThrowErrno();
    }
    return handle;
#else
    return descriptor;
#endif
}

void CZipDiskStream::ThrowErrno()
{
    ThrowZipException(ErrnoOr(EIO), path);
}
