// The five functions the engine calls. Every call builds its own objects and
// lets no exception out: the engine is not C++.
#include <cstring>

#include "plugin/VFInterfaces.h"

namespace {
constexpr int kEngineMagic = 0x4B45544D;
constexpr int kModuleMagic = 0x4945544D;
constexpr unsigned kModuleKind = 0xF0000001u;
constexpr int kProtocolVersion = 0x700;
constexpr int kFormatAttributes = 0x01000004;
} // namespace

extern "C" {

int VFCheckExtendModule(int magic, int* out1, int* out2, int* out3, int* out4)
{
    if (magic != kEngineMagic) return 0;
    if (out1) *out1 = static_cast<int>(kModuleKind);
    if (out2) *out2 = 1;
    if (out3) *out3 = kProtocolVersion;
    if (out4) *out4 = 1;
    return kModuleMagic;
}

int VFEnumAttributes(int index, int* attributes, char* name, void** recognizeSlot,
                     void** decodeSlot, void* ignored, int* last)
{
    (void)ignored;
    if (index != 0) return 1;
    if (attributes) *attributes = kFormatAttributes;
    if (name) std::memcpy(name, "zip", 4);
    if (recognizeSlot) *recognizeSlot = reinterpret_cast<void*>(&ZipArchive_Recongnize);
    if (decodeSlot) *decodeSlot = reinterpret_cast<void*>(&ZipArchive_Decode);
    if (last) *last = 0;
    return 1;
}

} // extern "C"
