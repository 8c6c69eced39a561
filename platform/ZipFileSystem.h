#pragma once
#include <cstdint>
#include <ctime>
#include <string>

// The archive engine's only way to the file system. Paths are NUL-terminated
// byte strings; names in local form may use '\' as separator, which is turned
// into the system's separator here, right where a path reaches the operating
// system. A null path is treated as a path that does not exist.
//
// Nothing here keeps state, and nothing changes the process's current
// directory except EnterDirectory.

// The path as the operating system wants it ('\' replaced by '/' on POSIX).
std::string ToSystemPath(const char* path);

// Size of a file that can be opened for reading; false for anything else,
// including a size that does not fit in 32 bits.
bool QueryFileSize(const char* path, uint32_t& size);

// Attributes in the MS-DOS form (0x01 read-only, 0x02 hidden, 0x10 directory,
// 0x20 archive).
bool ReadFileAttributes(const char* path, uint32_t& attributes);
bool WriteFileAttributes(const char* path, uint32_t attributes);
#ifndef _WIN32
// The permission bits (07777) of a POSIX mode once MS-DOS attributes are
// applied: read-only clears every write bit, anything else gives the owner
// one.
uint32_t PosixModeWithAttributes(uint32_t mode, uint32_t attributes);
#endif

// Modification time in seconds since 1970. Writing -1 means "now"; the
// access time is always set to now.
bool ReadModificationTime(const char* path, time_t& modified);
bool WriteModificationTime(const char* path, time_t modified);

bool EnterDirectory(const char* path);
// An existing directory that could be entered.
bool IsExistingDirectory(const char* path);
// 0: nothing there, -1: a directory, 1: something else (a file).
int ProbePath(const char* path);
bool MakeDirectory(const char* path);
// Creates every missing directory of the path, from the top down.
bool MakeDirectoryTree(const char* path);

// On failure: false, or code 113 / 114 (with the path) when throwOnError.
bool DeleteFileByName(const char* path, bool throwOnError);
bool MoveFileByName(const char* from, const char* to, bool throwOnError);

// Leaves the string unchanged on failure.
bool ReadCurrentDirectory(std::string& directory);

// Free bytes available on the device that holds the path (0 when unknown).
uint32_t FreeBytesOnDevice(const char* path);
bool IsRemovableDrive(const char* path);
bool LabelVolume(const char* path, const char* label);

// Creates a new, empty, uniquely named file whose name starts with "ZAR" in a
// directory with at least neededBytes free (the hint, the temporary directory
// or the current directory, in that order) and returns its name; empty when
// none qualifies or the file cannot be made.
std::string CreateTempFileName(const char* directoryHint, uint32_t neededBytes);
