// Windows build; the POSIX build compiles ZipCodePage.cpp instead.
#ifdef _WIN32

#include "platform/ZipCodePage.h"

#include <cstdint>

#include <windows.h>

// The running system's own OEM and ANSI code pages. Both conversions map one
// byte to one byte and may work in place, so names never change length.
void ConvertCodePage(uint8_t* bytes, uint32_t length, bool toOem)
{
    char* text = reinterpret_cast<char*>(bytes);
    if (text == nullptr || length == 0) return;
    if (toOem)
        CharToOemBuffA(text, text, length);
    else
        OemToCharBuffA(text, text, length);
}

#endif  // _WIN32
