#include "StandardInput.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "ScanCallback.h"

namespace zipscan {

const char* const kStandardInputName = "stdin";

namespace {

int PrivateFile(std::string& error)
{
    const char* env = std::getenv("TMPDIR");
    const std::string dir = env && *env ? env : "/tmp";
#ifdef O_TMPFILE
    const int unnamed = ::open(dir.c_str(), O_TMPFILE | O_RDWR | O_EXCL | O_CLOEXEC, 0600);
    if (unnamed >= 0) return unnamed;
#endif
    // A folder of our own (mode 0700) holds the name for the instant before
    // it is unlinked, so no other user can open it meanwhile.
    std::string folder = dir + "/zipscan-stdin-XXXXXX";
    if (!::mkdtemp(&folder[0])) {
        error = "cannot make a temporary folder in " + dir + ": " + std::strerror(errno);
        return -1;
    }
    std::string name = folder + "/spool-XXXXXX";
    int fd = ::mkostemp(&name[0], O_CLOEXEC);
    int saved = errno;
    if (fd >= 0) ::unlink(name.c_str());
    ::rmdir(folder.c_str());
    if (fd < 0) error = "cannot make a temporary file in " + dir + ": " + std::strerror(saved);
    return fd;
}

} // namespace

int SpoolStandardInput(std::string& error)
{
    int fd = PrivateFile(error);
    if (fd < 0) return -1;
    std::vector<char> buffer(1 << 16);
    for (;;) {
        ssize_t n = ::read(STDIN_FILENO, buffer.data(), buffer.size());
        if (n < 0 && errno == EINTR && !ScanCallback::interrupted.load()) continue;
        if (n < 0) {
            error = std::string("cannot read standard input: ") + std::strerror(errno);
            ::close(fd);
            return -1;
        }
        if (n == 0) break;
        for (ssize_t done = 0; done < n;) {
            ssize_t w = ::write(fd, buffer.data() + done, static_cast<std::size_t>(n - done));
            if (w < 0 && errno == EINTR) continue;
            if (w <= 0) {
                error = std::string("cannot spool standard input: ") + std::strerror(errno);
                ::close(fd);
                return -1;
            }
            done += w;
        }
    }
    return fd;
}

} // namespace zipscan
