#include "platform/ZipAttributes.h"

uint32_t ConvertAttributes(uint32_t attributes, int, int) { return attributes; }
bool IsSupportedSystem(int) { return false; }
bool HasDirectoryBit(uint32_t attributes) { return (attributes & 0x10u) != 0; }
