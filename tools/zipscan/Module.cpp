#include "Module.h"

#include <dlfcn.h>
#include <unistd.h>

#include <cstring>
#include <vector>

namespace zipscan {

namespace {
constexpr int kEngineMagic = 0x4B45544D;
constexpr int kModuleMagic = 0x4945544D;

unsigned int Low(std::uint64_t v) { return static_cast<unsigned int>(v & 0xFFFFFFFFu); }
int High(std::uint64_t v) { return static_cast<int>(static_cast<unsigned int>(v >> 32)); }
} // namespace

Module::~Module()
{
    if (handle) dlclose(handle);
}

bool Module::Load(const std::string& libraryPath, std::string& error)
{
    path = libraryPath;
    // dlopen searches the library path for a bare name; the user means a file.
    std::string file = libraryPath.find('/') == std::string::npos ? "./" + libraryPath : libraryPath;
    if (access(file.c_str(), F_OK) != 0) {
        error = "cannot load the module " + libraryPath + ": no such file";
        return false;
    }
    handle = dlopen(file.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (!handle) {
        const char* why = dlerror();
        error = "cannot load the module " + libraryPath + ": " + (why ? why : "unknown error");
        return false;
    }
    auto check = reinterpret_cast<VFCheckExtendModuleFn>(dlsym(handle, "VFCheckExtendModule"));
    auto enumerate = reinterpret_cast<VFEnumAttributesFn>(dlsym(handle, "VFEnumAttributes"));
    selfTest = reinterpret_cast<TestEntryFn>(dlsym(handle, "TestEntry"));
    if (!check || !enumerate || !selfTest) {
        error = libraryPath + " is not a zipext module (its exports are missing)";
        return false;
    }
    int kind = 0, count = 0, version = 0, flags = 0;
    if (check(kEngineMagic, &kind, &count, &version, &flags) != kModuleMagic) {
        error = libraryPath + " refused the handshake";
        return false;
    }
    // Walk the formats as an engine does and take the functions of "zip".
    for (int index = 0; index < (count > 0 ? count : 1) && index < 64; ++index) {
        int attributes = 0, last = 1;
        char name[64] = {};
        void* recogniseSlot = nullptr;
        void* decodeSlot = nullptr;
        enumerate(index, &attributes, name, &recogniseSlot, &decodeSlot, nullptr, &last);
        name[sizeof name - 1] = '\0';
        if (std::strcmp(name, "zip") == 0 && recogniseSlot && decodeSlot) {
            recognise = reinterpret_cast<ZipArchiveRecongnizeFn>(recogniseSlot);
            decode = reinterpret_cast<ZipArchiveDecodeFn>(decodeSlot);
            return true;
        }
    }
    error = libraryPath + " does not offer the zip format";
    return false;
}

bool Module::Recognise(VFStream* stream, std::uint64_t base, const unsigned char* firstBytes) const
{
    return recognise(stream, nullptr, Low(base), High(base), firstBytes) != 0;
}

int Module::Decode(VFStream* archive, std::uint64_t base, VFStream* temporary, VFDecodeCallback* callback) const
{
    return decode(archive, nullptr, Low(base), High(base), temporary, callback);
}

int Module::SelfTest(const char* archivePath) const
{
    return selfTest(archivePath);
}

std::string DefaultModulePath()
{
    std::vector<char> buffer(4096);
    ssize_t n = readlink("/proc/self/exe", buffer.data(), buffer.size() - 1);
    if (n <= 0) return "libzipext.so";
    std::string self(buffer.data(), static_cast<std::size_t>(n));
    std::size_t slash = self.rfind('/');
    const std::string folder = slash == std::string::npos ? std::string(".") : self.substr(0, slash);
    const std::string beside = folder + "/libzipext.so";
#ifdef ZIPSCAN_INSTALLED_MODULE
    // In the build tree the module lies beside zipscan; installed, it lies
    // in the library folder next to zipscan's own.
    const std::string installed = folder + "/" ZIPSCAN_INSTALLED_MODULE;
    if (access(beside.c_str(), F_OK) != 0 && access(installed.c_str(), F_OK) == 0) return installed;
#endif
    return beside;
}

} // namespace zipscan
