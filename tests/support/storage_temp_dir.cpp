#include "support/storage_temp_dir.h"
#include "support/test_platform.h"

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <stdexcept>

std::vector<unsigned char> StorageReadFile(const std::string& path)
{
    return ReadWholeFile(path);
}

void StorageWriteFile(const std::string& path, const std::vector<unsigned char>& bytes)
{
    WriteWholeFile(path, bytes);
}

bool StorageFileExists(const std::string& path)
{
    std::error_code ignored;
    return std::filesystem::exists(path, ignored);
}
