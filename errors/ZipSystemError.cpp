// POSIX build; the Windows build compiles ZipSystemErrorWin.cpp instead.
#ifndef _WIN32

#include <cstring>
#include "errors/ZipSystemError.h"

bool GetLastSystemError(int& number, std::string& text)
{
    number = 0;
    text.clear();
    return false;
}

std::string ErrnoText(int errnum)
{
    char buffer[256] = {0};
    // GNU strerror_r may return a static string instead of filling the buffer.
    const char* text = strerror_r(errnum, buffer, sizeof buffer);
    if (!text || std::strncmp(text, "Unknown error", 13) == 0) return std::string();
    return text;
}

#endif  // _WIN32
