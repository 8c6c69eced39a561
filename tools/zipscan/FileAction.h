#pragma once
// What becomes of a whole file with a finding, as clamscan's --move, --copy
// and --remove have it, done as safely as a clean: the file is reached by
// its name in the folder it was opened in and must still be the file that
// was scanned; no link is followed at the source or in the destination;
// nothing there is ever overwritten (a busy name gets .001, .002, ...); a
// move is one rename where the file system allows and a synced copy
// followed by an unlink otherwise; set-user-ID and set-group-ID bits never
// reach the destination.
#include <string>

namespace zipscan {

enum class FileAction { None, Move, Copy, Remove };

// The open destination folder of --move and --copy.
class ActionTarget {
public:
    ActionTarget() = default;
    ~ActionTarget();
    ActionTarget(const ActionTarget&) = delete;
    ActionTarget& operator=(const ActionTarget&) = delete;

    // Opens dir (not through a link as its last part); false with a reason.
    bool Open(const std::string& dir, std::string& error);
    int Descriptor() const { return fd; }
    const std::string& Path() const { return path; }

private:
    int fd = -1;
    std::string path;
};

// Carries action out on the file open as fd, named name in dirFd. On
// success done says what was done ("moved to 'DIR/NAME'"); else error.
bool ApplyFileAction(FileAction action, const ActionTarget* target, int dirFd, const std::string& name, int fd,
                     std::string& done, std::string& error);

} // namespace zipscan
