#include "DirectoryWalk.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <set>
#include <utility>

namespace zipscan {

namespace {

using Identity = std::pair<dev_t, ino_t>;

struct Walker {
    bool follow;
    WalkResult& out;
    std::set<Identity> seen;
    std::size_t root = 0; // length of the directory path being walked

    void Error(const std::string& path, int error) { out.errors.emplace_back(path, std::strerror(error)); }

    // Walks the open directory fd (taken over) whose path is path.
    void Directory(int fd, const std::string& path)
    {
        struct stat st {};
        if (::fstat(fd, &st) != 0 || !seen.insert({st.st_dev, st.st_ino}).second) {
            ::close(fd);
            return;
        }
        DIR* dir = ::fdopendir(fd);
        if (!dir) {
            Error(path, errno);
            ::close(fd);
            return;
        }
        std::vector<std::string> names;
        errno = 0;
        while (dirent* d = ::readdir(dir)) {
            if (std::strcmp(d->d_name, ".") != 0 && std::strcmp(d->d_name, "..") != 0) names.push_back(d->d_name);
        }
        std::sort(names.begin(), names.end());
        std::string prefix = path.empty() || path.back() == '/' ? path : path + "/";
        for (const std::string& name : names) {
            std::string child = prefix + name;
            struct stat cs {};
            if (::fstatat(::dirfd(dir), name.c_str(), &cs, AT_SYMLINK_NOFOLLOW) != 0) continue; // gone meanwhile
            if (S_ISLNK(cs.st_mode)) {
                if (!follow || ::fstatat(::dirfd(dir), name.c_str(), &cs, 0) != 0) continue;
            }
            if (S_ISDIR(cs.st_mode)) {
                // Opened relative to the directory walked, never through a
                // link unless links are followed.
                int sub = ::openat(::dirfd(dir), name.c_str(),
                                   O_RDONLY | O_DIRECTORY | O_CLOEXEC | (follow ? 0 : O_NOFOLLOW));
                if (sub < 0)
                    Error(child, errno);
                else
                    Directory(sub, child);
            } else if (S_ISREG(cs.st_mode)) {
                out.files.push_back(child);
                out.walked.push_back(root);
            }
            // Anything else (devices, FIFOs, sockets) is no archive: passed over.
        }
        ::closedir(dir);
    }
};

} // namespace

WalkResult WalkPaths(const std::vector<std::string>& paths, bool followLinks)
{
    WalkResult out;
    Walker walker{followLinks, out, {}};
    for (const std::string& path : paths) {
        struct stat st {};
        bool isDirectory = (followLinks ? ::stat(path.c_str(), &st) : ::lstat(path.c_str(), &st)) == 0 &&
                           S_ISDIR(st.st_mode);
        if (!isDirectory) {
            out.files.push_back(path);
            out.walked.push_back(std::string::npos);
            continue;
        }
        int fd = ::open(path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC | (followLinks ? 0 : O_NOFOLLOW));
        if (fd < 0) walker.Error(path, errno);
        walker.root = path.size();
        if (fd >= 0) walker.Directory(fd, path);
    }
    return out;
}

} // namespace zipscan
