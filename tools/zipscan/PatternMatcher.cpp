#include "PatternMatcher.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <functional>

#include "BodyPattern.h"

#ifdef ZIPSCAN_HYPERSCAN
#include <hs/hs.h>

#include "DatabaseCache.h"
#include "DatabaseSnapshot.h"
#endif

namespace zipscan {

namespace {

constexpr std::size_t kPiece = 1u << 20;

#ifdef ZIPSCAN_HYPERSCAN
int OnMatch(unsigned int id, unsigned long long, unsigned long long to, unsigned int, void* context)
{
    static_cast<PatternCounter*>(context)->Match(id, to);
    return 0;
}

// Compiling thousands of patterns takes a good part of a second, loading
// the result a few milliseconds; a few dozen compile in no time.
constexpr std::size_t kCacheFrom = 256;

// Everything the compiled database follows from: the library and the
// processor it was compiled by and for, the mode, and every pattern with
// its id, flags and bytes, or a body pattern's source (its expression
// follows from it, and is made only when the cache has no database).
std::string CacheKey(const std::vector<PatternSpec>& list, const std::vector<unsigned>& flags, unsigned mode)
{
    hs_platform_info_t platform {};
    if (hs_populate_platform(&platform) != HS_SUCCESS) return std::string();
    SnapshotWriter key;
    const std::string head = std::string("zipscan pattern database 3\nhyperscan ") + hs_version() + "\n";
    std::size_t size = head.size() + 40;
    for (const PatternSpec& p : list) size += 25 + (p.body ? p.body->Source().size() : p.bytes.size());
    key.Reserve(size);
    key.Raw(head.data(), head.size());
    for (std::uint64_t v : {static_cast<std::uint64_t>(sizeof(void*)), static_cast<std::uint64_t>(platform.tune),
                            static_cast<std::uint64_t>(platform.cpu_features), static_cast<std::uint64_t>(mode),
                            static_cast<std::uint64_t>(list.size())})
        key.Word(v);
    for (std::size_t i = 0; i < list.size(); ++i) {
        key.Word(i);
        key.Word(flags[i]);
        if (list[i].body) {
            key.Raw("b", 1);
            key.Text(list[i].body->Source());
        } else {
            key.Raw("l", 1);
            key.Raw(list[i].bytes.data(), list[i].bytes.size(), true);
        }
    }
    return key.Bytes();
}

// Plain bytes as an expression, for a set that holds body patterns too.
std::string Escaped(const std::vector<unsigned char>& bytes)
{
    static const char digits[] = "0123456789abcdef";
    std::string out;
    out.reserve(bytes.size() * 4);
    for (unsigned char b : bytes) {
        out += "\\x";
        out += digits[b >> 4];
        out += digits[b & 15];
    }
    return out;
}

hs_database_t* CompileAll(const std::vector<PatternSpec>& list, bool useCache, std::string& error,
                          const std::string& slot)
{
    const unsigned mode = HS_MODE_STREAM;
    // Plain bytes alone go to the literal compiler; with body patterns
    // every pattern becomes an expression. A body pattern is reported once
    // a content: where it starts is not needed, and Hyperscan then keeps
    // no state for it after the first match.
    const bool anyBody = std::any_of(list.begin(), list.end(), [](const PatternSpec& p) { return p.body != nullptr; });
    std::vector<unsigned> flags(list.size(), 0), ids;
    for (std::size_t i = 0; i < list.size(); ++i)
        if (list[i].body) flags[i] = HS_FLAG_DOTALL | HS_FLAG_SINGLEMATCH;
    const bool caching = useCache && list.size() >= kCacheFrom;
    DatabaseCache cache(caching ? DatabaseCache::DefaultFolder() : std::string());
    const std::string key = caching ? CacheKey(list, flags, mode) : std::string();
    hs_database_t* compiled = nullptr;
    std::unique_ptr<char[]> stored;
    std::size_t storedSize = 0;
    if (!key.empty() && cache.Load(key, stored, storedSize, slot) &&
        hs_deserialize_database(stored.get(), storedSize, &compiled) == HS_SUCCESS)
        return compiled;
    compiled = nullptr;

    std::vector<std::string> texts;
    if (anyBody) {
        texts.reserve(list.size());
        for (const PatternSpec& p : list) texts.push_back(p.body ? p.body->Expression() : Escaped(p.bytes));
    }
    std::vector<const char*> expressions;
    std::vector<std::size_t> lengths;
    for (std::size_t i = 0; i < list.size(); ++i) {
        expressions.push_back(anyBody ? texts[i].c_str() : reinterpret_cast<const char*>(list[i].bytes.data()));
        ids.push_back(static_cast<unsigned>(i));
        lengths.push_back(list[i].bytes.size());
    }
    hs_compile_error_t* failure = nullptr;
    const hs_error_t result =
        anyBody ? hs_compile_multi(expressions.data(), flags.data(), ids.data(), static_cast<unsigned>(list.size()),
                                   mode, nullptr, &compiled, &failure)
                : hs_compile_lit_multi(expressions.data(), flags.data(), ids.data(), lengths.data(),
                                       static_cast<unsigned>(list.size()), mode, nullptr, &compiled, &failure);
    if (result != HS_SUCCESS) {
        const int which = failure ? failure->expression : -1;
        error = which >= 0 && static_cast<std::size_t>(which) < list.size() && list[which].origin.file
                    ? list[which].origin.Text() + ": Hyperscan cannot take this signature: "
                    : std::string("cannot compile the signatures: ");
        error += failure && failure->message ? failure->message : "?";
        if (failure) hs_free_compile_error(failure);
        return nullptr;
    }
    char* bytes = nullptr;
    std::size_t size = 0;
    if (!key.empty() && hs_serialize_database(compiled, &bytes, &size) == HS_SUCCESS) {
        cache.Store(key, bytes, size, slot);
        std::free(bytes);
    }
    return compiled;
}
#endif

} // namespace

std::unique_ptr<PatternDatabase> PatternDatabase::Build(const std::vector<PatternSpec>& list, bool multi, bool cache,
                                                        std::string& error, const std::string& slot)
{
    std::unique_ptr<PatternDatabase> db(new PatternDatabase());
    db->patterns.reserve(list.size());
    db->bodies.reserve(list.size());
    for (std::size_t i = 0; i < list.size(); ++i) {
        db->patterns.push_back(list[i].body ? std::vector<unsigned char>() : list[i].bytes);
        db->bodies.push_back(list[i].body);
        if (list[i].body) db->bodyIds.push_back(static_cast<std::uint32_t>(i));
        db->longest = std::max(db->longest, db->patterns.back().size());
    }
#ifdef ZIPSCAN_HYPERSCAN
    if (multi && !list.empty()) {
        db->hyperscan = CompileAll(list, cache, error, slot);
        if (!db->hyperscan) return nullptr;
    }
#else
    (void)multi;
    (void)cache;
    (void)error;
    (void)slot;
#endif
    // A searcher's table is 2 KiB: thousands of them cost a good part of
    // the start, so they are made only for the search that uses them.
    if (!db->hyperscan) {
        db->searchers.reserve(db->patterns.size());
        for (const auto& p : db->patterns) db->searchers.emplace_back(p.begin(), p.end());
    }
    return db;
}

PatternDatabase::~PatternDatabase()
{
#ifdef ZIPSCAN_HYPERSCAN
    if (hyperscan) hs_free_database(static_cast<hs_database_t*>(hyperscan));
#endif
}

const char* PatternDatabase::Engine() const
{
    return hyperscan ? "hyperscan" : "simple";
}

std::string PatternDatabase::MultiEngine()
{
#ifdef ZIPSCAN_HYPERSCAN
    return std::string("hyperscan ") + hs_version();
#else
    return std::string();
#endif
}

PatternCounter::PatternCounter(const PatternDatabase& db)
    : database(db), counts(db.Count(), 0), nextStart(db.Count(), 0)
{
#ifdef ZIPSCAN_HYPERSCAN
    if (db.hyperscan) {
        auto* compiled = static_cast<hs_database_t*>(db.hyperscan);
        hs_scratch_t* s = nullptr;
        hs_stream_t* st = nullptr;
        if (hs_alloc_scratch(compiled, &s) == HS_SUCCESS && hs_open_stream(compiled, 0, &st) == HS_SUCCESS) {
            scratch = s;
            stream = st;
        } else if (s) {
            hs_free_scratch(s);
        }
    }
#endif
    if (!stream)
        for (std::uint32_t id : db.bodyIds) runners.push_back(std::make_unique<BodyRunner>(*db.bodies[id]));
}

PatternCounter::~PatternCounter()
{
#ifdef ZIPSCAN_HYPERSCAN
    if (stream) hs_close_stream(static_cast<hs_stream_t*>(stream), nullptr, nullptr, nullptr);
    if (scratch) hs_free_scratch(static_cast<hs_scratch_t*>(scratch));
#endif
}

void PatternCounter::Match(unsigned int id, unsigned long long end)
{
    if (id >= counts.size()) return;
    if (database.bodies[id]) {
        if (counts[id] == 0) Counted(id);
        return;
    }
    const std::uint64_t start = end - database.patterns[id].size();
    if (start < nextStart[id]) return;
    Counted(id);
    nextStart[id] = end;
}

void PatternCounter::Counted(std::size_t id)
{
    if (counts[id]++ == 0) found.push_back(static_cast<std::uint32_t>(id));
}

void PatternCounter::Feed(const unsigned char* data, std::size_t size)
{
    if (size == 0) return;
#ifdef ZIPSCAN_HYPERSCAN
    if (stream) {
        for (std::size_t done = 0; done < size;) {
            // The length argument is 32 bits wide.
            const std::size_t n = std::min<std::size_t>(size - done, 1u << 30);
            hs_scan_stream(static_cast<hs_stream_t*>(stream), reinterpret_cast<const char*>(data + done),
                           static_cast<unsigned>(n), 0, static_cast<hs_scratch_t*>(scratch), OnMatch, this);
            done += n;
        }
        fed += size;
        return;
    }
#endif
    FeedSimple(data, size);
}

void PatternCounter::FeedSimple(const unsigned char* data, std::size_t size)
{
    // The window holds the last bytes of the content before this piece (as
    // many as a match could reach back) and the piece itself.
    const std::size_t carried = window.size();
    const std::uint64_t windowStart = fed - carried;
    window.insert(window.end(), data, data + size);
    for (std::size_t id = 0; id < database.patterns.size(); ++id) {
        const auto& pattern = database.patterns[id];
        if (pattern.empty() || pattern.size() > window.size()) continue;
        std::uint64_t from = nextStart[id] > windowStart ? nextStart[id] - windowStart : 0;
        if (from >= window.size()) continue;
        auto it = window.begin() + static_cast<std::ptrdiff_t>(from);
        while (true) {
            // Without searchers Hyperscan had no room for this thread.
            it = database.searchers.empty() ? std::search(it, window.end(), pattern.begin(), pattern.end())
                                            : std::search(it, window.end(), database.searchers[id]);
            if (it == window.end()) break;
            Counted(id);
            it += static_cast<std::ptrdiff_t>(pattern.size());
            nextStart[id] = windowStart + static_cast<std::uint64_t>(it - window.begin());
        }
    }
    for (std::size_t r = 0; r < runners.size(); ++r) {
        const std::uint32_t id = database.bodyIds[r];
        if (counts[id] == 0 && runners[r]->Feed(data, size)) Counted(id);
    }
    fed += size;
    const std::size_t keep = std::min(window.size(), database.longest > 0 ? database.longest - 1 : 0);
    window.erase(window.begin(), window.end() - static_cast<std::ptrdiff_t>(keep));
}

std::vector<std::pair<std::uint32_t, std::uint32_t>> PatternCounter::Finish()
{
#ifdef ZIPSCAN_HYPERSCAN
    if (stream)
        hs_reset_stream(static_cast<hs_stream_t*>(stream), 0, static_cast<hs_scratch_t*>(scratch), OnMatch, this);
#endif
    std::sort(found.begin(), found.end());
    std::vector<std::pair<std::uint32_t, std::uint32_t>> out;
    out.reserve(found.size());
    for (std::uint32_t id : found) {
        out.emplace_back(id, counts[id]);
        counts[id] = 0;
        nextStart[id] = 0;  // set only with a count
    }
    found.clear();
    window.clear();
    if (fed > 0)
        for (auto& runner : runners) runner->Reset();
    fed = 0;
    return out;
}

long long RemovePattern(const std::vector<unsigned char>& pattern,
                        const std::function<long long(unsigned char*, std::size_t)>& read,
                        const std::function<bool(const unsigned char*, std::size_t)>& write)
{
    std::boyer_moore_horspool_searcher searcher(pattern.begin(), pattern.end());
    std::vector<unsigned char> window;
    std::vector<unsigned char> piece(kPiece);
    long long removed = 0;
    bool end = false;
    while (!end) {
        long long got = read(piece.data(), piece.size());
        if (got < 0) return -1;
        end = got == 0;
        window.insert(window.end(), piece.begin(), piece.begin() + got);
        // Bytes that could still begin a match stay behind until the next
        // piece shows how it goes on.
        std::size_t from = 0;
        while (true) {
            auto hit = std::search(window.begin() + static_cast<std::ptrdiff_t>(from), window.end(), searcher);
            if (hit == window.end()) break;
            const auto at = static_cast<std::size_t>(hit - window.begin());
            if (!write(window.data() + from, at - from)) return -1;
            removed += static_cast<long long>(pattern.size());
            from = at + pattern.size();
        }
        std::size_t hold = end ? 0 : std::min(window.size() - from, pattern.size() - 1);
        std::size_t upTo = window.size() - hold;
        if (!write(window.data() + from, upTo - from)) return -1;
        window.erase(window.begin(), window.begin() + static_cast<std::ptrdiff_t>(upTo));
    }
    return removed;
}

} // namespace zipscan
