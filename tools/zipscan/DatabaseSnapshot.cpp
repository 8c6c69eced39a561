#include "DatabaseSnapshot.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <memory>

#ifdef ZIPSCAN_CRYPTO
#include <openssl/evp.h>
#endif

namespace zipscan {

void SnapshotWriter::Word(std::uint64_t v)
{
    char bytes[8];
    for (int i = 0; i < 8; ++i) bytes[i] = static_cast<char>((v >> (8 * i)) & 0xFF);
    out.append(bytes, 8);
}

void SnapshotWriter::Raw(const void* data, std::size_t size, bool sized)
{
    if (sized) Word(size);
    if (size) out.append(static_cast<const char*>(data), size);
}

std::uint64_t SnapshotReader::Word()
{
    unsigned char bytes[8];
    if (!Raw(bytes, 8)) return 0;
    std::uint64_t v = 0;
    for (int i = 7; i >= 0; --i) v = (v << 8) | bytes[i];
    return v;
}

std::string SnapshotReader::Text()
{
    const std::uint64_t size = Word();
    if (!ok || size > static_cast<std::uint64_t>(end - at)) {
        ok = false;
        return std::string();
    }
    std::string text(at, static_cast<std::size_t>(size));
    at += size;
    return text;
}

bool SnapshotReader::Raw(void* out, std::size_t size)
{
    // An empty table's storage may be null, which memcpy must not be given.
    if (size == 0) return ok;
    if (!ok || size > static_cast<std::size_t>(end - at)) {
        ok = false;
        std::memset(out, 0, size);
        return false;
    }
    std::memcpy(out, at, size);
    at += size;
    return true;
}

std::size_t SnapshotReader::Count(std::size_t least)
{
    const std::uint64_t n = Word();
    if (!ok || (least > 0 && n > static_cast<std::uint64_t>(end - at) / least)) {
        ok = false;
        return 0;
    }
    return static_cast<std::size_t>(n);
}

bool SnapshotFileOf(const std::string& path, const std::string& bytes, SnapshotFile& out)
{
    out.path = path;
    out.size = bytes.size();
#ifdef ZIPSCAN_CRYPTO
    unsigned int length = 0;
    return EVP_Digest(bytes.data(), bytes.size(), out.digest, &length, EVP_sha256(), nullptr) == 1 && length == 32;
#else
    return false;
#endif
}

bool SnapshotFileOf(const std::string& path, SnapshotFile& out)
{
    out.path = path;
    out.size = 0;
#ifdef ZIPSCAN_CRYPTO
    // A database of megabytes is read through one small buffer rather
    // than held whole.
    const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK);
    if (fd < 0) return false;
    std::unique_ptr<EVP_MD_CTX, void (*)(EVP_MD_CTX*)> context(EVP_MD_CTX_new(), EVP_MD_CTX_free);
    bool ok = context && EVP_DigestInit_ex(context.get(), EVP_sha256(), nullptr) == 1;
    constexpr std::size_t kPiece = std::size_t(64) << 10;
    std::unique_ptr<unsigned char[]> piece(new unsigned char[kPiece]);
    while (ok) {
        const ssize_t got = read(fd, piece.get(), kPiece);
        if (got < 0 && errno == EINTR) continue;
        if (got <= 0) {
            ok = got == 0;
            break;
        }
        out.size += static_cast<std::uint64_t>(got);
        ok = EVP_DigestUpdate(context.get(), piece.get(), static_cast<std::size_t>(got)) == 1;
    }
    close(fd);
    unsigned int length = 0;
    return ok && EVP_DigestFinal_ex(context.get(), out.digest, &length) == 1 && length == 32;
#else
    return false;
#endif
}

std::string SnapshotKey(const std::vector<SnapshotFile>& files)
{
#if defined(ZIPSCAN_CRYPTO) && defined(__linux__)
    // The executable that parsed the files: a rebuild, an upgrade or
    // another copy of zipscan makes its own snapshot.
    struct stat self {};
    if (stat("/proc/self/exe", &self) != 0) return std::string();
    SnapshotWriter key;
    key.Raw("zipscan signature snapshot 1\n", 29);
    for (std::uint64_t v : {static_cast<std::uint64_t>(sizeof(void*)), static_cast<std::uint64_t>(self.st_dev),
                            static_cast<std::uint64_t>(self.st_ino), static_cast<std::uint64_t>(self.st_size),
                            static_cast<std::uint64_t>(self.st_mtim.tv_sec),
                            static_cast<std::uint64_t>(self.st_mtim.tv_nsec),
                            static_cast<std::uint64_t>(self.st_ctim.tv_sec),
                            static_cast<std::uint64_t>(self.st_ctim.tv_nsec),
                            static_cast<std::uint64_t>(files.size())})
        key.Word(v);
    for (const SnapshotFile& f : files) {
        key.Text(f.path);
        key.Word(f.size);
        key.Raw(f.digest, sizeof f.digest);
    }
    return key.Bytes();
#else
    (void)files;
    return std::string();
#endif
}

} // namespace zipscan
