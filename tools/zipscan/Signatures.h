#pragma once
// The host's small signature engine: byte patterns searched in every
// extracted entry, each with what to do when it matches.
#include <cstdint>
#include <string>
#include <vector>

#include "ScanTypes.h"

namespace zipscan {

struct Signature {
    std::string name;
    std::vector<unsigned char> pattern;
    Action action = Action::Delete;
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

    std::vector<Finding> Scan(const std::vector<unsigned char>& data) const;
    // Removes every match of every cure signature, again and again until
    // none is left (a removal can join the pieces of a new match).
    // Returns the number of bytes removed.
    std::size_t Cure(std::vector<unsigned char>& data) const;

    const std::vector<Signature>& All() const { return signatures; }
    bool Empty() const { return signatures.empty(); }

    // The test file's 68 bytes, assembled at run time so that no source or
    // binary of ours carries them in the clear.
    static std::vector<unsigned char> TestFile();

private:
    bool Add(Signature signature, std::string& error);
    std::vector<Signature> signatures;
};

// Parses "report", "delete" or "cure".
bool ParseAction(const std::string& text, Action& action);
// Parses hex digits (spaces allowed between bytes); false on anything else.
bool ParseHex(const std::string& text, std::vector<unsigned char>& out);

} // namespace zipscan
