#include "HashSignatures.h"

#include <algorithm>
#include <cstring>

#ifdef ZIPSCAN_CRYPTO
#include <openssl/evp.h>
#endif

namespace zipscan {

namespace {

bool Before(const std::array<unsigned char, 32>& a, const std::array<unsigned char, 32>& b)
{
    return std::memcmp(a.data(), b.data(), a.size()) < 0;
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

void HashSignatures::Add(Kind kind, const std::vector<unsigned char>& digest, std::uint64_t size,
                         const std::string& name)
{
    Record r;
    std::memcpy(r.digest.data(), digest.data(), std::min(digest.size(), r.digest.size()));
    r.size = size;
    // Many signatures of a database share a name with the one before.
    if (names.empty() || names.back() != name) names.push_back(name);
    r.name = static_cast<std::uint32_t>(names.size() - 1);
    tables[kind].push_back(r);
    ++count;
}

void HashSignatures::Prepare()
{
    for (auto& table : tables)
        std::sort(table.begin(), table.end(), [](const Record& a, const Record& b) { return Before(a.digest, b.digest); });
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
        const auto& table = set.tables[k];
        auto range = std::equal_range(table.begin(), table.end(), key,
                                      [](const Record& a, const Record& b) { return Before(a.digest, b.digest); });
        for (auto it = range.first; it != range.second; ++it) {
            if (it->size != kAnySize && it->size != size) continue;
            const std::string& name = set.names[it->name];
            if (std::find(found.begin(), found.end(), name) == found.end()) found.push_back(name);
        }
    }
#else
    (void)size;
    (void)found;
#endif
}

} // namespace zipscan
