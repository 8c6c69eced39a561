#include "plugin/VFInterfaces.h"

extern "C" int TestEntry(const char* path)
{
    (void)path;
    return 0;
}
