#pragma once
#include <exception>
#include <string>

#include "errors/ZipErrorCodes.h"
#include "errors/ZipErrorReason.h"

// The one exception type of the archive engine: an integer code plus the path
// of the archive concerned (empty for archives on streams without a path).
// Structural failures also say which check fired and at which stream offset;
// neither changes the code or its text.
class CZipException : public std::exception {
public:
    CZipException(int code, const char* path, ZipReason reason = ZipReason::none,
                  uint64_t offset = kZipNoOffset);
    ~CZipException() override;

    std::string archivePath;
    int code;
    ZipReason reason;
    uint64_t offset;  // kZipNoOffset when unknown

    std::string GetErrorDescription() const;
    // Copies the description, cut to size-1 bytes and NUL-terminated.
    bool GetErrorMessage(char* buffer, unsigned size) const;

    static std::string DescribeErrorCode(int code, bool noSystemText);
    static std::string GetSystemErrorText();
    static int MapZlibError(int result);
};

// Every raise goes through here (or through the archive's ThrowError).
[[noreturn]] void ThrowZipException(int code, const char* path = nullptr, ZipReason reason = ZipReason::none,
                                    uint64_t offset = kZipNoOffset);
[[noreturn]] inline void ThrowZipException(int code, const std::string& path, ZipReason reason = ZipReason::none,
                                           uint64_t offset = kZipNoOffset)
{
    ThrowZipException(code, path.c_str(), reason, offset);
}
