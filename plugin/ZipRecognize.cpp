#include "plugin/VFInterfaces.h"

extern "C" int ZipArchive_Recongnize(VFStream* stream, void* ignored, unsigned int baseLow,
                                     int baseHigh, const unsigned char* firstBytes)
{
    (void)ignored;
    (void)baseLow;
    (void)baseHigh;
    // Anything that does not start with the signature's first two bytes is
    // turned away without a single read of the stream.
    if (!stream || !firstBytes || firstBytes[0] != 'P' || firstBytes[1] != 'K') return 0;
    return 0;
}
