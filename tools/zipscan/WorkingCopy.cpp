#include "WorkingCopy.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <vector>

namespace zipscan {

namespace {

std::string DirectoryOf(const std::string& path)
{
    std::size_t slash = path.rfind('/');
    if (slash == std::string::npos) return ".";
    return slash == 0 ? "/" : path.substr(0, slash);
}

bool CopyAll(int from, int to, std::string& error)
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
        if (n == 0) return true;
        ssize_t done = 0;
        while (done < n) {
            ssize_t w = ::write(to, buffer.data() + done, static_cast<std::size_t>(n - done));
            if (w < 0 && errno == EINTR) continue;
            if (w <= 0) {
                error = w < 0 ? std::strerror(errno) : "short write";
                return false;
            }
            done += w;
        }
        at += n;
    }
}

} // namespace

WorkingCopy::WorkingCopy(std::string targetPath, std::string tempPath, int descriptor)
    : target(std::move(targetPath)), temp(std::move(tempPath)), fd(descriptor)
{
}

WorkingCopy::~WorkingCopy()
{
    if (fd >= 0) ::close(fd);
    if (!committed) ::unlink(temp.c_str());
}

std::unique_ptr<WorkingCopy> WorkingCopy::Make(const std::string& target, int sourceFd, std::string& error)
{
    struct stat st {};
    if (::fstat(sourceFd, &st) != 0) {
        error = std::strerror(errno);
        return nullptr;
    }
    std::string base = target.substr(target.rfind('/') == std::string::npos ? 0 : target.rfind('/') + 1);
    std::string pattern = DirectoryOf(target) + "/." + base + ".zipscan-XXXXXX";
    std::vector<char> name(pattern.begin(), pattern.end());
    name.push_back('\0');
    int fd = ::mkstemp(name.data());
    if (fd < 0) {
        error = "cannot make a working copy beside it: " + std::string(std::strerror(errno));
        return nullptr;
    }
    std::unique_ptr<WorkingCopy> copy(new WorkingCopy(target, name.data(), fd));
    if (::fchmod(fd, st.st_mode & 07777) != 0 || !CopyAll(sourceFd, fd, error)) {
        if (error.empty()) error = std::strerror(errno);
        error = "cannot make a working copy beside it: " + error;
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

bool WorkingCopy::Commit(std::string& error)
{
    if (::rename(temp.c_str(), target.c_str()) != 0) {
        error = "cannot replace the archive: " + std::string(std::strerror(errno));
        return false;
    }
    committed = true;
    int dir = ::open(DirectoryOf(target).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dir >= 0) {
        ::fsync(dir);
        ::close(dir);
    }
    return true;
}

} // namespace zipscan
