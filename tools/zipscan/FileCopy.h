#pragma once
// Byte copies between open files for cleaning: holes of a sparse source stay
// holes, and every write of a commit passes one counter, so that a test can
// end the process after any of them and check what the next run makes of
// the file.
#include <sys/types.h>

#include <cstddef>
#include <cstdint>
#include <string>

namespace zipscan {

// Writes all of data at position at.
bool WriteAll(int to, const char* data, std::size_t size, std::uint64_t at, std::string& error);

// Copies length bytes from position fromAt of from to position toAt of to.
// A hole of the source is skipped where the destination is known to hold
// nothing there yet (a new file, destinationEmpty), else punched into the
// destination, or written as zeros where the file system cannot punch
// holes. Where the system cannot tell holes, every byte is copied.
bool CopyRange(int from, std::uint64_t fromAt, int to, std::uint64_t toAt, std::uint64_t length,
               bool destinationEmpty, std::string& error);

// The first position, rounded down to whole 4 KiB blocks, where the first
// length bytes of a and b differ; length when they do not.
bool FirstDifference(int a, int b, std::uint64_t length, std::uint64_t& at, std::string& error);

// Bytes the file takes on disk (its allocated blocks).
std::uint64_t AllocatedBytes(int fd);

// One step of a commit (a write, a truncation, a sync, a rename or an
// unlink) is done. With ZIPSCAN_TEST_KILL_AFTER_WRITES=N in the environment
// the process kills itself with SIGKILL after its N-th step, and copies go
// in pieces of 256 bytes so that a small archive has many steps.
void CommitStep();
std::size_t CopyPiece();

// fsync, ftruncate, renameat and unlinkat counted as commit steps.
int SyncStep(int fd);
int TruncateStep(int fd, std::uint64_t length);
int RenameStep(int dirFd, const std::string& from, const std::string& to);
int UnlinkStep(int dirFd, const std::string& name);

} // namespace zipscan
