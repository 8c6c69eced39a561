// Windows build; the POSIX build compiles ZipSystemError.cpp instead.
#ifdef _WIN32

#include "errors/ZipSystemError.h"

#include <cstring>

#include <windows.h>

bool GetLastSystemError(int& number, std::string& text)
{
    // First thing: any later call may overwrite the thread's last error.
    const DWORD error = GetLastError();
    number = static_cast<int>(error);
    text.clear();
    if (error == 0) return false;

    char* message = nullptr;
    const DWORD length = FormatMessageA(
        FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
        nullptr, error, MAKELANGID(LANG_NEUTRAL, SUBLANG_DEFAULT), reinterpret_cast<LPSTR>(&message),
        0, nullptr);
    // The system's words as it gives them, trailing line break included.
    if (length != 0 && message != nullptr) text.assign(message, length);
    if (message != nullptr) LocalFree(message);
    // A number the system has no message for still is an error; it reads
    // like every other code without a text of its own.
    if (text.empty()) text = "Unknown error";
    return true;
}

std::string ErrnoText(int errnum)
{
    // The runtime's strerror keeps its text per thread.
    const char* text = std::strerror(errnum);
    if (!text || std::strncmp(text, "Unknown error", 13) == 0) return std::string();
    return text;
}

#endif  // _WIN32
