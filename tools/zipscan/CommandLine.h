#pragma once
// The command line of zipscan: a command, options anywhere, files.
#include <cstdint>
#include <string>
#include <vector>

#include "FileAction.h"
#include "Limits.h"

namespace zipscan {

struct SignatureArgument {
    enum Kind { Text, Hex, File } kind = Text;
    std::string value;
};

struct PasswordArgument {
    enum From { Value, File, Environment, Input } from = Value;
    std::string value; // the password, the file's path or the variable's name
};

struct Options {
    std::string command;                  // check, scan or selftest
    std::vector<std::string> files;
    bool clean = false;
    bool json = false;
    bool stopAfterFirst = false;
    bool noBuiltin = false;
    bool followLinks = false;
    bool recursive = false;
    bool help = false;
    bool version = false;
    std::vector<PasswordArgument> passwords;     // in the order given
    std::vector<SignatureArgument> signatures;   // in the order given
    std::uint64_t offset = 0;
    bool offsetGiven = false;
    std::string module;
    std::string dir;
    unsigned jobs = 1;
    Limits limits;
    std::size_t maxDirDepth = 15;         // folders below a directory given to -r
    std::uint64_t maxCleanSize = 1ull << 30; // bytes a working copy may take on disk; 0: no bound
    bool simpleSearch = false;            // search each signature on its own
    bool noCache = false;                 // compile a big signature set afresh

    // clamscan's daily options, under clamscan's names and meanings.
    bool infectedOnly = false;            // -i: a file with nothing to tell gets no line
    bool noSummary = false;               // no summary block (text) or object (JSON)
    bool quiet = false;                   // nothing on standard output: errors only
    std::string logFile;                  // -l: the report is appended here as well
    std::vector<std::string> fileLists;   // -f: files to scan, one a line
    std::vector<std::string> exclude, include, excludeDir, includeDir; // POSIX extended regexes
    FileAction action = FileAction::None; // what becomes of a file with a finding
    std::string actionDir;                // where --move and --copy put it
    bool alertEncrypted = false;          // an entry no password opens is a finding
};

// False with a one-line reason when the command line does not make sense.
// The value of every --password is overwritten in argv once read, so that
// other users no longer see it in the process's command line.
bool ParseCommandLine(int argc, char** argv, Options& options, std::string& error);

extern const char* const kUsage;
extern const char* const kVersion;

} // namespace zipscan
