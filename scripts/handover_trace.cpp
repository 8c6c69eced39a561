// Prints every hand-over ZipArchive_Decode makes for an archive: the name,
// the size and the content (hashed by the caller), in order. Built and run
// by scripts/compare_handovers.py to hold one build's walk against another's.
//
//   handover_trace MODULE VERDICT PASSWORD FILE
//
// VERDICT is what every hand-over is answered: 0 (none), 3 (cured: the
// content is left as it is) or 5 (delete). PASSWORD ('-' for none) is
// given whenever one is asked. Output, binary, on stdout: per hand-over
// "H" name-length name size content; then "R" result archive-length archive.
#include <dlfcn.h>

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "plugin/VFInterfaces.h"

namespace {

struct MemoryStream : VFStreamSlots {
    std::vector<unsigned char> bytes;
    uint64_t position = 0;

    int VF_CALL Seek(unsigned int low, int high, int origin, unsigned long long* out) override
    {
        const int64_t offset = static_cast<int64_t>((static_cast<uint64_t>(static_cast<uint32_t>(high)) << 32) | low);
        int64_t base = origin == 0 ? 0 : origin == 1 ? static_cast<int64_t>(position) : static_cast<int64_t>(bytes.size());
        if (base + offset < 0) return 1;
        position = static_cast<uint64_t>(base + offset);
        if (out) *out = position;
        return 0;
    }
    int VF_CALL Read(void* buffer, unsigned int count, unsigned int* got) override
    {
        uint64_t n = position < bytes.size() ? std::min<uint64_t>(count, bytes.size() - position) : 0;
        if (n) std::memcpy(buffer, bytes.data() + position, n);
        position += n;
        *got = static_cast<unsigned int>(n);
        return 0;
    }
    int VF_CALL Write(const void* buffer, unsigned int count, unsigned int* written) override
    {
        if (position + count > bytes.size()) bytes.resize(position + count);
        std::memcpy(bytes.data() + position, buffer, count);
        position += count;
        *written = count;
        return 0;
    }
    int VF_CALL SetSize(unsigned int low, unsigned int high) override
    {
        bytes.resize((static_cast<uint64_t>(high) << 32) | low);
        if (position > bytes.size()) position = bytes.size();
        return 0;
    }
};

void Put(const void* p, size_t n) { std::fwrite(p, 1, n, stdout); }
void PutNumber(uint64_t v) { Put(&v, sizeof v); }

struct Engine : VFDecodeCallback {
    int verdict = 0;
    std::string password;

    int VF_CALL IsStopRequested() override { return 0; }
    int VF_CALL WantEntry(const char*) override { return 1; }
    int VF_CALL ScanEntry(VFStream*, const char* name, VFStream* temporary, unsigned long long* size, int,
                          int) override
    {
        MemoryStream* t = static_cast<MemoryStream*>(temporary);
        const uint64_t n = std::min<uint64_t>(*size, t->bytes.size());
        Put("H", 1);
        PutNumber(std::strlen(name));
        Put(name, std::strlen(name));
        PutNumber(*size);
        PutNumber(n);
        Put(t->bytes.data(), n);
        return verdict;
    }
    int VF_CALL QueryPassword(const char*, char* buffer, int* size) override
    {
        if (password.empty() || static_cast<int>(password.size()) >= *size) return 0;
        std::memcpy(buffer, password.c_str(), password.size() + 1);
        return 1;
    }
};

} // namespace

int main(int argc, char** argv)
{
    if (argc != 5) {
        std::fprintf(stderr, "usage: handover_trace MODULE VERDICT PASSWORD FILE\n");
        return 2;
    }
    void* module = dlopen(argv[1], RTLD_NOW | RTLD_LOCAL);
    if (!module) {
        std::fprintf(stderr, "%s\n", dlerror());
        return 2;
    }
    auto decode = reinterpret_cast<ZipArchiveDecodeFn>(dlsym(module, "ZipArchive_Decode"));
    if (!decode) return 2;
    std::ifstream in(argv[4], std::ios::binary);
    MemoryStream archive;
    archive.bytes.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    MemoryStream temporary;
    Engine engine;
    engine.verdict = std::atoi(argv[2]);
    if (std::strcmp(argv[3], "-") != 0) engine.password = argv[3];
    const int result = decode(&archive, nullptr, 0, 0, &temporary, &engine);
    Put("R", 1);
    PutNumber(static_cast<uint64_t>(result));
    PutNumber(archive.bytes.size());
    Put(archive.bytes.data(), archive.bytes.size());
    return 0;
}
