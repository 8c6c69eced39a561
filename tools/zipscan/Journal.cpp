#include "Journal.h"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>
#include <zlib.h>

#include <cctype>
#include <cerrno>
#include <cstring>

#include "FileCopy.h"

namespace zipscan {

namespace {

constexpr char kMagic[16] = {'z', 'i', 'p', 's', 'c', 'a', 'n', ' ', 'j', 'o', 'u', 'r', 'n', 'a', 'l', 1};
constexpr std::size_t kHeaderSize = 64;
constexpr std::size_t kChecked = 56;     // the bytes the header's CRC-32 covers
constexpr std::uint64_t kDataStart = 4096; // block-aligned, so holes stay holes
const std::string kCopyMark = ".zipscan-";
const std::string kJournalMark = ".zipscan-journal";

struct Header {
    std::uint64_t device = 0, inode = 0, length = 0, newLength = 0, from = 0;
};

void Put64(unsigned char* at, std::uint64_t v)
{
    for (int i = 0; i < 8; ++i) at[i] = static_cast<unsigned char>(v >> (8 * i));
}

std::uint64_t Get64(const unsigned char* at)
{
    std::uint64_t v = 0;
    for (int i = 7; i >= 0; --i) v = (v << 8) | at[i];
    return v;
}

std::uint32_t HeaderCrc(const unsigned char* header)
{
    return static_cast<std::uint32_t>(::crc32(0L, header, static_cast<uInt>(kChecked)));
}

void Encode(const Header& h, unsigned char* out)
{
    std::memset(out, 0, kHeaderSize);
    std::memcpy(out, kMagic, sizeof kMagic);
    Put64(out + 16, h.device);
    Put64(out + 24, h.inode);
    Put64(out + 32, h.length);
    Put64(out + 40, h.newLength);
    Put64(out + 48, h.from);
    std::uint32_t crc = HeaderCrc(out);
    for (int i = 0; i < 4; ++i) out[kChecked + i] = static_cast<unsigned char>(crc >> (8 * i));
}

bool Decode(const unsigned char* in, Header& h)
{
    if (std::memcmp(in, kMagic, sizeof kMagic) != 0) return false;
    std::uint32_t crc = 0;
    for (int i = 3; i >= 0; --i) crc = (crc << 8) | in[kChecked + i];
    if (crc != HeaderCrc(in)) return false;
    h.device = Get64(in + 16);
    h.inode = Get64(in + 24);
    h.length = Get64(in + 32);
    h.newLength = Get64(in + 40);
    h.from = Get64(in + 48);
    return h.from <= h.length;
}

struct Descriptor {
    int fd;
    explicit Descriptor(int d) : fd(d) {}
    ~Descriptor()
    {
        if (fd >= 0) ::close(fd);
    }
    Descriptor(const Descriptor&) = delete;
    Descriptor& operator=(const Descriptor&) = delete;
};

bool EndsWith(const std::string& s, const std::string& tail)
{
    return s.size() >= tail.size() && s.compare(s.size() - tail.size(), tail.size(), tail) == 0;
}

// Puts back the saved bytes of the journal open as fd into out.
bool Restore(int fd, const Header& h, int out, std::string& error)
{
    if (!CopyRange(fd, kDataStart, out, h.from, h.length - h.from, false, error)) return false;
    if (TruncateStep(out, h.length) != 0 || SyncStep(out) != 0) {
        error = std::strerror(errno);
        return false;
    }
    return true;
}

bool RemoveStaleCopy(int dirFd, const std::string& name, const std::string& target)
{
    // The working copy has the owner and group of the file it was made
    // for (or, cut short before it got them, those zipscan runs as), one
    // link, and no running zipscan holds its lock.
    Descriptor copy(::openat(dirFd, name.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC | O_NOCTTY));
    struct stat cs {}, ts {};
    if (copy.fd < 0 || ::fstat(copy.fd, &cs) != 0 || !S_ISREG(cs.st_mode) || cs.st_nlink != 1) return false;
    if (::fstatat(dirFd, target.c_str(), &ts, AT_SYMLINK_NOFOLLOW) != 0 || !S_ISREG(ts.st_mode)) return false;
    if (cs.st_uid != ::geteuid() && (cs.st_uid != ts.st_uid || cs.st_gid != ts.st_gid)) return false;
    if (::flock(copy.fd, LOCK_EX | LOCK_NB) != 0) return false;
    return UnlinkStep(dirFd, name) == 0;
}

} // namespace

std::string Journal::NameFor(const std::string& target)
{
    return "." + target + kJournalMark;
}

Journal::Journal(int directory, std::string journalName, int descriptor, std::uint64_t start, std::uint64_t size)
    : dirFd(directory), name(std::move(journalName)), fd(descriptor), from(start), length(size)
{
}

Journal::~Journal()
{
    if (fd >= 0) {
        // Still here: the rewrite did not finish, and the journal is all
        // that can put the file back. It stays for the next run.
        ::close(fd);
    }
}

std::unique_ptr<Journal> Journal::Begin(int dirFd, const std::string& target, int sourceFd, const struct stat& opened,
                                        std::uint64_t from, std::uint64_t newLength, std::string& error)
{
    const std::string name = NameFor(target);
    int fd = ::openat(dirFd, name.c_str(), O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (fd < 0) {
        error = "cannot write the journal " + name + ": " + std::strerror(errno);
        return nullptr;
    }
    // Held until the journal is gone: another zipscan must not apply it
    // while this one is still writing the file.
    ::flock(fd, LOCK_EX);
    Header h;
    h.device = static_cast<std::uint64_t>(opened.st_dev);
    h.inode = static_cast<std::uint64_t>(opened.st_ino);
    h.length = static_cast<std::uint64_t>(opened.st_size);
    h.newLength = newLength;
    h.from = from;
    unsigned char header[kHeaderSize];
    Encode(h, header);
    // The saved bytes reach the disk before the header that makes them count.
    bool ok = CopyRange(sourceFd, from, fd, kDataStart, h.length - from, true, error) &&
              TruncateStep(fd, kDataStart + h.length - from) == 0 && SyncStep(fd) == 0 &&
              WriteAll(fd, reinterpret_cast<const char*>(header), sizeof header, 0, error) && SyncStep(fd) == 0 &&
              SyncStep(dirFd) == 0;
    if (!ok) {
        if (error.empty()) error = std::strerror(errno);
        error = "cannot write the journal " + name + ": " + error;
        ::unlinkat(dirFd, name.c_str(), 0);
        ::close(fd);
        return nullptr;
    }
    return std::unique_ptr<Journal>(new Journal(dirFd, name, fd, from, h.length));
}

bool Journal::RollBack(int out, std::string& error)
{
    Header h;
    h.length = length;
    h.from = from;
    return Restore(fd, h, out, error);
}

void Journal::Finish()
{
    UnlinkStep(dirFd, name);
    SyncStep(dirFd);
    ::close(fd);
    fd = -1;
}

Leftover ClassifyName(const std::string& name)
{
    Leftover out;
    if (name.size() < 2 || name[0] != '.') return out;
    if (EndsWith(name, kJournalMark) && name.size() > 1 + kJournalMark.size()) {
        out.kind = Leftover::Journal;
        out.target = name.substr(1, name.size() - 1 - kJournalMark.size());
        return out;
    }
    // ".NAME.zipscan-" and six letters or digits.
    const std::size_t tail = kCopyMark.size() + 6;
    if (name.size() <= 1 + tail || name.compare(name.size() - tail, kCopyMark.size(), kCopyMark) != 0) return out;
    for (std::size_t i = name.size() - 6; i < name.size(); ++i)
        if (!std::isalnum(static_cast<unsigned char>(name[i]))) return out;
    out.kind = Leftover::WorkingCopy;
    out.target = name.substr(1, name.size() - 1 - tail);
    return out;
}

bool TidyLeftover(int dirFd, const std::string& name, const Leftover& what, std::string& message)
{
    message.clear();
    if (what.kind == Leftover::WorkingCopy) {
        if (!RemoveStaleCopy(dirFd, name, what.target)) return false;
        message = "removed the working copy " + name + " of an interrupted clean";
        return true;
    }
    if (what.kind != Leftover::Journal) return false;
    Descriptor journal(::openat(dirFd, name.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC | O_NOCTTY));
    struct stat js {};
    if (journal.fd < 0 || ::fstat(journal.fd, &js) != 0 || !S_ISREG(js.st_mode) || js.st_nlink != 1 ||
        js.st_uid != ::geteuid() || (js.st_mode & 022) != 0)
        return false; // not one of ours
    if (::flock(journal.fd, LOCK_EX | LOCK_NB) != 0) return false; // a running zipscan is using it
    unsigned char header[kHeaderSize] = {};
    Header h;
    ssize_t got = ::pread(journal.fd, header, sizeof header, 0);
    if (got != static_cast<ssize_t>(sizeof header) || !Decode(header, h)) {
        // The header is written last: the file was never touched.
        if (UnlinkStep(dirFd, name) != 0) return false;
        message = "removed the unfinished journal " + name + " of an interrupted clean (the file was not changed)";
        return true;
    }
    const std::string refused = "the journal " + name + " of an interrupted clean cannot be applied: ";
    if (static_cast<std::uint64_t>(js.st_size) != kDataStart + (h.length - h.from)) {
        message = refused + "it is damaged";
        return false;
    }
    Descriptor target(::openat(dirFd, what.target.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC | O_NOCTTY));
    struct stat ts {};
    if (target.fd < 0 || ::fstat(target.fd, &ts) != 0 || !S_ISREG(ts.st_mode) ||
        static_cast<std::uint64_t>(ts.st_dev) != h.device || static_cast<std::uint64_t>(ts.st_ino) != h.inode) {
        message = refused + "the file it belongs to is no longer there";
        return false;
    }
    // Written through the descriptor already checked, not through the name.
    std::string self = "/proc/self/fd/" + std::to_string(target.fd);
    Descriptor out(::open(self.c_str(), O_WRONLY | O_CLOEXEC));
    struct stat os {};
    if (out.fd < 0 || ::fstat(out.fd, &os) != 0 || os.st_dev != ts.st_dev || os.st_ino != ts.st_ino) {
        message = refused + (out.fd < 0 ? std::strerror(errno) : "not the same file");
        return false;
    }
    std::string error;
    if (!Restore(journal.fd, h, out.fd, error)) {
        message = refused + error;
        return false;
    }
    UnlinkStep(dirFd, name);
    SyncStep(dirFd);
    message = "put back the content it had before an interrupted clean (from the journal " + name + ")";
    return true;
}

} // namespace zipscan
