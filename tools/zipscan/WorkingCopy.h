#pragma once
// A private copy of an archive, made beside it, that the module cleans in
// place. Only a copy that has been checked replaces the original, in one
// rename, so the original is never seen half written. A copy that is not
// committed is removed.
#include <memory>
#include <string>

namespace zipscan {

class WorkingCopy {
public:
    // Copies the file behind sourceFd into a new file in the directory of
    // target, with target's permissions. Null with a reason on failure.
    static std::unique_ptr<WorkingCopy> Make(const std::string& target, int sourceFd, std::string& error);
    ~WorkingCopy();
    WorkingCopy(const WorkingCopy&) = delete;
    WorkingCopy& operator=(const WorkingCopy&) = delete;

    // Hands the open descriptor over (to a stream that closes it).
    int TakeDescriptor();
    // Moves the copy over the target and makes the rename durable.
    bool Commit(std::string& error);

private:
    WorkingCopy(std::string target, std::string temp, int fd);

    std::string target;
    std::string temp;
    int fd;
    bool committed = false;
};

} // namespace zipscan
