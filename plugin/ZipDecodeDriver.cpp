#include "plugin/VFInterfaces.h"

extern "C" int ZipArchive_Decode(VFStream* archive, void* ignored, unsigned int baseLow,
                                 int baseHigh, VFStream* temporary, VFDecodeCallback* callback)
{
    (void)archive;
    (void)ignored;
    (void)baseLow;
    (void)baseHigh;
    (void)temporary;
    (void)callback;
    return 0;
}
