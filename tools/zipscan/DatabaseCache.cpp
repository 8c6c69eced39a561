#include "DatabaseCache.h"

#include <fcntl.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <random>

namespace zipscan {

namespace {

// A file: the magic, the key's size, the bytes' size, a checksum of key
// and bytes, then the key and the bytes.
constexpr char kMagic[16] = {'z', 'i', 'p', 's', 'c', 'a', 'n', ' ', 'c', 'a', 'c', 'h', 'e', ' ', '2', '\n'};
constexpr std::size_t kHeader = sizeof(kMagic) + 3 * 8;
constexpr std::uint64_t kLargest = 1ull << 30;  // no database of ours comes near
constexpr std::uint64_t kNameSeed = 0x7a69707363616e31ull;
constexpr std::uint64_t kSumSeed = 0x63686b73756d3031ull;

std::uint64_t Mix(std::uint64_t x)
{
    x ^= x >> 30;
    x *= 0xbf58476d1ce4e5b9ull;
    x ^= x >> 27;
    x *= 0x94d049bb133111ebull;
    return x ^ (x >> 31);
}

// Thirty-two bytes a step in four independent lanes, so that checking a
// database of megabytes costs about a millisecond. Guards against damage,
// not against forgery (only the user's own files are read at all).
std::uint64_t Hash(const char* data, std::size_t size, std::uint64_t seed)
{
    std::uint64_t lane[4] = {Mix(seed ^ size), Mix(seed + 1), Mix(seed + 2), Mix(seed + 3)};
    std::size_t i = 0;
    for (; i + 32 <= size; i += 32) {
        for (int k = 0; k < 4; ++k) {
            std::uint64_t word;
            std::memcpy(&word, data + i + 8 * k, 8);
            lane[k] = (lane[k] ^ word) * 0x9e3779b97f4a7c15ull;
            lane[k] ^= lane[k] >> 29;
        }
    }
    std::uint64_t h = Mix(lane[0] ^ Mix(lane[1] ^ Mix(lane[2] ^ Mix(lane[3]))));
    for (; i + 8 <= size; i += 8) {
        std::uint64_t word;
        std::memcpy(&word, data + i, 8);
        h = Mix(h ^ word);
    }
    std::uint64_t tail = 0;
    std::memcpy(&tail, data + i, size - i);
    return Mix(h ^ tail ^ (static_cast<std::uint64_t>(size - i) << 56));
}

std::string FileName(const std::string& key)
{
    char name[32];
    std::snprintf(name, sizeof name, "%016llx.db",
                  static_cast<unsigned long long>(Hash(key.data(), key.size(), kNameSeed)));
    return name;
}

void PutWord(std::vector<char>& out, std::uint64_t v)
{
    for (int i = 0; i < 8; ++i) out.push_back(static_cast<char>((v >> (8 * i)) & 0xFF));
}

std::uint64_t GetWord(const char* p)
{
    std::uint64_t v = 0;
    for (int i = 7; i >= 0; --i) v = (v << 8) | static_cast<unsigned char>(p[i]);
    return v;
}

// Only what the current user owns and nobody else may write to.
bool Private(const struct stat& st)
{
    return st.st_uid == geteuid() && (st.st_mode & (S_IWGRP | S_IWOTH)) == 0;
}

bool OwnedDirectory(const std::string& path)
{
    struct stat st {};
    return stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode) && st.st_uid == geteuid();
}

// A home of the current user: HOME when it is theirs (sudo may keep another
// user's), else the one the user database names.
std::string Home()
{
    const char* home = std::getenv("HOME");
    if (home && home[0] == '/' && OwnedDirectory(home)) return home;
    const struct passwd* pw = getpwuid(geteuid());
    if (pw && pw->pw_dir && pw->pw_dir[0] == '/') return pw->pw_dir;
    return std::string();
}

class Descriptor {
public:
    explicit Descriptor(int fd) : fd(fd) {}
    ~Descriptor()
    {
        if (fd >= 0) close(fd);
    }
    Descriptor(const Descriptor&) = delete;
    Descriptor& operator=(const Descriptor&) = delete;
    int fd;
};

bool ReadAll(int fd, char* out, std::size_t size)
{
    while (size > 0) {
        ssize_t got = read(fd, out, size);
        if (got < 0 && errno == EINTR) continue;
        if (got <= 0) return false;
        out += got;
        size -= static_cast<std::size_t>(got);
    }
    return true;
}

bool WriteAll(int fd, const char* data, std::size_t size)
{
    while (size > 0) {
        ssize_t put = write(fd, data, size);
        if (put < 0 && errno == EINTR) continue;
        if (put <= 0) return false;
        data += put;
        size -= static_cast<std::size_t>(put);
    }
    return true;
}

} // namespace

std::string DatabaseCache::DefaultFolder()
{
    const char* own = std::getenv("ZIPSCAN_CACHE_DIR");
    if (own && own[0]) return own;
    // A relative XDG_CACHE_HOME is to be ignored; one of another user too.
    const char* xdg = std::getenv("XDG_CACHE_HOME");
    if (xdg && xdg[0] == '/') {
        struct stat st {};
        if (stat(xdg, &st) != 0 || st.st_uid == geteuid()) return std::string(xdg) + "/zipscan";
    }
    std::string home = Home();
    return home.empty() ? home : home + "/.cache/zipscan";
}

int DatabaseCache::OpenFolder(bool create) const
{
    if (folder.empty()) return -1;
    if (create) {
        // Every missing folder on the way is made private, as the cache's
        // own; existing ones are left as they are.
        for (std::size_t at = folder.find('/', 1); ; at = folder.find('/', at + 1)) {
            std::string part = folder.substr(0, at);
            if (!part.empty() && part.back() != '/') mkdir(part.c_str(), 0700);
            if (at == std::string::npos) break;
        }
    }
    int fd = open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0) return -1;
    struct stat st {};
    if (fstat(fd, &st) != 0 || !S_ISDIR(st.st_mode) || !Private(st)) {
        close(fd);
        return -1;
    }
    return fd;
}

bool DatabaseCache::Load(const std::string& key, std::unique_ptr<char[]>& bytes, std::size_t& bytesSize,
                         const std::string& slot) const
{
    Descriptor dir(OpenFolder(false));
    if (dir.fd < 0) return false;
    // Non-blocking, so that a FIFO put in the file's place cannot hold us up.
    Descriptor file(openat(dir.fd, FileName(slot.empty() ? key : slot).c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK | O_NOCTTY));
    if (file.fd < 0) return false;
    struct stat st {};
    if (fstat(file.fd, &st) != 0 || !S_ISREG(st.st_mode) || !Private(st) || st.st_nlink != 1) return false;
    const auto size = static_cast<std::uint64_t>(st.st_size);
    if (size < kHeader + key.size() || size > kLargest) return false;
    // The header and key first, then the bytes straight into their place:
    // a big database is not copied once more.
    std::vector<char> head(kHeader + key.size());
    if (!ReadAll(file.fd, head.data(), head.size())) return false;
    if (std::memcmp(head.data(), kMagic, sizeof kMagic) != 0) return false;
    const std::uint64_t keySize = GetWord(head.data() + 16);
    const std::uint64_t dataSize = GetWord(head.data() + 24);
    const std::uint64_t sum = GetWord(head.data() + 32);
    if (keySize != key.size() || dataSize != size - kHeader - keySize) return false;
    const char* storedKey = head.data() + kHeader;
    if (std::memcmp(storedKey, key.data(), key.size()) != 0) return false;
    std::unique_ptr<char[]> data(new char[static_cast<std::size_t>(dataSize)]);
    const auto n = static_cast<std::size_t>(dataSize);
    if (!ReadAll(file.fd, data.get(), n) || Hash(data.get(), n, Hash(storedKey, key.size(), kSumSeed)) != sum)
        return false;
    bytes = std::move(data);
    bytesSize = n;
    return true;
}

bool DatabaseCache::Store(const std::string& key, const char* bytes, std::size_t size, const std::string& slot) const
{
    if (kHeader + key.size() + size > kLargest) return false;
    Descriptor dir(OpenFolder(true));
    if (dir.fd < 0) return false;
    std::vector<char> head(kMagic, kMagic + sizeof kMagic);
    PutWord(head, key.size());
    PutWord(head, size);
    PutWord(head, Hash(bytes, size, Hash(key.data(), key.size(), kSumSeed)));

    // Written in full under a name of its own, then renamed over the old
    // one: a reader sees the old file or the new one, never half of one.
    const std::string name = FileName(slot.empty() ? key : slot);
    std::random_device entropy;
    std::string temporary;
    int fd = -1;
    for (int attempt = 0; attempt < 8 && fd < 0; ++attempt) {
        char suffix[48];
        std::snprintf(suffix, sizeof suffix, ".%ld.%08x", static_cast<long>(getpid()), entropy());
        temporary = "." + name + suffix;
        fd = openat(dir.fd, temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
        if (fd < 0 && errno != EEXIST) return false;
    }
    if (fd < 0) return false;
    Descriptor file(fd);
    bool ok = WriteAll(fd, head.data(), head.size()) && WriteAll(fd, key.data(), key.size()) &&
              WriteAll(fd, bytes, size);
    ok = close(file.fd) == 0 && ok;
    file.fd = -1;
    if (ok && renameat(dir.fd, temporary.c_str(), dir.fd, name.c_str()) == 0) return true;
    unlinkat(dir.fd, temporary.c_str(), 0);
    return false;
}

} // namespace zipscan
