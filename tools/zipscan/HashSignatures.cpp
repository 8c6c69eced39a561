#include "HashSignatures.h"

#include <algorithm>
#include <cstring>
#include <type_traits>

#include "DatabaseSnapshot.h"

#ifdef ZIPSCAN_CRYPTO
#include <openssl/evp.h>
#endif

namespace zipscan {

namespace {

std::uint64_t Leading(const std::array<unsigned char, 32>& a)
{
    std::uint64_t v = 0;
    for (int i = 0; i < 8; ++i) v = (v << 8) | a[static_cast<std::size_t>(i)];
    return v;
}

template <typename R>
bool Before(const R& a, const R& b)
{
    if (a.lead != b.lead) return a.lead < b.lead;
    return std::memcmp(a.digest.data(), b.digest.data(), a.digest.size()) < 0;
}

} // namespace

bool HashSignatures::Available()
{
#ifdef ZIPSCAN_CRYPTO
    return true;
#else
    return false;
#endif
}

void HashSignatures::Add(Kind kind, const unsigned char* digest, std::uint64_t size, const char* name,
                         std::size_t nameSize)
{
    Record r;
    std::memcpy(r.digest.data(), digest, DigestSize(kind));
    r.lead = Leading(r.digest);
    r.size = size;
    // Many signatures of a database share a name with the one before.
    if (last.size() != nameSize || last.compare(0, nameSize, name, nameSize) != 0 || names.empty()) {
        lastAt = static_cast<std::uint32_t>(names.size());
        names.append(name, nameSize);
        names.push_back('\0');
        last.assign(name, nameSize);
    }
    r.name = lastAt;
    tables[kind].push_back(r);
    ++count;
}

void HashSignatures::Prepare()
{
    const auto before = [](const Record& a, const Record& b) { return Before(a, b); };
    // Tables restored from a snapshot come sorted.
    for (auto& table : tables)
        if (!std::is_sorted(table.begin(), table.end(), before)) std::sort(table.begin(), table.end(), before);
}

void HashSignatures::Save(SnapshotWriter& out) const
{
    static_assert(sizeof(Record) == 56 && std::is_trivially_copyable<Record>::value, "a record without padding");
    out.Text(names);
    for (const auto& table : tables) out.Raw(table.data(), table.size() * sizeof(Record), true);
}

bool HashSignatures::Restore(SnapshotReader& in)
{
    names = in.Text();
    count = 0;
    for (auto& table : tables) {
        const std::size_t size = in.Count(1);
        table.resize(size / sizeof(Record));
        if (size % sizeof(Record) != 0 || !in.Raw(table.data(), size)) in.Fail();
        // Every name starts inside the names, where one ended.
        for (const Record& r : table)
            if (r.name >= names.size() || (r.name > 0 && names[r.name - 1] != '\0')) in.Fail();
        count += table.size();
    }
    if (!in.Ok() || (!names.empty() && names.back() != '\0')) {
        *this = HashSignatures();
        return false;
    }
    return true;
}

HashSignatures::Digests::Digests(const HashSignatures& s) : set(s) {}

HashSignatures::Digests::~Digests()
{
#ifdef ZIPSCAN_CRYPTO
    for (void* c : context)
        if (c) EVP_MD_CTX_free(static_cast<EVP_MD_CTX*>(c));
#endif
}

void HashSignatures::Digests::Begin()
{
#ifdef ZIPSCAN_CRYPTO
    for (int k = 0; k < kKinds; ++k) {
        if (set.tables[k].empty()) continue;
        if (!context[k]) context[k] = EVP_MD_CTX_new();
        const EVP_MD* md = k == Md5 ? EVP_md5() : k == Sha1 ? EVP_sha1() : EVP_sha256();
        if (context[k] && EVP_DigestInit_ex(static_cast<EVP_MD_CTX*>(context[k]), md, nullptr) != 1) {
            EVP_MD_CTX_free(static_cast<EVP_MD_CTX*>(context[k]));
            context[k] = nullptr;
        }
    }
#endif
    started = true;
}

void HashSignatures::Digests::Update(const unsigned char* data, std::size_t size)
{
    if (!started) Begin();
#ifdef ZIPSCAN_CRYPTO
    for (void* c : context)
        if (c) EVP_DigestUpdate(static_cast<EVP_MD_CTX*>(c), data, size);
#else
    (void)data;
    (void)size;
#endif
}

void HashSignatures::Digests::Finish(std::uint64_t size, std::vector<std::string>& found)
{
    if (!started) Begin();
    started = false;
#ifdef ZIPSCAN_CRYPTO
    for (int k = 0; k < kKinds; ++k) {
        if (!context[k]) continue;
        Record key;
        unsigned int length = 0;
        if (EVP_DigestFinal_ex(static_cast<EVP_MD_CTX*>(context[k]), key.digest.data(), &length) != 1) continue;
        key.lead = Leading(key.digest);
        const auto& table = set.tables[k];
        auto range = std::equal_range(table.begin(), table.end(), key,
                                      [](const Record& a, const Record& b) { return Before(a, b); });
        for (auto it = range.first; it != range.second; ++it) {
            if (it->size != kAnySize && it->size != size) continue;
            const std::string name(set.names.c_str() + it->name);
            if (std::find(found.begin(), found.end(), name) == found.end()) found.push_back(name);
        }
    }
#else
    (void)size;
    (void)found;
#endif
}

} // namespace zipscan
