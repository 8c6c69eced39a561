#pragma once
// A ClamAV body signature's hex pattern (the fourth field of a .ndb line):
// bytes in hex, "??" for any byte, "a?" and "?a" for half a byte, "*" for
// any run of bytes, "{n}", "{n-}", "{-n}", "{n-m}" and "[n-m]" for runs of
// n to m bytes, "(aa|bbcc)" for alternatives and "!(aa|bb)" for any one
// byte but those. It is held as a sequence of byte classes and gaps, from
// which come the Hyperscan expression and, for the search without
// Hyperscan, a small program run as a set of threads over the bytes (one
// step a byte for each live thread, so linear in the content).
#include <bitset>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace zipscan {

class BodyPattern {
public:
    enum class Parsed { Ok, Malformed, Unsupported };
    // error: a one-line reason when not Ok.
    static Parsed Parse(const std::string& hex, std::shared_ptr<const BodyPattern>& out, std::string& error);
    // A pattern whose text was parsed before (a snapshot of loaded
    // databases): it is parsed again only when first used, which a search
    // with Hyperscan from the cache never does.
    static std::shared_ptr<const BodyPattern> Deferred(std::string hex);

    // The pattern as plain bytes, when it has no wildcard: such a signature
    // is searched (and counted) as any literal one.
    bool Literal(std::vector<unsigned char>& bytes) const;
    // A Hyperscan expression, to be compiled with the dot matching any byte.
    std::string Expression() const;
    // The hex text it was read from: the expression and the program follow
    // from it alone.
    const std::string& Source() const { return source; }

    // The program of the search without Hyperscan, made by each search that
    // needs it (a search with Hyperscan never does).
    struct Step {
        enum Op : std::uint8_t { Byte, Split, Jump, Match } op;
        std::uint32_t a = 0, b = 0;  // Byte: the class; Split: both ways; Jump: where
    };
    void Program(std::vector<Step>& code) const;
    bool Accepts(std::uint32_t cls, unsigned char byte) const
    {
        return cls == kAny || (cls <= 256 ? byte == cls - 1 : classes[cls - kSets].test(byte));
    }

private:
    struct Item {
        enum Kind { Class, Gap, Choice } kind = Class;
        std::uint32_t cls = 0;                       // Class
        std::uint32_t min = 0, max = 0;              // Gap; max kUnbounded for no end
        std::uint32_t choice = 0;                    // Choice: its place in choices
    };
    static constexpr std::uint32_t kUnbounded = 0xFFFFFFFFu;
    // Class numbers: any byte, one byte b as b + 1 (most of a pattern), and
    // the other sets from kSets on.
    static constexpr std::uint32_t kAny = 0;
    static constexpr std::uint32_t kSets = 257;

    std::uint32_t AddClass(const std::bitset<256>& set);
    std::bitset<256> Set(std::uint32_t cls) const;
    std::string ClassExpression(std::uint32_t cls) const;
    std::size_t ProgramSize() const;
    // Parses a deferred pattern, once; a text that no longer parses leaves
    // a class of no byte, which never matches and which Hyperscan refuses
    // (so the run stops rather than searching for less).
    void Shape() const;

    std::string source;
    bool deferred = false;
    mutable std::once_flag shaped;
    // What the text says; filled by Parse, or by Shape when deferred.
    mutable std::vector<std::bitset<256>> classes;  // the sets from kSets on
    mutable std::vector<Item> items;
    mutable std::vector<std::vector<std::vector<std::uint32_t>>> choices;  // alternatives, classes each
};

// Runs a body pattern's program over content that arrives in pieces; the
// live threads carry over from one piece to the next.
class BodyRunner {
public:
    explicit BodyRunner(const BodyPattern& pattern);
    // True once the pattern has matched (it then stays so until Reset).
    bool Feed(const unsigned char* data, std::size_t size);
    void Reset();

private:
    void Add(std::vector<std::uint32_t>& list, std::uint32_t pc);
    const BodyPattern& pattern;
    std::vector<BodyPattern::Step> code;
    std::vector<std::uint32_t> live, next, stack;
    std::vector<std::uint32_t> mark;  // the generation a step was last added in
    std::uint32_t generation = 0;
    bool matched = false;
};

} // namespace zipscan
