#include "FileAction.h"

#include <fcntl.h>
#include <stdio.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "FileCopy.h"

namespace zipscan {

namespace {

constexpr int kMaxSuffix = 999;

std::string Suffixed(const std::string& name, int n)
{
    if (n == 0) return name;
    char suffix[8];
    std::snprintf(suffix, sizeof suffix, ".%03d", n);
    return name + suffix;
}

bool Same(const struct stat& a, const struct stat& b)
{
    return a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

// Whether name in dir still leads, without following a link, to the file
// that was scanned.
bool StillThere(int dirFd, const std::string& name, const struct stat& scanned)
{
    struct stat now {};
    return ::fstatat(dirFd, name.c_str(), &now, AT_SYMLINK_NOFOLLOW) == 0 && S_ISREG(now.st_mode) &&
           Same(now, scanned);
}

std::string Errno(const char* what)
{
    return std::string(what) + ": " + std::strerror(errno);
}

// Copies the file into a new name in the target; the name chosen goes to
// chosen. The copy is synced before this returns.
bool CopyInto(int fd, const struct stat& st, int to, const std::string& name, bool keepOwner, std::string& chosen,
              std::string& error)
{
    int out = -1;
    for (int n = 0; n <= kMaxSuffix && out < 0; ++n) {
        chosen = Suffixed(name, n);
        out = ::openat(to, chosen.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
        if (out < 0 && errno != EEXIST) {
            error = Errno("cannot create the copy");
            return false;
        }
    }
    if (out < 0) {
        error = "no free name for the copy (" + name + " to " + Suffixed(name, kMaxSuffix) + " are taken)";
        return false;
    }
    bool ok = CopyRange(fd, 0, out, 0, static_cast<std::uint64_t>(st.st_size), true, error);
    // A moved file keeps its owner and permission bits, a copy is the
    // quarantine's own (mode 0600); neither keeps a set-ID bit.
    if (ok && keepOwner) {
        if (::geteuid() == 0 && ::fchown(out, st.st_uid, st.st_gid) != 0) ok = false, error = Errno("fchown");
        if (ok && ::fchmod(out, st.st_mode & 0777) != 0) ok = false, error = Errno("fchmod");
    }
    if (ok && ::fsync(out) != 0) ok = false, error = Errno("cannot sync the copy");
    ::close(out);
    if (!ok) ::unlinkat(to, chosen.c_str(), 0);
    return ok;
}

// Moves by one rename that never replaces a name; answers 1 when done, 0
// when the file systems differ (a copy is needed), -1 on failure.
int RenameInto(int dirFd, const std::string& name, const struct stat& st, int to, const std::string& base,
               std::string& chosen, std::string& error)
{
    for (int n = 0; n <= kMaxSuffix; ++n) {
        chosen = Suffixed(base, n);
        int r = ::renameat2(dirFd, name.c_str(), to, chosen.c_str(), RENAME_NOREPLACE);
        if (r != 0 && (errno == EINVAL || errno == ENOSYS)) {
            // No RENAME_NOREPLACE on this file system: a hard link cannot
            // replace a name either, and the old name goes after it.
            r = ::linkat(dirFd, name.c_str(), to, chosen.c_str(), 0);
            if (r == 0 && !StillThere(to, chosen, st)) {
                ::unlinkat(to, chosen.c_str(), 0);
                error = "the file changed while it was scanned; it is left where it is";
                return -1;
            }
            if (r == 0 && ::unlinkat(dirFd, name.c_str(), 0) != 0) {
                error = Errno("cannot remove the old name");
                return -1;
            }
        }
        if (r == 0) {
            if (!StillThere(to, chosen, st)) {
                // Another file was put in its place after the check: it goes back.
                ::renameat2(to, chosen.c_str(), dirFd, name.c_str(), RENAME_NOREPLACE);
                error = "the file changed while it was scanned; it is left where it is";
                return -1;
            }
            return 1;
        }
        if (errno == EXDEV) return 0;
        if (errno != EEXIST) {
            error = Errno("cannot move the file");
            return -1;
        }
    }
    error = "no free name for the file (" + base + " to " + Suffixed(base, kMaxSuffix) + " are taken)";
    return -1;
}

} // namespace

ActionTarget::~ActionTarget()
{
    if (fd >= 0) ::close(fd);
}

bool ActionTarget::Open(const std::string& dir, std::string& error)
{
    fd = ::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC | O_NOFOLLOW);
    if (fd < 0) {
        // O_DIRECTORY wins over O_NOFOLLOW: a link to a folder says ENOTDIR.
        const int saved = errno;
        struct stat st {};
        const bool link = ::lstat(dir.c_str(), &st) == 0 && S_ISLNK(st.st_mode);
        error = dir + ": " + (link ? std::string("is a symbolic link") : std::strerror(saved));
        return false;
    }
    path = dir;
    return true;
}

bool ApplyFileAction(FileAction action, const ActionTarget* target, int dirFd, const std::string& name, int fd,
                     std::string& done, std::string& error)
{
    struct stat st {};
    if (::fstat(fd, &st) != 0) {
        error = Errno("fstat");
        return false;
    }
    if (!StillThere(dirFd, name, st)) {
        error = "the file changed while it was scanned; it is left where it is";
        return false;
    }
    if (action == FileAction::Remove) {
        if (::unlinkat(dirFd, name.c_str(), 0) != 0) {
            error = Errno("cannot remove the file");
            return false;
        }
        ::fsync(dirFd);
        done = "removed";
        return true;
    }
    const std::string where = target->Path() + (target->Path().empty() || target->Path().back() == '/' ? "" : "/");
    std::string chosen;
    if (action == FileAction::Copy) {
        if (!CopyInto(fd, st, target->Descriptor(), name, false, chosen, error)) return false;
        ::fsync(target->Descriptor());
        done = "copied to '" + where + chosen + "'";
        return true;
    }
    // A set-ID bit must not come along: it is dropped on the file itself
    // before it moves.
    if ((st.st_mode & (S_ISUID | S_ISGID)) != 0 && ::fchmod(fd, st.st_mode & 0777) != 0) {
        error = Errno("cannot drop the set-ID bits");
        return false;
    }
    int moved = RenameInto(dirFd, name, st, target->Descriptor(), name, chosen, error);
    if (moved < 0) return false;
    if (moved == 0) {
        // Another file system: a synced copy, then the old name goes, if it
        // is still the file scanned.
        if (!CopyInto(fd, st, target->Descriptor(), name, true, chosen, error)) return false;
        if (!StillThere(dirFd, name, st)) {
            ::unlinkat(target->Descriptor(), chosen.c_str(), 0);
            error = "the file changed while it was scanned; it is left where it is";
            return false;
        }
        if (::unlinkat(dirFd, name.c_str(), 0) != 0) {
            error = Errno("copied, but cannot remove the file");
            return false;
        }
    }
    ::fsync(target->Descriptor());
    ::fsync(dirFd);
    done = "moved to '" + where + chosen + "'";
    return true;
}

} // namespace zipscan
