#include "errors/ZipException.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>

#include "errors/ZipSystemError.h"

namespace {

struct CodeText {
    int code;
    const char* text;
};

// Texts are part of the interface: callers and logs compare them verbatim.
constexpr CodeText kTexts[] = {
    {1, "Not super-user"},
    {2, "No such file or directory"},
    {4, "Interrupted system call"},
    {5, "I/O error"},
    {6, "No such device or address"},
    {9, "Bad file number"},
    {12, "Not enough space"},
    {13, "Permission denied"},
    {14, "Bad address"},
    {17, "File exists"},
    {18, "Cross-device link"},
    {19, "No such device"},
    {20, "Not a directory"},
    {21, "Is a directory"},
    {22, "Invalid argument"},
    {23, "File table overflow"},
    {24, "Too many open files"},
    {27, "File too large"},
    {28, "No space left on device"},
    {29, "Illegal seek"},
    {30, "Read-only file system"},
    {ZipError::badZipFile, "Damaged or not a zip file"},
    {ZipError::badCrc, "Crc mismatched"},
    {ZipError::noCallback, "No disk-spanning callback functor set"},
    {ZipError::aborted, "Disk change aborted"},
    {ZipError::abortedAction, "Action aborted"},
    {ZipError::abortedSafely, "Action aborted safely"},
    {ZipError::nonRemovable, "The device selected for the disk spanning archive is non removable"},
    {ZipError::tooManyVolumes, "Limit of the maximum volumes reached (999)"},
    {ZipError::tooLongFileName, "The filename of the file being added to the archive is too long"},
    {ZipError::badPassword, "Incorrect password set for the file being decrypted"},
    {ZipError::dirWithSize, "During testing found the directory with the size greater than 0"},
    {ZipError::internal, "Internal error"},
    {ZipError::platformNotSupported, "Cannot create the file for the specified platform"},
    {ZipError::cdirNotFound,
     "The central directory was not found in the archive (or you were trying to open not the "
     "last disk of a multi-disk archive)"},
    {ZipError::zlibStreamEnd, "Zlib Library error (end of stream)"},
    {ZipError::zlibStream, "Zlib library error (stream error)"},
    {ZipError::zlibData, "Zlib library error (data error)"},
    {ZipError::zlibMemory, "Not enough memory"},
    {ZipError::zlibBuffer, "Zlib library error (buffer error)"},
    {ZipError::zlibVersion, "Zlib library error (version error)"},
};

const char* FindText(int code)
{
    for (const CodeText& entry : kTexts) {
        if (entry.code == code) return entry.text;
    }
    return nullptr;
}

constexpr const char* kUnknown = "Unknown error";

} // namespace

CZipException::CZipException(int errorCode, const char* path, ZipReason why, uint64_t at)
    : code(errorCode), reason(why), offset(at)
{
    if (path) archivePath = path;
}

CZipException::~CZipException() = default;

std::string CZipException::GetErrorDescription() const
{
    return DescribeErrorCode(code, false);
}

bool CZipException::GetErrorMessage(char* buffer, unsigned size) const
{
    if (!buffer || size == 0) return false;
    const std::string text = GetErrorDescription();
    if (text.empty()) return false;
    const size_t n = std::min<size_t>(size - 1, text.size());
    std::memcpy(buffer, text.data(), n);
    buffer[n] = '\0';
    return true;
}

std::string CZipException::DescribeErrorCode(int errorCode, bool noSystemText)
{
    if (const char* text = FindText(errorCode)) return text;

    if (errorCode == ZipError::notRemoved || errorCode == ZipError::notRenamed) {
        const char* fixed = errorCode == ZipError::notRemoved ? "Error while removing a file"
                                                              : "Error while renaming a file";
        return std::string(fixed) + " (" + GetSystemErrorText() + ")";
    }

    if (errorCode == ZipError::zlibErrno) {
        const int e = errno;
        // errno holding 502 itself would send the lookup round in a circle.
        if (e == ZipError::zlibErrno) return kUnknown;
        return DescribeErrorCode(e == 0 ? ZipError::generic : e, false);
    }

    if (noSystemText) return kUnknown;
    return GetSystemErrorText();
}

std::string CZipException::GetSystemErrorText()
{
    int number = 0;
    std::string text;
    if (GetLastSystemError(number, text)) return text;

    int e = errno;
    if (e == 0) e = ZipError::generic;
    if (e == ZipError::zlibErrno) return kUnknown;
    // Numbers the table lists keep their fixed texts; any other errno gets the
    // C library's own words rather than a bare "Unknown error".
    if (!FindText(e) && e != ZipError::generic) {
        std::string text = ErrnoText(e);
        if (!text.empty()) return text;
    }
    return DescribeErrorCode(e, true);
}

int CZipException::MapZlibError(int result)
{
    switch (result) {
    case 1: return ZipError::zlibStreamEnd;
    case 2: return ZipError::zlibNeedDict;
    case -1: return ZipError::zlibErrno;
    case -2: return ZipError::zlibStream;
    case -3: return ZipError::zlibData;
    case -4: return ZipError::zlibMemory;
    case -5: return ZipError::zlibBuffer;
    case -6: return ZipError::zlibVersion;
    default: return ZipError::generic;
    }
}

void ThrowZipException(int code, const char* path, ZipReason reason, uint64_t offset)
{
    throw CZipException(code, path, reason, offset);
}
