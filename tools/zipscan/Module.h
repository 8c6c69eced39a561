#pragma once
// The extension module as an engine sees it: a shared library that passes
// the handshake and names the recognise and decode functions of the "zip"
// format. Nothing else of the library is used.
#include <cstdint>
#include <string>

#include "plugin/ZipHost.h"

namespace zipscan {

class Module {
public:
    Module() = default;
    ~Module();
    Module(const Module&) = delete;
    Module& operator=(const Module&) = delete;

    // Loads the library and runs the handshake; false with a one-line reason.
    bool Load(const std::string& path, std::string& error);

    // The module keeps no state between calls, so these may run on
    // several threads at once, each with its own host objects.
    bool Recognise(VFStream* stream, std::uint64_t base, const unsigned char* firstBytes) const;
    int Decode(VFStream* archive, std::uint64_t base, VFStream* temporary, VFDecodeCallback* callback) const;
    int SelfTest(const char* path) const;

    const std::string& Path() const { return path; }

private:
    std::string path;
    void* handle = nullptr;
    ZipArchiveRecongnizeFn recognise = nullptr;
    ZipArchiveDecodeFn decode = nullptr;
    TestEntryFn selfTest = nullptr;
};

// The library beside the running binary.
std::string DefaultModulePath();

} // namespace zipscan
