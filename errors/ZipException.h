#pragma once
#include <exception>
#include <string>

#include "errors/ZipErrorCodes.h"

// The one exception type of the archive engine: an integer code plus the path
// of the archive concerned (empty for archives on streams without a path).
class CZipException : public std::exception {
public:
    CZipException(int code, const char* path);
    ~CZipException() override;

    std::string archivePath;
    int code;

    std::string GetErrorDescription() const;
    // Copies the description, cut to size-1 bytes and NUL-terminated.
    bool GetErrorMessage(char* buffer, unsigned size) const;

    static std::string DescribeErrorCode(int code, bool noSystemText);
    static std::string GetSystemErrorText();
    static int MapZlibError(int result);
};

// Every raise goes through here (or through the archive's ThrowError).
[[noreturn]] void ThrowZipException(int code, const char* path = nullptr);
[[noreturn]] inline void ThrowZipException(int code, const std::string& path)
{
    ThrowZipException(code, path.c_str());
}
