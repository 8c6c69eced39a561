#pragma once
// Signature databases as they stood once loaded, kept between runs in the
// compiled-database cache: a hundred thousand signature lines then come
// back as records instead of being parsed, checked and sorted again.
// A snapshot is found by a key that names everything it follows from:
// zipscan's own executable as it lies on disk (a new build parses afresh)
// and every database file's path, size and SHA-256 (any change to a file
// loads it anew). What the cache trusts and how it checks its files is
// DatabaseCache's.
#include <cstdint>
#include <string>
#include <vector>

namespace zipscan {

// The snapshot's bytes (and the cache's keys): numbers as eight bytes,
// least significant first; texts as their size, then their bytes.
class SnapshotWriter {
public:
    void Word(std::uint64_t v);
    void Text(const std::string& text) { Raw(text.data(), text.size(), true); }
    // sized: the size goes first (a text); else the reader knows it.
    void Raw(const void* data, std::size_t size, bool sized = false);
    void Reserve(std::size_t size) { out.reserve(size); }
    const std::string& Bytes() const { return out; }

private:
    std::string out;
};

// Reads what SnapshotWriter wrote. Nothing is read past the end: a reader
// that ran out stays failed, and everything read then is zero or empty.
class SnapshotReader {
public:
    SnapshotReader(const char* data, std::size_t size) : at(data), end(data + size) {}
    std::uint64_t Word();
    std::string Text();
    // size bytes into out; false when there are not that many.
    bool Raw(void* out, std::size_t size);
    // A count of things each at least least bytes long; 0 (and failed)
    // when the rest could not hold that many.
    std::size_t Count(std::size_t least);
    void Fail() { ok = false; }
    bool Ok() const { return ok; }
    bool AtEnd() const { return ok && at == end; }

private:
    const char* at;
    const char* end;
    bool ok = true;
};

// The path of each database file, and its bytes' SHA-256.
struct SnapshotFile {
    std::string path;
    std::uint64_t size = 0;
    unsigned char digest[32] = {};
};

// What the bytes of the file at path key a snapshot by.
bool SnapshotFileOf(const std::string& path, const std::string& bytes, SnapshotFile& out);
// The same, read from the file in small pieces; false when it cannot be read
// (the load then goes on without a snapshot and says why itself).
bool SnapshotFileOf(const std::string& path, SnapshotFile& out);
// The key of a snapshot of these files, in this order; "" when this build
// or system cannot key one (no libcrypto, no executable to name).
std::string SnapshotKey(const std::vector<SnapshotFile>& files);

} // namespace zipscan
