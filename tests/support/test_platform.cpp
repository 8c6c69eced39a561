#include "support/test_platform.h"

#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>
#include <stdexcept>
#include <system_error>

#ifdef _WIN32
#include <windows.h>
#else
#include <dlfcn.h>
#include <stdlib.h>
#endif

std::string MakeTempDirectory(const std::string& stem)
{
    const std::filesystem::path base = std::filesystem::temp_directory_path();
#ifdef _WIN32
    // No mkdtemp: a random name, taken when create_directory made it (it
    // answers false for a directory that was already there).
    static std::mt19937 rng(std::random_device{}());
    static const char kLetters[] = "abcdefghijklmnopqrstuvwxyz0123456789";
    for (int attempt = 0; attempt < 100; ++attempt) {
        std::string name = stem + "-";
        for (int i = 0; i < 6; ++i) name += kLetters[rng() % (sizeof kLetters - 1)];
        const std::filesystem::path dir = base / name;
        std::error_code error;
        if (std::filesystem::create_directory(dir, error)) return dir.generic_string();
    }
    throw std::runtime_error("no temporary directory could be made");
#else
    std::string pattern = (base / (stem + "-XXXXXX")).string();
    if (!mkdtemp(pattern.data())) throw std::runtime_error("mkdtemp failed");
    return pattern;
#endif
}

void RemoveTree(const std::string& path)
{
    std::error_code error;
    // Write permission first: the self-test may leave read-only files and
    // directories, which neither system lets remove_all delete.
    for (auto it = std::filesystem::recursive_directory_iterator(path, error);
         !error && it != std::filesystem::recursive_directory_iterator(); it.increment(error)) {
        std::error_code ignored;
        if (!it->is_symlink(ignored))
            std::filesystem::permissions(it->path(), std::filesystem::perms::owner_all,
                                         std::filesystem::perm_options::add, ignored);
    }
    std::error_code ignored;
    std::filesystem::permissions(path, std::filesystem::perms::owner_all,
                                 std::filesystem::perm_options::add, ignored);
    std::filesystem::remove_all(path, ignored);
}

#ifdef _WIN32
void* LoadModule(const char* path) { return reinterpret_cast<void*>(LoadLibraryA(path)); }
void* ModuleSymbol(void* module, const char* name)
{
    return reinterpret_cast<void*>(GetProcAddress(static_cast<HMODULE>(module), name));
}
void UnloadModule(void* module) { FreeLibrary(static_cast<HMODULE>(module)); }
std::string ModuleLoadError() { return "LoadLibrary: error " + std::to_string(GetLastError()); }
#else
void* LoadModule(const char* path) { return dlopen(path, RTLD_NOW | RTLD_LOCAL); }
void* ModuleSymbol(void* module, const char* name) { return dlsym(module, name); }
void UnloadModule(void* module) { dlclose(module); }
std::string ModuleLoadError()
{
    const char* text = dlerror();
    return text ? text : "";
}
#endif

std::string NarrowName(const std::filesystem::path& name)
{
#ifdef _WIN32
    const std::wstring wide = name.wstring();
    if (wide.empty()) return std::string();
    const int size = WideCharToMultiByte(CP_ACP, 0, wide.data(), static_cast<int>(wide.size()), nullptr, 0,
                                         nullptr, nullptr);
    std::string out(static_cast<size_t>(size > 0 ? size : 0), '\0');
    if (size > 0)
        WideCharToMultiByte(CP_ACP, 0, wide.data(), static_cast<int>(wide.size()), out.data(), size, nullptr,
                            nullptr);
    return out;
#else
    return name.string();
#endif
}

std::vector<uint8_t> ReadWholeFile(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    return std::vector<uint8_t>(std::istreambuf_iterator<char>(in), {});
}

void WriteWholeFile(const std::string& path, const std::vector<uint8_t>& bytes)
{
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
}

bool FileExists(const std::string& path)
{
    std::error_code error;
    return std::filesystem::symlink_status(path, error).type() != std::filesystem::file_type::not_found &&
           !error;
}
