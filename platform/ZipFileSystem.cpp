#include "platform/ZipFileSystem.h"

std::string ToSystemPath(const char* path) { return path ? std::string(path) : std::string(); }
bool QueryFileSize(const char*, uint32_t&) { return false; }
bool ReadFileAttributes(const char*, uint32_t&) { return false; }
bool WriteFileAttributes(const char*, uint32_t) { return false; }
bool ReadModificationTime(const char*, time_t&) { return false; }
bool WriteModificationTime(const char*, time_t) { return false; }
bool EnterDirectory(const char*) { return false; }
bool IsExistingDirectory(const char*) { return false; }
int ProbePath(const char*) { return 0; }
bool MakeDirectory(const char*) { return false; }
bool MakeDirectoryTree(const char*) { return false; }
bool DeleteFileByName(const char*, bool) { return false; }
bool MoveFileByName(const char*, const char*, bool) { return false; }
bool ReadCurrentDirectory(std::string&) { return false; }
uint32_t FreeBytesOnDevice(const char*) { return 0; }
bool IsRemovableDrive(const char*) { return false; }
bool LabelVolume(const char*, const char*) { return false; }
std::string CreateTempFileName(const char*, uint32_t) { return std::string(); }
