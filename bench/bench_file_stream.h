#pragma once
// The archive as an engine hands it in: an engine stream over a file,
// shared by the benchmarks that go through the exports.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <string>

#include "plugin/VFInterfaces.h"

// An engine stream over a file, as an engine would hand one in.
class FileStream final : public VFStreamSlots {
public:
    explicit FileStream(const std::string& path) : fd(open(path.c_str(), O_RDWR)) {}
    ~FileStream()
    {
        if (fd >= 0) close(fd);
    }
    int VF_CALL Seek(unsigned int low, int high, int origin, unsigned long long* out) override
    {
        const int64_t offset =
            static_cast<int64_t>((static_cast<uint64_t>(static_cast<uint32_t>(high)) << 32) | low);
        int64_t base = origin == 1 ? static_cast<int64_t>(position) : 0;
        if (origin == 2) {
            struct stat st;
            fstat(fd, &st);
            base = st.st_size;
        }
        position = static_cast<uint64_t>(std::max<int64_t>(0, base + offset));
        if (out) *out = position;
        return 0;
    }
    int VF_CALL Read(void* buffer, unsigned int count, unsigned int* got) override
    {
        const ssize_t n = pread(fd, buffer, count, static_cast<off_t>(position));
        *got = n > 0 ? static_cast<unsigned int>(n) : 0;
        position += *got;
        return n < 0 ? 5 : 0;
    }
    int VF_CALL Write(const void* buffer, unsigned int count, unsigned int* put) override
    {
        const ssize_t n = pwrite(fd, buffer, count, static_cast<off_t>(position));
        *put = n > 0 ? static_cast<unsigned int>(n) : 0;
        position += *put;
        return n < 0 ? 5 : 0;
    }
    int VF_CALL SetSize(unsigned int low, unsigned int high) override
    {
        return ftruncate(fd, static_cast<off_t>((static_cast<uint64_t>(high) << 32) | low));
    }

private:
    int fd;
    uint64_t position = 0;
};
