#include "WorkingCopy.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstring>
#include <random>

#include "FileCopy.h"
#include "Journal.h"

namespace zipscan {

namespace {

constexpr mode_t kPermissionBits = 0777; // never set-user-ID, set-group-ID or sticky

bool SameFile(const struct stat& a, const struct stat& b)
{
    return a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

// The working copies a signal handler must remove: one slot a copy. A slot
// is taken by setting its directory last and freed by clearing it first, so
// the handler never sees half a name.
struct Slot {
    std::atomic<int> dirFd{-1};
    char name[320] = {};
};
constexpr int kSlots = 512; // more than the most files scanned at once
Slot slots[kSlots];
std::atomic<bool> slotBusy[kSlots];

int TakeSlot(int dirFd, const std::string& name)
{
    if (name.size() >= sizeof slots[0].name) return -1;
    for (int i = 0; i < kSlots; ++i) {
        bool expected = false;
        if (!slotBusy[i].compare_exchange_strong(expected, true)) continue;
        std::memcpy(slots[i].name, name.c_str(), name.size() + 1);
        slots[i].dirFd.store(dirFd);
        return i;
    }
    return -1;
}

void FreeSlot(int i)
{
    if (i < 0) return;
    slots[i].dirFd.store(-1);
    slotBusy[i].store(false);
}

} // namespace

void WorkingCopy::RemoveAllNow()
{
    for (Slot& s : slots) {
        int dir = s.dirFd.load();
        if (dir >= 0) ::unlinkat(dir, s.name, 0);
    }
}

WorkingCopy::WorkingCopy(int directory, std::string targetName, std::string tempName, int descriptor, int source)
    : dirFd(directory), target(std::move(targetName)), temp(std::move(tempName)), fd(descriptor), sourceFd(source)
{
    slot = TakeSlot(dirFd, temp);
}

WorkingCopy::~WorkingCopy()
{
    if (fd >= 0) ::close(fd);
    FreeSlot(slot);
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
    // The lock tells a later run that this copy is in use, not left over.
    ::flock(fd, LOCK_EX);
    std::unique_ptr<WorkingCopy> copy(new WorkingCopy(dirFd, name, temp, fd, sourceFd));
    // Owner first: changing the owner would take set-ID bits away again.
    if (::fchown(fd, st.st_uid, st.st_gid) != 0) {
        error = failed + "cannot give it the archive's owner: " + std::strerror(errno);
        return nullptr;
    }
    if (::fchmod(fd, st.st_mode & kPermissionBits) != 0 ||
        !CopyRange(sourceFd, 0, fd, 0, static_cast<std::uint64_t>(st.st_size), true, error) ||
        TruncateStep(fd, static_cast<std::uint64_t>(st.st_size)) != 0) {
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

bool WorkingCopy::Rewrite(int copyFd, const struct stat& opened, std::string& error)
{
    // Renaming would split the names: the others would keep the old
    // content. Rewrite the file itself through a writable descriptor of
    // the same file, reached through the one already open.
    std::string self = "/proc/self/fd/" + std::to_string(sourceFd);
    int out = ::open(self.c_str(), O_WRONLY | O_CLOEXEC);
    struct stat reopened {}, cleaned {};
    if (out < 0 || ::fstat(out, &reopened) != 0 || !SameFile(opened, reopened) || ::fstat(copyFd, &cleaned) != 0) {
        error = out < 0 ? std::strerror(errno) : "not the same file";
        if (out >= 0) ::close(out);
        return false;
    }
    const std::uint64_t oldLength = static_cast<std::uint64_t>(opened.st_size);
    const std::uint64_t newLength = static_cast<std::uint64_t>(cleaned.st_size);
    // Only what changes is written (and kept in the journal first).
    std::uint64_t from = 0;
    if (!FirstDifference(sourceFd, copyFd, std::min(oldLength, newLength), from, error)) {
        ::close(out);
        return false;
    }
    std::unique_ptr<Journal> journal = Journal::Begin(dirFd, target, sourceFd, opened, from, newLength, error);
    if (!journal) {
        ::close(out);
        return false;
    }
    bool ok = CopyRange(copyFd, from, out, from, newLength - from, false, error) &&
              TruncateStep(out, newLength) == 0 && ::fchmod(out, opened.st_mode & kPermissionBits) == 0 &&
              SyncStep(out) == 0;
    if (!ok) {
        if (error.empty()) error = std::strerror(errno);
        std::string undo;
        if (journal->RollBack(out, undo)) {
            journal->Finish();
            error += "; the archive is left unchanged";
        } else {
            error += "; the old content could not be put back (" + undo + "), the next run puts it back from " +
                     Journal::NameFor(target);
        }
        ::close(out);
        return false;
    }
    journal->Finish();
    ::close(out);
    return true;
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
        if (!Rewrite(copyFd, opened, error)) {
            error = "cannot rewrite the archive in place: " + error;
            return false;
        }
        inPlace = true;
        return true; // the copy is removed by the destructor
    }
    if (RenameStep(dirFd, temp, target) != 0) {
        error = "cannot replace the archive: " + std::string(std::strerror(errno));
        return false;
    }
    committed = true;
    FreeSlot(slot);
    slot = -1;
    SyncStep(dirFd);
    return true;
}

} // namespace zipscan
