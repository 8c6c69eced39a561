#include "DirectoryWalk.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <map>
#include <set>
#include <utility>

#include "Journal.h"
#include "PathFilter.h"

namespace zipscan {

namespace {

using Identity = std::pair<dev_t, ino_t>;

// The names in a directory, sorted, without "." and "..". Takes fd over.
bool ReadNames(int fd, std::vector<std::string>& names)
{
    DIR* dir = ::fdopendir(fd);
    if (!dir) {
        ::close(fd);
        return false;
    }
    while (dirent* d = ::readdir(dir)) {
        if (std::strcmp(d->d_name, ".") != 0 && std::strcmp(d->d_name, "..") != 0) names.push_back(d->d_name);
    }
    ::closedir(dir);
    std::sort(names.begin(), names.end());
    return true;
}

std::string Joined(const std::string& folder, const std::string& name)
{
    return folder.empty() || folder.back() == '/' ? folder + name : folder + "/" + name;
}

// Tidies the leftovers of interrupted cleans among names (removing those
// that are gone), so that they are neither scanned nor left behind.
void TidyNames(int dirFd, const std::string& folder, std::vector<std::string>& names, WalkResult& out,
               const std::set<std::string>* only = nullptr)
{
    std::vector<std::string> kept;
    kept.reserve(names.size());
    for (std::string& name : names) {
        Leftover what = ClassifyName(name);
        std::string message;
        if (what.kind != Leftover::None && (!only || only->count(what.target) != 0)) {
            bool gone = TidyLeftover(dirFd, name, what, message);
            std::string target = Joined(folder, what.target);
            if (gone) {
                out.notes.emplace_back(target, message);
                continue;
            }
            if (!message.empty()) out.errors.emplace_back(target, message);
        }
        kept.push_back(std::move(name));
    }
    names = std::move(kept);
}

struct Walker {
    bool follow;
    std::size_t maxDepth;
    WalkResult& out;
    std::set<Identity> seen;
    bool recursive = true;
    const PathFilter* filter = nullptr;

    void Add(const std::string& path, std::size_t walked, bool excluded)
    {
        out.files.push_back(path);
        out.walked.push_back(walked);
        out.excluded.push_back(excluded ? 1 : 0);
    }

    // One folder on the way down: its descriptor, its names and the next
    // one to look at, and where its path ends in the path being walked.
    struct Level {
        int fd;
        std::vector<std::string> names;
        std::size_t next = 0;
        std::size_t pathLength;
    };

    void Error(const std::string& path, const std::string& why) { out.errors.emplace_back(path, why); }

    // Opens the folder fd (taken over) as a new level; false when it was
    // seen before or cannot be read.
    bool Enter(int fd, const std::string& path, std::vector<Level>& stack)
    {
        struct stat st {};
        if (::fstat(fd, &st) != 0 || !seen.insert({st.st_dev, st.st_ino}).second) {
            ::close(fd);
            return false;
        }
        int reading = ::dup(fd);
        std::vector<std::string> names;
        if (reading < 0 || !ReadNames(reading, names)) {
            Error(path, std::strerror(errno));
            ::close(fd);
            return false;
        }
        TidyNames(fd, path, names, out);
        ++out.directories;
        stack.push_back({fd, std::move(names), 0, path.size()});
        return true;
    }

    void Walk(int fd, const std::string& root)
    {
        std::vector<Level> stack;
        std::string path = root; // the folder of the top level, then its entries
        if (!Enter(fd, path, stack)) return;
        while (!stack.empty()) {
            Level& level = stack.back();
            if (level.next == level.names.size()) {
                ::close(level.fd);
                stack.pop_back();
                continue;
            }
            const std::string& name = level.names[level.next++];
            path.resize(level.pathLength);
            path = Joined(path, name);
            struct stat cs {};
            if (::fstatat(level.fd, name.c_str(), &cs, AT_SYMLINK_NOFOLLOW) != 0) continue; // gone meanwhile
            if (S_ISLNK(cs.st_mode)) {
                if (!follow || ::fstatat(level.fd, name.c_str(), &cs, 0) != 0) continue;
            }
            if (S_ISDIR(cs.st_mode)) {
                if (!recursive) continue; // one level, as clamscan without -r
                if (filter && !filter->DirectoryWanted(path)) {
                    Add(path, root.size(), true);
                    continue;
                }
                if (stack.size() > maxDepth) {
                    Error(path, "more than " + std::to_string(maxDepth) +
                                    " folders deep (--max-dir-recursion); not walked");
                    continue;
                }
                // Opened relative to the directory walked, never through a
                // link unless links are followed.
                int sub = ::openat(level.fd, name.c_str(),
                                   O_RDONLY | O_DIRECTORY | O_CLOEXEC | (follow ? 0 : O_NOFOLLOW));
                if (sub < 0)
                    Error(path, std::strerror(errno));
                else
                    Enter(sub, path, stack); // level may move: not used after this
            } else if (S_ISREG(cs.st_mode)) {
                Add(path, root.size(), filter && !filter->FileWanted(path));
            }
            // Anything else (devices, FIFOs, sockets) is no archive: passed over.
        }
    }
};

} // namespace

WalkResult WalkPaths(const std::vector<std::string>& paths, bool followLinks, std::size_t maxDepth,
                     bool recursive, const PathFilter* filter)
{
    WalkResult out;
    Walker walker{followLinks, maxDepth, out, {}, recursive, filter};
    for (const std::string& path : paths) {
        if (path == "-") {
            walker.Add(path, std::string::npos, false);
            continue;
        }
        struct stat st {};
        bool isDirectory = (followLinks ? ::stat(path.c_str(), &st) : ::lstat(path.c_str(), &st)) == 0 &&
                           S_ISDIR(st.st_mode);
        if (!isDirectory) {
            walker.Add(path, std::string::npos, filter && !filter->FileWanted(path));
            continue;
        }
        if (filter && !filter->DirectoryWanted(path)) {
            walker.Add(path, std::string::npos, true);
            continue;
        }
        int fd = ::open(path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC | (followLinks ? 0 : O_NOFOLLOW));
        if (fd < 0)
            walker.Error(path, std::strerror(errno));
        else
            walker.Walk(fd, path);
    }
    return out;
}

void TidyBeside(const std::vector<std::string>& paths, WalkResult& out)
{
    // Each folder is read once, however many of its files are named.
    std::map<std::string, std::set<std::string>> folders;
    for (const std::string& path : paths) {
        std::size_t slash = path.rfind('/');
        std::string name = slash == std::string::npos ? path : path.substr(slash + 1);
        if (!name.empty()) folders[slash == std::string::npos ? "" : path.substr(0, slash + 1)].insert(name);
    }
    for (const auto& folder : folders) {
        int fd = ::open(folder.first.empty() ? "." : folder.first.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        if (fd < 0) continue; // the scan of the file tells why
        int reading = ::dup(fd);
        std::vector<std::string> names;
        if (reading >= 0 && ReadNames(reading, names)) TidyNames(fd, folder.first, names, out, &folder.second);
        ::close(fd);
    }
}

} // namespace zipscan
