#pragma once
// Counts the non-overlapping matches of many byte patterns in content that
// arrives in pieces: a match that straddles two pieces counts like any
// other. With Hyperscan all patterns are searched in one streaming pass;
// without it (other processors, other systems) each pattern is searched on
// its own with a carry-over between pieces. Both count alike: leftmost
// first, the next match of a pattern after the end of the last one.
// Body patterns (wildcards, gaps, alternatives) go into the same pass; such
// a pattern counts one match however often it is met.
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <utility>
#include <vector>

namespace zipscan {

class BodyPattern;
class BodyRunner;

// Where a database's signature was read, for errors: the file's name is
// shared by all its signatures and put together with the line only when
// needed.
struct Origin {
    std::shared_ptr<const std::string> file;
    std::size_t line = 0;
    std::string Text() const { return file ? *file + ":" + std::to_string(line) : std::string(); }
};

// One pattern: plain bytes, or a body pattern when body is set.
struct PatternSpec {
    std::vector<unsigned char> bytes;
    std::shared_ptr<const BodyPattern> body;
    Origin origin;
};

class PatternDatabase {
public:
    // multi: use the multi-pattern matcher where this build has one.
    // cache: a big set's compiled matcher may be loaded from and kept in
    // the database cache (see DatabaseCache.h).
    // slot: the cache file it is kept in, when not one per set (see
    // DatabaseCache::Load).
    static std::unique_ptr<PatternDatabase> Build(const std::vector<PatternSpec>& patterns, bool multi, bool cache,
                                                  std::string& error, const std::string& slot = std::string());
    ~PatternDatabase();
    PatternDatabase(const PatternDatabase&) = delete;
    PatternDatabase& operator=(const PatternDatabase&) = delete;

    std::size_t Count() const { return patterns.size(); }
    const char* Engine() const;
    // The multi-pattern matcher of this build and its version; empty when
    // it has none.
    static std::string MultiEngine();

private:
    friend class PatternCounter;
    PatternDatabase() = default;
    using Searcher = std::boyer_moore_horspool_searcher<std::vector<unsigned char>::const_iterator>;
    std::vector<std::vector<unsigned char>> patterns;  // empty for a body pattern
    std::vector<std::shared_ptr<const BodyPattern>> bodies;  // by id, null for plain bytes
    std::vector<std::uint32_t> bodyIds;  // the ids of the body patterns
    std::vector<Searcher> searchers;  // one a pattern, only for the search without Hyperscan
    std::size_t longest = 0;
    void* hyperscan = nullptr;  // hs_database_t, when built with one
};

// One thread's search: feed a content piece by piece, then Finish.
class PatternCounter {
public:
    explicit PatternCounter(const PatternDatabase& database);
    ~PatternCounter();
    PatternCounter(const PatternCounter&) = delete;
    PatternCounter& operator=(const PatternCounter&) = delete;

    void Feed(const unsigned char* data, std::size_t size);
    // The patterns with matches in the content fed since the last Finish,
    // by id, each with its number of matches. Only these are touched, so a
    // small entry costs little however many patterns there are.
    std::vector<std::pair<std::uint32_t, std::uint32_t>> Finish();

    // Where each match is counted; used by the Hyperscan callback.
    void Match(unsigned int id, unsigned long long end);

private:
    void FeedSimple(const unsigned char* data, std::size_t size);

    const PatternDatabase& database;
    void Counted(std::size_t id);

    std::vector<std::uint32_t> counts;
    std::vector<std::uint32_t> found;      // the ids counted since the last Finish
    std::vector<std::uint64_t> nextStart;  // a match may start here or later
    std::uint64_t fed = 0;                 // bytes of the content so far
    std::vector<unsigned char> window;     // the carried tail, then the new piece
    std::vector<std::unique_ptr<BodyRunner>> runners;  // by body, without Hyperscan
    void* scratch = nullptr;               // hs_scratch_t
    void* stream = nullptr;                // hs_stream_t
};

// Copies a content to out leaving out the non-overlapping matches of one
// pattern, leftmost first. read and write move pieces; read answers 0 at the
// end and -1 on a failure, write answers false on a failure. The number of
// bytes left out, or -1 on a failure.
long long RemovePattern(const std::vector<unsigned char>& pattern,
                        const std::function<long long(unsigned char*, std::size_t)>& read,
                        const std::function<bool(const unsigned char*, std::size_t)>& write);

} // namespace zipscan
