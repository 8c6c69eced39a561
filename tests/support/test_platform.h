#pragma once
// What the tests need from the operating system beyond the module itself,
// for the Linux build and for the Windows build (run under wine in CI).
#include <gtest/gtest.h>

#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

// A fresh directory below the system's temporary directory, named
// "<stem>-XXXXXX" with a random tail; throws when none can be made.
std::string MakeTempDirectory(const std::string& stem);
// Removes a directory tree, read-only files and folders included.
void RemoveTree(const std::string& path);

// A fresh directory below the system's temporary directory, removed with
// everything in it when the object goes: the one the test kit uses.
class TempDir {
public:
    TempDir() : dir(MakeTempDirectory("zipext-test")) {}
    ~TempDir() { RemoveTree(dir); }
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    const std::string& Path() const { return dir; }
    std::string File(const std::string& name) const { return dir + "/" + name; }

private:
    std::string dir;
};

// A whole file's bytes (none when it cannot be read), a whole file written
// anew, and whether anything is at a path (a link to nothing included).
std::vector<uint8_t> ReadWholeFile(const std::string& path);
void WriteWholeFile(const std::string& path, const std::vector<uint8_t>& bytes);
bool FileExists(const std::string& path);

// Tests that run Linux programs (Info-ZIP zip and unzip, 7-Zip's 7zz,
// Python, sh) to make or check archives cannot do so in the Windows build:
// it runs where those are not, and its std::system goes to cmd.exe. They
// skip there, naming what they lack.
#ifdef _WIN32
#define ZIPEXT_NEED_LINUX_TOOLS(what) \
    GTEST_SKIP() << "runs " << (what) << ", which the Windows build has not"
#else
#define ZIPEXT_NEED_LINUX_TOOLS(what) static_cast<void>(what)
#endif

// The built module, loaded as a host loads it: libzipext.so with dlopen,
// zipext.dll with LoadLibrary. Null, and an explanation from
// ModuleLoadError, when it cannot be loaded.
void* LoadModule(const char* path);
void* ModuleSymbol(void* module, const char* name);
void UnloadModule(void* module);
std::string ModuleLoadError();

// A directory entry's name as the module's narrow-string file calls take it:
// the bytes themselves on POSIX, the ANSI code page on Windows (the "A"
// calls), where std::filesystem would give UTF-8 instead.
std::string NarrowName(const std::filesystem::path& name);
