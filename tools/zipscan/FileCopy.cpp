#include "FileCopy.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <vector>

namespace zipscan {

namespace {

constexpr std::uint64_t kBlock = 4096;

long KillAfter()
{
    static const long steps = [] {
        const char* text = std::getenv("ZIPSCAN_TEST_KILL_AFTER_WRITES");
        return text ? std::strtol(text, nullptr, 10) : 0L;
    }();
    return steps;
}

bool ReadAll(int from, char* data, std::size_t size, std::uint64_t at, std::string& error)
{
    std::size_t done = 0;
    while (done < size) {
        ssize_t n = ::pread(from, data + done, size - done, static_cast<off_t>(at + done));
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            error = n < 0 ? std::strerror(errno) : "the file ended early";
            return false;
        }
        done += static_cast<std::size_t>(n);
    }
    return true;
}

// Makes [at, at + length) of to read as zeros without writing them where it can.
bool Clear(int to, std::uint64_t at, std::uint64_t length, std::string& error)
{
    if (::fallocate(to, FALLOC_FL_PUNCH_HOLE | FALLOC_FL_KEEP_SIZE, static_cast<off_t>(at),
                    static_cast<off_t>(length)) == 0) {
        CommitStep();
        return true;
    }
    std::vector<char> zeros(std::min<std::uint64_t>(length, CopyPiece()), 0);
    for (std::uint64_t done = 0; done < length;) {
        std::size_t n = static_cast<std::size_t>(std::min<std::uint64_t>(zeros.size(), length - done));
        if (!WriteAll(to, zeros.data(), n, at + done, error)) return false;
        done += n;
    }
    return true;
}

} // namespace

void CommitStep()
{
    static std::atomic<long> steps{0};
    long limit = KillAfter();
    if (limit > 0 && ++steps >= limit) std::raise(SIGKILL);
}

std::size_t CopyPiece()
{
    return KillAfter() > 0 ? 256 : (1u << 20);
}

int SyncStep(int fd)
{
    int r = ::fsync(fd);
    CommitStep();
    return r;
}

int TruncateStep(int fd, std::uint64_t length)
{
    int r = ::ftruncate(fd, static_cast<off_t>(length));
    CommitStep();
    return r;
}

int RenameStep(int dirFd, const std::string& from, const std::string& to)
{
    int r = ::renameat(dirFd, from.c_str(), dirFd, to.c_str());
    CommitStep();
    return r;
}

int UnlinkStep(int dirFd, const std::string& name)
{
    int r = ::unlinkat(dirFd, name.c_str(), 0);
    CommitStep();
    return r;
}

bool WriteAll(int to, const char* data, std::size_t size, std::uint64_t at, std::string& error)
{
    std::size_t done = 0;
    while (done < size) {
        ssize_t w = ::pwrite(to, data + done, size - done, static_cast<off_t>(at + done));
        if (w < 0 && errno == EINTR) continue;
        if (w <= 0) {
            error = w < 0 ? std::strerror(errno) : "short write";
            return false;
        }
        done += static_cast<std::size_t>(w);
        CommitStep();
    }
    return true;
}

bool CopyRange(int from, std::uint64_t fromAt, int to, std::uint64_t toAt, std::uint64_t length,
               bool destinationEmpty, std::string& error)
{
    std::vector<char> buffer(CopyPiece());
    const std::uint64_t end = fromAt + length;
    std::uint64_t at = fromAt;
    while (at < end) {
        // The next stretch of data and the hole behind it; without that
        // knowledge the rest is taken as data.
        std::uint64_t data = at, hole = end;
        off_t found = ::lseek(from, static_cast<off_t>(at), SEEK_DATA);
        if (found >= 0) {
            data = std::min<std::uint64_t>(static_cast<std::uint64_t>(found), end);
            off_t after = ::lseek(from, found, SEEK_HOLE);
            if (after >= 0) hole = std::min<std::uint64_t>(static_cast<std::uint64_t>(after), end);
        } else if (errno == ENXIO) {
            data = end; // nothing but a hole up to the end
        }
        if (data > at && !destinationEmpty && !Clear(to, toAt + (at - fromAt), data - at, error)) return false;
        for (at = data; at < hole;) {
            std::size_t n = static_cast<std::size_t>(std::min<std::uint64_t>(buffer.size(), hole - at));
            if (!ReadAll(from, buffer.data(), n, at, error) ||
                !WriteAll(to, buffer.data(), n, toAt + (at - fromAt), error))
                return false;
            at += n;
        }
    }
    return true;
}

bool FirstDifference(int a, int b, std::uint64_t length, std::uint64_t& at, std::string& error)
{
    std::vector<char> one(1u << 16), two(1u << 16);
    for (std::uint64_t done = 0; done < length;) {
        std::size_t n = static_cast<std::size_t>(std::min<std::uint64_t>(one.size(), length - done));
        if (!ReadAll(a, one.data(), n, done, error) || !ReadAll(b, two.data(), n, done, error)) return false;
        auto differ = std::mismatch(one.begin(), one.begin() + static_cast<std::ptrdiff_t>(n), two.begin());
        if (differ.first != one.begin() + static_cast<std::ptrdiff_t>(n)) {
            at = (done + static_cast<std::uint64_t>(differ.first - one.begin())) / kBlock * kBlock;
            return true;
        }
        done += n;
    }
    at = length / kBlock * kBlock;
    return true;
}

std::uint64_t AllocatedBytes(int fd)
{
    struct stat st {};
    if (::fstat(fd, &st) != 0) return 0;
    return static_cast<std::uint64_t>(st.st_blocks) * 512u;
}

} // namespace zipscan
