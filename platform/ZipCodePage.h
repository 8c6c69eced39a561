#pragma once
#include <cstdint>

// Converts length bytes in place between the ANSI and the OEM code
// page: on Windows the running system's own pair, elsewhere Windows-1252 and
// code page 437 stand in. The length never changes; characters without a
// counterpart become the nearest plain letter or '?'.
void ConvertCodePage(uint8_t* bytes, uint32_t length, bool toOem);
