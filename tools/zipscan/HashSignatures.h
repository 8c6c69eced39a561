#pragma once
// ClamAV's hash signatures: an entry matches when the MD5, SHA-1 or SHA-256
// of its whole content, and its size where the signature gives one, equal
// the signature's. The hashes are taken (with libcrypto) while the content
// is read for the byte search, and only those some signature uses.
#include <array>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace zipscan {

class SnapshotReader;
class SnapshotWriter;

class HashSignatures {
public:
    enum Kind { Md5, Sha1, Sha256, kKinds };
    static constexpr std::uint64_t kAnySize = ~std::uint64_t(0);
    // False in a build without libcrypto: no hash can be taken.
    static bool Available();
    static std::size_t DigestSize(Kind kind) { return kind == Md5 ? 16 : kind == Sha1 ? 20 : 32; }

    // digest: DigestSize(kind) bytes.
    void Add(Kind kind, const unsigned char* digest, std::uint64_t size, const char* name, std::size_t nameSize);
    void Reserve(Kind kind, std::size_t more) { tables[kind].reserve(tables[kind].size() + more); }
    // Sorts the tables for the look-ups, after the last Add.
    void Prepare();
    // The tables and names as they stand, and back (into an empty set);
    // false, with the set left empty, when the bytes do not hold them.
    void Save(SnapshotWriter& out) const;
    bool Restore(SnapshotReader& in);
    bool Empty() const { return count == 0; }
    std::size_t Count() const { return count; }

    // One thread's hashes of one entry at a time.
    class Digests {
    public:
        explicit Digests(const HashSignatures& set);
        ~Digests();
        Digests(const Digests&) = delete;
        Digests& operator=(const Digests&) = delete;
        void Update(const unsigned char* data, std::size_t size);
        // The names of the signatures the content fed since the last Finish
        // matches, each once; and starts afresh.
        void Finish(std::uint64_t size, std::vector<std::string>& names);

    private:
        void Begin();
        const HashSignatures& set;
        void* context[kKinds] = {};  // EVP_MD_CTX, for the kinds in use
        bool started = false;
    };

private:
    struct Record {
        std::uint64_t lead = 0;  // the digest's first eight bytes as a number: they nearly always decide
        std::array<unsigned char, 32> digest {};
        std::uint64_t size = 0;
        std::uint32_t name = 0;  // where the name starts in names
        std::uint32_t spare = 0;  // no padding: a table is saved as it lies in memory
    };
    std::vector<Record> tables[kKinds];
    // Every name, each ended by a zero byte: a hundred thousand names in one
    // allocation rather than one each.
    std::string names;
    std::string last;          // the name added last, and where it starts
    std::uint32_t lastAt = 0;
    std::size_t count = 0;
};

} // namespace zipscan
