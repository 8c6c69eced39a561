// Loads the module the way an engine does and asks it the two questions an
// engine asks first: the handshake and whether a file is a ZIP archive.
#include <dlfcn.h>

#include <cstdio>
#include <cstring>
#include <vector>

#include "plugin/VFInterfaces.h"

namespace {

// A read-only engine stream over a file held in memory.
class MemoryStream : public VFStream {
public:
    explicit MemoryStream(std::vector<unsigned char> data) : bytes(std::move(data)) {}
    void VF_CALL Reserved0() override {}
    void VF_CALL Reserved1() override {}
    void VF_CALL Reserved2() override {}
    void VF_CALL Reserved3() override {}
    void VF_CALL Reserved4() override {}
    void VF_CALL Reserved5() override {}
    void VF_CALL Reserved6() override {}
    void VF_CALL Reserved7() override {}
    int VF_CALL Seek(unsigned int low, int high, int origin, unsigned long long* out) override
    {
        long long offset = static_cast<long long>((static_cast<unsigned long long>(high) << 32) | low);
        long long base = origin == 0 ? 0 : origin == 1 ? static_cast<long long>(pos)
                                                       : static_cast<long long>(bytes.size());
        if (base + offset < 0) return 1;
        pos = static_cast<unsigned long long>(base + offset);
        if (out) *out = pos;
        return 0;
    }
    int VF_CALL Read(void* buffer, unsigned int count, unsigned int* got) override
    {
        unsigned long long left = pos < bytes.size() ? bytes.size() - pos : 0;
        unsigned int n = static_cast<unsigned int>(left < count ? left : count);
        if (n) std::memcpy(buffer, bytes.data() + pos, n);
        pos += n;
        *got = n;
        return 0;
    }
    int VF_CALL Write(const void*, unsigned int, unsigned int* written) override
    {
        *written = 0;
        return 1;
    }
    int VF_CALL SetSize(unsigned int, unsigned int) override { return 1; }

    std::vector<unsigned char> bytes;
    unsigned long long pos = 0;
};

} // namespace

int main(int argc, char** argv)
{
    if (argc < 3) {
        std::fprintf(stderr, "usage: %s MODULE ARCHIVE\n", argv[0]);
        return 2;
    }
    void* module = dlopen(argv[1], RTLD_NOW | RTLD_LOCAL);
    if (!module) {
        std::fprintf(stderr, "cannot load %s: %s\n", argv[1], dlerror());
        return 2;
    }
    auto check = reinterpret_cast<VFCheckExtendModuleFn>(dlsym(module, "VFCheckExtendModule"));
    auto recognise = reinterpret_cast<ZipArchiveRecongnizeFn>(dlsym(module, "ZipArchive_Recongnize"));
    if (!check || !recognise) {
        std::fprintf(stderr, "%s lacks the module exports\n", argv[1]);
        return 2;
    }
    int a = 0, b = 0, c = 0, d = 0;
    int answer = check(0x4B45544D, &a, &b, &c, &d);
    std::printf("handshake: 0x%08X\n", static_cast<unsigned>(answer));

    std::FILE* f = std::fopen(argv[2], "rb");
    if (!f) {
        std::fprintf(stderr, "cannot open %s\n", argv[2]);
        return 2;
    }
    std::vector<unsigned char> data;
    unsigned char chunk[65536];
    size_t n;
    while ((n = std::fread(chunk, 1, sizeof chunk, f)) > 0) data.insert(data.end(), chunk, chunk + n);
    std::fclose(f);
    MemoryStream stream(data);
    unsigned char first[2] = {0, 0};
    if (data.size() >= 2) std::memcpy(first, data.data(), 2);
    int zip = recognise(&stream, nullptr, 0, 0, first);
    std::printf("%s: %s\n", argv[2], zip ? "ZIP archive" : "not a ZIP archive");
    dlclose(module);
    return 0;
}
