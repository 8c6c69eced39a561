#include "WorkingCopy.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <random>
#include <vector>

namespace zipscan {

namespace {

constexpr mode_t kPermissionBits = 0777; // never set-user-ID, set-group-ID or sticky

bool WriteAll(int to, const char* data, std::size_t size, off_t at, std::string& error)
{
    std::size_t done = 0;
    while (done < size) {
        ssize_t w = ::pwrite(to, data + done, size - done, at + static_cast<off_t>(done));
        if (w < 0 && errno == EINTR) continue;
        if (w <= 0) {
            error = w < 0 ? std::strerror(errno) : "short write";
            return false;
        }
        done += static_cast<std::size_t>(w);
    }
    return true;
}

// Copies the whole of from over the start of to; returns the length copied.
bool CopyAll(int from, int to, off_t& length, std::string& error)
{
    std::vector<char> buffer(1u << 20);
    off_t at = 0;
    while (true) {
        ssize_t n = ::pread(from, buffer.data(), buffer.size(), at);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) {
            error = std::strerror(errno);
            return false;
        }
        if (n == 0) {
            length = at;
            return true;
        }
        if (!WriteAll(to, buffer.data(), static_cast<std::size_t>(n), at, error)) return false;
        at += n;
    }
}

bool SameFile(const struct stat& a, const struct stat& b)
{
    return a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

} // namespace

WorkingCopy::WorkingCopy(int directory, std::string targetName, std::string tempName, int descriptor, int source)
    : dirFd(directory), target(std::move(targetName)), temp(std::move(tempName)), fd(descriptor), sourceFd(source)
{
}

WorkingCopy::~WorkingCopy()
{
    if (fd >= 0) ::close(fd);
    if (!committed) ::unlinkat(dirFd, temp.c_str(), 0);
}

std::unique_ptr<WorkingCopy> WorkingCopy::Make(int dirFd, const std::string& name, int sourceFd, std::string& error)
{
    const std::string failed = "cannot make a working copy beside it: ";
    struct stat st {};
    if (::fstat(sourceFd, &st) != 0) {
        error = std::strerror(errno);
        return nullptr;
    }
    std::random_device seed;
    std::mt19937_64 random(seed());
    int fd = -1;
    std::string temp;
    for (int attempt = 0; attempt < 100 && fd < 0; ++attempt) {
        static const char letters[] = "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789";
        temp = "." + name + ".zipscan-";
        for (int i = 0; i < 6; ++i) temp += letters[random() % (sizeof letters - 1)];
        fd = ::openat(dirFd, temp.c_str(), O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
        if (fd < 0 && errno != EEXIST) break;
    }
    if (fd < 0) {
        error = failed + std::strerror(errno);
        return nullptr;
    }
    std::unique_ptr<WorkingCopy> copy(new WorkingCopy(dirFd, name, temp, fd, sourceFd));
    // Owner first: changing the owner would take set-ID bits away again.
    off_t length = 0;
    if (::fchown(fd, st.st_uid, st.st_gid) != 0) {
        error = failed + "cannot give it the archive's owner: " + std::strerror(errno);
        return nullptr;
    }
    if (::fchmod(fd, st.st_mode & kPermissionBits) != 0 || !CopyAll(sourceFd, fd, length, error)) {
        if (error.empty()) error = std::strerror(errno);
        error = failed + error;
        return nullptr;
    }
    return copy;
}

int WorkingCopy::TakeDescriptor()
{
    int out = fd;
    fd = -1;
    return out;
}

bool WorkingCopy::Commit(int copyFd, std::string& error)
{
    const std::string changed = "the file changed while it was scanned; it is left unchanged";
    struct stat opened {}, named {};
    if (::fstat(sourceFd, &opened) != 0) {
        error = "cannot replace the archive: " + std::string(std::strerror(errno));
        return false;
    }
    // The name must still lead to the file that was scanned: a file or a
    // symbolic link put in its place meanwhile is not touched.
    if (::fstatat(dirFd, target.c_str(), &named, AT_SYMLINK_NOFOLLOW) != 0 || !SameFile(opened, named)) {
        error = changed;
        return false;
    }
    if (opened.st_nlink > 1) {
        // Renaming would split the names: the others would keep the old
        // content. Rewrite the file itself through a writable descriptor of
        // the same file, reached through the one already open.
        std::string self = "/proc/self/fd/" + std::to_string(sourceFd);
        int out = ::open(self.c_str(), O_WRONLY | O_CLOEXEC);
        struct stat reopened {};
        if (out < 0 || ::fstat(out, &reopened) != 0 || !SameFile(opened, reopened)) {
            error = "cannot rewrite the archive in place: " +
                    std::string(out < 0 ? std::strerror(errno) : "not the same file");
            if (out >= 0) ::close(out);
            return false;
        }
        off_t length = 0;
        bool ok = CopyAll(copyFd, out, length, error) && ::ftruncate(out, length) == 0 &&
                  ::fchmod(out, opened.st_mode & kPermissionBits) == 0 && ::fsync(out) == 0;
        if (!ok && error.empty()) error = std::strerror(errno);
        ::close(out);
        if (!ok) {
            error = "cannot rewrite the archive in place: " + error;
            return false;
        }
        inPlace = true;
        return true; // the copy is removed by the destructor
    }
    if (::renameat(dirFd, temp.c_str(), dirFd, target.c_str()) != 0) {
        error = "cannot replace the archive: " + std::string(std::strerror(errno));
        return false;
    }
    committed = true;
    ::fsync(dirFd);
    return true;
}

} // namespace zipscan
