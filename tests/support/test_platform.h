#pragma once
// What the tests need from the operating system beyond the module itself,
// for the Linux build and for the Windows build (run under wine in CI).
#include <gtest/gtest.h>

#include <filesystem>
#include <string>

// A fresh directory below the system's temporary directory, named
// "<stem>-XXXXXX" with a random tail; throws when none can be made.
std::string MakeTempDirectory(const std::string& stem);
// Removes a directory tree, read-only files and folders included.
void RemoveTree(const std::string& path);

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
