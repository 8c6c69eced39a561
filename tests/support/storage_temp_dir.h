#pragma once
#include <string>
#include <vector>

// A fresh directory under the system's temporary directory, removed with
// everything in it when the object goes away.
class StorageTempDir {
public:
    StorageTempDir();
    ~StorageTempDir();
    StorageTempDir(const StorageTempDir&) = delete;
    StorageTempDir& operator=(const StorageTempDir&) = delete;

    const std::string& Path() const { return dir; }
    std::string File(const std::string& name) const { return dir + "/" + name; }

private:
    std::string dir;
};

// Whole-file helpers for tests that check what reached the disk.
std::vector<unsigned char> StorageReadFile(const std::string& path);
void StorageWriteFile(const std::string& path, const std::vector<unsigned char>& bytes);
bool StorageFileExists(const std::string& path);
