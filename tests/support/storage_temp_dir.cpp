#include "support/storage_temp_dir.h"
#include "support/test_platform.h"

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <stdexcept>

StorageTempDir::StorageTempDir()
{
    dir = MakeTempDirectory("zipext-storage");
}

StorageTempDir::~StorageTempDir()
{
    RemoveTree(dir);
}

std::vector<unsigned char> StorageReadFile(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    return std::vector<unsigned char>(std::istreambuf_iterator<char>(in), {});
}

void StorageWriteFile(const std::string& path, const std::vector<unsigned char>& bytes)
{
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
}

bool StorageFileExists(const std::string& path)
{
    std::error_code ignored;
    return std::filesystem::exists(path, ignored);
}
