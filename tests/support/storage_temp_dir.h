#pragma once
#include <string>
#include <vector>

#include "support/test_platform.h"

using StorageTempDir = TempDir;


// Whole-file helpers for tests that check what reached the disk.
std::vector<unsigned char> StorageReadFile(const std::string& path);
void StorageWriteFile(const std::string& path, const std::vector<unsigned char>& bytes);
bool StorageFileExists(const std::string& path);
