#pragma once
// The undo journal of an in-place rewrite, and the tidying of what an
// interrupted clean leaves beside a file.
//
// A file with several hard links is cleaned by writing the new content over
// it. Before the first byte of it changes, the bytes about to be overwritten
// (from the first block that differs to the old end) and the old length go
// to ".NAME.zipscan-journal" beside it, and reach the disk; the header,
// which names the file by device and inode, is written last, so a journal
// without a whole header means the file was never touched. Once the new
// content is on disk the journal is removed. A journal found later means
// the rewrite did not finish: the old content is put back.
//
// A journal is applied only when it is surely one zipscan wrote: its name,
// a regular file with one link, owned by the user zipscan runs as and not
// writable by others, opened without following a link, with a whole header
// naming the very file (device and inode) that the name beside it leads to,
// and not locked by a zipscan still at work on it.
#include <sys/stat.h>

#include <cstdint>
#include <memory>
#include <string>

namespace zipscan {

class Journal {
public:
    // Saves the bytes of target (open as sourceFd, described by opened)
    // from position from to its end, before a rewrite to newLength bytes.
    // Null with a reason on failure; then nothing was changed.
    static std::unique_ptr<Journal> Begin(int dirFd, const std::string& target, int sourceFd,
                                          const struct stat& opened, std::uint64_t from, std::uint64_t newLength,
                                          std::string& error);
    ~Journal();
    Journal(const Journal&) = delete;
    Journal& operator=(const Journal&) = delete;

    // Puts the saved bytes back into the file open for writing as out.
    bool RollBack(int out, std::string& error);
    // The rewrite is on disk: the journal goes.
    void Finish();

    static std::string NameFor(const std::string& target);

private:
    Journal(int dirFd, std::string name, int fd, std::uint64_t from, std::uint64_t length);

    int dirFd;
    std::string name;
    int fd;
    std::uint64_t from;
    std::uint64_t length; // of the file before the rewrite
};

// What an interrupted clean may leave beside a file.
struct Leftover {
    enum Kind { None, WorkingCopy, Journal } kind = None;
    std::string target; // the name of the file it belongs to
};
Leftover ClassifyName(const std::string& name);

// Tidies the leftover called name in dirFd: a journal of zipscan's own is
// applied (the file gets its old content back) and removed, a working copy
// of its own that no running zipscan holds is removed. True when it was
// ours and is gone; message then says what was done. False when it is left
// (not ours, or in use); message is empty, or says why a journal of ours
// could not be applied.
bool TidyLeftover(int dirFd, const std::string& name, const Leftover& what, std::string& message);

} // namespace zipscan
