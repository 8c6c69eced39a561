#pragma once
// An engine stream over a file on disk: 64-bit positions, positioned reads
// and writes, and status codes that say what really happened (an errno value
// on failure). A stream opened read-only answers every write and resize
// with a failure and writes nothing.
#include <cstdint>
#include <string>

#include "plugin/ZipHost.h"

namespace zipscan {

class FileStream final : public VFStreamSlots {
public:
    // Takes ownership of an open descriptor.
    FileStream(int fd, bool writable);
    ~FileStream();
    FileStream(const FileStream&) = delete;
    FileStream& operator=(const FileStream&) = delete;

    // Opens a regular file read-only, once: a symbolic link as the last
    // component is refused unless followLinks. With parent, the directory
    // that holds the file is opened too (*parent, closed by the caller) and
    // the file's name in it goes to *name, so that the file can be replaced
    // without going through a path again. On failure returns -1 with a
    // one-line reason. For a file found below a directory whose path is the
    // first walkedFrom bytes of path, no symbolic link is followed below that
    // directory either (unless followLinks), so that a folder swapped for a
    // link after the walk cannot lead elsewhere.
    static int OpenFile(const std::string& path, bool followLinks, std::string& error,
                        int* parent = nullptr, std::string* name = nullptr,
                        std::size_t walkedFrom = std::string::npos);

    int VF_CALL Seek(unsigned int offsetLow, int offsetHigh, int origin,
                     unsigned long long* newPosition) override;
    int VF_CALL Read(void* buffer, unsigned int count, unsigned int* bytesRead) override;
    int VF_CALL Write(const void* buffer, unsigned int count, unsigned int* bytesWritten) override;
    int VF_CALL SetSize(unsigned int sizeLow, unsigned int sizeHigh) override;

    // Reads up to count bytes at an absolute position without moving the stream.
    std::size_t ReadAt(std::uint64_t position, void* buffer, std::size_t count) const;
    // Current length of the file, or -1 when it cannot be told.
    std::int64_t Length() const;
    // Writes everything buffered by the system to the disk.
    bool Sync() const;
    int Descriptor() const { return fd; }
    std::uint64_t Position() const { return position; }
    int Writes() const { return writeCalls; }

private:
    int fd;
    bool writable;
    std::uint64_t position = 0;
    int writeCalls = 0; // write and resize requests, granted or not
};

} // namespace zipscan
