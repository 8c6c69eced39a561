#pragma once
// The host's small signature engine: byte patterns searched in every
// extracted entry, each with what to do when it matches.
#include <algorithm>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "HashSignatures.h"
#include "PatternMatcher.h"
#include "ScanTypes.h"
#include "YaraRules.h"
#include "plugin/ZipHost.h"

namespace zipscan {

struct Signature {
    std::string name;
    std::vector<unsigned char> pattern;  // empty for a body pattern
    Action action = Action::Delete;
    std::shared_ptr<const BodyPattern> body;  // wildcards, gaps or alternatives
    bool executableOnly = false;  // matches only in content that starts as a PE file ("MZ")
    Origin origin;                // a database's signature: its file and line
};

class SignatureSet {
public:
    // The standard anti-virus test file, reported as "EICAR-Test-File".
    void AddBuiltin();
    // "[ACTION:]TEXT" or, with hex, "[ACTION:]HEX". Without a prefix the
    // action is delete. False with a one-line reason on a malformed argument.
    bool AddOption(const std::string& argument, bool hex, std::string& error);
    // One signature a line: NAME ACTION text|hex PATTERN; '#' starts a comment.
    bool LoadFile(const std::string& path, std::string& error);
    // A signature read from a database (see ClamDatabase.h).
    void AddDatabaseSignature(Signature signature) { signatures.push_back(std::move(signature)); }
    // Room for more to come (a snapshot of databases read back), and back
    // to the first count when it does not hold up.
    void ReserveSignatures(std::size_t total) { signatures.reserve(total); }
    void DropSignaturesFrom(std::size_t count) { signatures.resize(std::min(count, signatures.size())); }
    // Names the cache file the compiled search of databases loaded from
    // these paths is kept in (one, whatever their contents; see
    // DatabaseCache::Load).
    void SetCacheSlot(std::string slot) { cacheSlot = std::move(slot); }
    HashSignatures& Hashes() { return hashes; }
    YaraRules& Yara() { return yara; }

    // Builds the matcher once every signature is in; multi: use the
    // multi-pattern matcher where this build has one, cache: and keep it
    // between runs when the set is big. Scanning without it searches each
    // signature on its own.
    bool Prepare(bool multi, bool cache, std::string& error);
    const char* Engine() const { return database ? database->Engine() : "simple"; }

    // A search of one thread, entry after entry. The content is read from
    // its stream in pieces, from the start; false when a read fails.
    class Search {
    public:
        explicit Search(const SignatureSet& set);
        // facts: what was read through (size, CRC-32, where a local header
        // first appears), when not null.
        bool Scan(VFStream& content, std::vector<Finding>& findings, ContentFacts* facts = nullptr);
        // Removes every match of every cure signature, again and again until
        // none is left (a removal can join the pieces of a new match), and
        // puts the result back into content. False when a read or write fails.
        bool Cure(VFStream& content);

    private:
        // whole: what else the pass learns of the whole content (the hashes,
        // the YARA rules' findings), when not null.
        bool Count(VFStream& content, std::vector<std::pair<std::uint32_t, std::uint32_t>>& found,
                   ContentFacts* facts = nullptr, std::vector<Finding>* whole = nullptr);
        bool Count(VFStream& content, std::vector<std::uint32_t>& counts);
        const SignatureSet& set;
        std::unique_ptr<PatternDatabase> own;  // when the set was not prepared
        PatternCounter counter;
        std::unique_ptr<HashSignatures::Digests> digests;  // when the set has hash signatures
        std::unique_ptr<YaraRules::Scanner> yaraScanner;   // when it has YARA rules
    };

    const std::vector<Signature>& All() const { return signatures; }
    bool Empty() const { return signatures.empty() && hashes.Empty() && yara.Empty(); }

    // The test file's 68 bytes, assembled at run time so that no source or
    // binary of ours carries them in the clear.
    static std::vector<unsigned char> TestFile();

private:
    bool Add(Signature signature, std::string& error);
    const PatternDatabase& Database(std::unique_ptr<PatternDatabase>& own) const;
    std::vector<PatternSpec> Specs() const;
    std::vector<Signature> signatures;
    std::unique_ptr<PatternDatabase> database;
    HashSignatures hashes;
    YaraRules yara;
    std::string cacheSlot;
};

// Parses "report", "delete" or "cure".
bool ParseAction(const std::string& text, Action& action);
// Parses hex digits (spaces allowed between bytes); false on anything else.
bool ParseHex(const std::string& text, std::vector<unsigned char>& out);

} // namespace zipscan
