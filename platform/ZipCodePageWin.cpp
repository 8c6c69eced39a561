// Windows build; the POSIX build compiles ZipCodePage.cpp instead.
#ifdef _WIN32

#include "platform/ZipCodePage.h"

#include <cstdint>

#ifndef NOMINMAX
#define NOMINMAX
#endif
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>

#include "archive/ZipBuffer.h"

// The running system's own OEM and ANSI code pages. Both conversions map one
// byte to one byte and may work in place, so names never change length.
void ConvertCodePage(CZipBuffer& buffer, bool toOem)
{
    char* bytes = reinterpret_cast<char*>(buffer.data());
    const uint32_t length = buffer.length();
    if (bytes == nullptr || length == 0) return;
    if (toOem)
        CharToOemBuffA(bytes, bytes, length);
    else
        OemToCharBuffA(bytes, bytes, length);
}

#endif  // _WIN32
