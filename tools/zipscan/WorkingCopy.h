#pragma once
// A private copy of an archive, made beside it, that the module cleans in
// place. Only a copy that has been checked replaces the original, so the
// original is never seen half written. A copy that is not committed is
// removed. Everything happens relative to the open directory that holds the
// archive and to the archive's open descriptor, never through a path that
// someone could change in the meantime.
#include <sys/stat.h>
#include <sys/types.h>

#include <memory>
#include <string>

namespace zipscan {

class WorkingCopy {
public:
    // Copies the file behind sourceFd into a new file in the directory
    // dirFd, with the source's owner, group and permission bits (set-ID and
    // sticky bits left out); holes of the source stay holes. dirFd must
    // outlive the copy. Null with a reason on failure.
    static std::unique_ptr<WorkingCopy> Make(int dirFd, const std::string& name, int sourceFd, std::string& error);
    ~WorkingCopy();
    WorkingCopy(const WorkingCopy&) = delete;
    WorkingCopy& operator=(const WorkingCopy&) = delete;

    // Hands the open descriptor over (to a stream that closes it).
    int TakeDescriptor();
    // Puts the copy's content in the place of the source, once the name
    // still leads to the very file that was opened. A file with one name is
    // replaced by a rename of the copy; a file with several hard links is
    // rewritten through its descriptor, so that every name sees the new
    // content, with the bytes it overwrites kept in a journal until the new
    // content is on disk (see Journal.h). copyFd is the copy's descriptor
    // (now owned by a stream).
    bool Commit(int copyFd, std::string& error);
    // True when the last Commit rewrote the file in place.
    bool InPlace() const { return inPlace; }

    // Removes every working copy not yet committed, from a signal handler
    // (only calls that are safe there).
    static void RemoveAllNow();

private:
    WorkingCopy(int dirFd, std::string target, std::string temp, int fd, int sourceFd);
    bool Rewrite(int copyFd, const struct stat& opened, std::string& error);

    int dirFd;
    std::string target;
    std::string temp;
    int fd;
    int sourceFd;
    int slot = -1; // in the table RemoveAllNow goes through
    bool committed = false;
    bool inPlace = false;
};

} // namespace zipscan
