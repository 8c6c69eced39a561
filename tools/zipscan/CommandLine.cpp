#include "CommandLine.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>

namespace zipscan {

const char* const kVersion = "zipscan 1.0.0";

const char* const kUsage =
    "usage: zipscan COMMAND [OPTIONS] FILE...\n"
    "\n"
    "Scans ZIP archives through the zipext module, the way an anti-virus engine\n"
    "drives it.\n"
    "\n"
    "commands:\n"
    "  check FILE...          tell whether each file is a ZIP archive the module handles\n"
    "  scan [--clean] FILE... search every entry for signatures; with --clean, delete or\n"
    "                         cure what is found and rewrite the archive\n"
    "  selftest ARCHIVE       run the module's self-test, which extracts every entry\n"
    "                         below Test/ in the current directory (or in --dir DIR)\n"
    "\n"
    "options:\n"
    "  --clean                carry out delete and cure actions (scan)\n"
    "  --password P           a password to offer for encrypted entries; repeatable,\n"
    "                         tried in the order given. Other local users can read it\n"
    "                         in the process list until zipscan has started and\n"
    "                         blanked it; prefer the three ways below\n"
    "  --password-file F      passwords, one a line, tried in order\n"
    "  --password-env VAR     the password held in the environment variable VAR\n"
    "                         (e.g. ZIPSCAN_PASSWORD)\n"
    "  --password-stdin       passwords, one a line, read from standard input\n"
    "  --signature [A:]TEXT   add a text pattern; A is report, delete (default) or cure\n"
    "                         (another word before a colon is refused as a mistyped action)\n"
    "  --signature-hex [A:]HEX add a byte pattern written in hex\n"
    "  --signatures F         add the signatures of a file, one a line:\n"
    "                         NAME ACTION text|hex PATTERN ('#' starts a comment)\n"
    "  -d, --database F|DIR   read a signature database, or every one in a folder;\n"
    "                         repeatable: ClamAV's .hdb, .hsb (hashes), .ndb (body\n"
    "                         signatures), .cvd/.cld (containers of them) and YARA\n"
    "                         .yar/.yara rules; other types are counted in a warning\n"
    "  --no-builtin           leave out the built-in anti-virus test file signature\n"
    "  --offset N             the archive starts N bytes into each file (found from\n"
    "                         the archive's end record when not given)\n"
    "  --follow-links         follow a symbolic link given as a file (and, with -r,\n"
    "                         links met in directories); refused otherwise\n"
    "  -r, --recursive        scan the ZIP archives in the directories given, one\n"
    "                         line a file, then a summary; other files are skipped\n"
    "  --max-dir-recursion N  with -r, walk folders at most N levels below a directory\n"
    "                         given (15); a deeper one is reported as an error\n"
    "  --max-cleansize SIZE   refuse to clean a file whose working copy would take more\n"
    "                         than SIZE bytes on disk (1G; 0 for no bound)\n"
    "  --module PATH          the module to load (default: libzipext.so beside zipscan)\n"
    "  --dir DIR              where selftest runs (created when missing)\n"
    "  --json                 one JSON document a file, one a line\n"
    "  -j N, --jobs N         scan N files in parallel (one thread a file)\n"
    "  --stop-after-first     ask the module to stop after the first finding\n"
    "  --max-filesize SIZE    scan at most SIZE bytes of an entry (default 25M)\n"
    "  --max-scansize SIZE    scan at most SIZE bytes of one file's entries (100M)\n"
    "  --max-files N          scan at most N entries of one file (10000)\n"
    "  --max-recursion N      archives nested at most N deep (16)\n"
    "  --max-scantime SEC     spend at most SEC seconds on one file (120)\n"
    "                         (SIZE takes K, M or G; 0 turns a limit off; a file that\n"
    "                         reaches one is reported Heuristics.Limits.Exceeded.NAME)\n"
    "  --no-limit-report      a file that reaches a limit is not reported for it\n"
    "  --simple-search        search each signature on its own (no Hyperscan)\n"
    "  --no-cache             compile a set of 256 or more signatures afresh rather\n"
    "                         than load it from ZIPSCAN_CACHE_DIR, $XDG_CACHE_HOME/zipscan\n"
    "                         or ~/.cache/zipscan (nor keep it there)\n"
    "  --help, --version\n"
    "\n"
    "exit status of scan, the same on every path:\n"
    "  1  something was found (a signature, or a limit reported as a finding); a\n"
    "     finding beats an error and content that was not fully scanned\n"
    "  2  otherwise, when any content was not fully scanned (raw bytes of a method\n"
    "     not decoded, encrypted without a password, damaged after N bytes, CRC\n"
    "     mismatch, cut by a limit, listed but never handed over, the archive's end\n"
    "     missing) or a file could not be read; each reason is named\n"
    "  0  only when every byte of content was scanned as decoded content whose size\n"
    "     and CRC-32 match its record\n"
    "check: 0 a ZIP archive, 1 not one, 2 an error.\n";

namespace {

bool ParseNumber(const std::string& text, std::uint64_t& out)
{
    if (text.empty() || text[0] == '-' || text[0] == '+') return false;
    errno = 0;
    char* end = nullptr;
    unsigned long long v = std::strtoull(text.c_str(), &end, 0);
    if (errno != 0 || !end || *end != '\0') return false;
    out = v;
    return true;
}

// A byte count with an optional K, M or G (binary) suffix.
bool ParseSize(const std::string& text, std::uint64_t& out)
{
    std::string digits = text;
    unsigned shift = 0;
    if (!digits.empty()) {
        char last = digits.back();
        if (last == 'K' || last == 'k') shift = 10;
        else if (last == 'M' || last == 'm') shift = 20;
        else if (last == 'G' || last == 'g') shift = 30;
        if (shift) digits.pop_back();
    }
    std::uint64_t v = 0;
    if (!ParseNumber(digits, v) || v > (~std::uint64_t(0) >> shift)) return false;
    out = v << shift;
    return true;
}

} // namespace

bool ParseCommandLine(int argc, char** argv, Options& o, std::string& error)
{
    bool optionsEnded = false;
    bool passwordInput = false;
    for (int i = 1; i < argc; ++i) {
        std::string arg = argv[i];
        if (optionsEnded || arg.empty() || arg[0] != '-' || arg == "-") {
            if (o.command.empty())
                o.command = arg;
            else
                o.files.push_back(arg);
            continue;
        }
        if (arg == "--") {
            optionsEnded = true;
            continue;
        }
        // Options with a value take it from "--name=value", "-jN" or the next argument.
        std::string name = arg, value;
        bool hasValue = false;
        std::size_t eq = arg.find('=');
        if (arg.rfind("--", 0) == 0 && eq != std::string::npos) {
            name = arg.substr(0, eq);
            value = arg.substr(eq + 1);
            hasValue = true;
        } else if (arg.rfind("-j", 0) == 0 && arg.size() > 2) {
            name = "-j";
            value = arg.substr(2);
            hasValue = true;
        }
        auto takeValue = [&]() {
            if (hasValue) return true;
            if (i + 1 >= argc) {
                error = "option " + name + " needs a value";
                return false;
            }
            value = argv[++i];
            return true;
        };
        auto noValue = [&]() {
            if (!hasValue) return true;
            error = "option " + name + " takes no value";
            return false;
        };

        if (name == "--help" || name == "-h") {
            if (!noValue()) return false;
            o.help = true;
        } else if (name == "--version") {
            if (!noValue()) return false;
            o.version = true;
        } else if (name == "--clean") {
            if (!noValue()) return false;
            o.clean = true;
        } else if (name == "--json") {
            if (!noValue()) return false;
            o.json = true;
        } else if (name == "--stop-after-first") {
            if (!noValue()) return false;
            o.stopAfterFirst = true;
        } else if (name == "--follow-links") {
            if (!noValue()) return false;
            o.followLinks = true;
        } else if (name == "-r" || name == "--recursive") {
            if (!noValue()) return false;
            o.recursive = true;
        } else if (name == "--no-builtin") {
            if (!noValue()) return false;
            o.noBuiltin = true;
        } else if (name == "--no-limit-report") {
            if (!noValue()) return false;
            o.limits.report = false;
        } else if (name == "--simple-search") {
            if (!noValue()) return false;
            o.simpleSearch = true;
        } else if (name == "--no-cache") {
            if (!noValue()) return false;
            o.noCache = true;
        } else if (name == "--max-filesize" || name == "--max-scansize") {
            if (!takeValue()) return false;
            if (!ParseSize(value, name == "--max-filesize" ? o.limits.maxFileSize : o.limits.maxScanSize)) {
                error = name + " needs a byte count (K, M or G may follow), not '" + value + "'";
                return false;
            }
        } else if (name == "--max-files" || name == "--max-recursion" || name == "--max-scantime") {
            if (!takeValue()) return false;
            std::uint64_t n = 0;
            if (!ParseNumber(value, n) || n > 0xFFFFFFFFull) {
                error = name + " needs a number, not '" + value + "'";
                return false;
            }
            if (name == "--max-files") o.limits.maxFiles = n;
            else if (name == "--max-recursion") o.limits.maxRecursion = n;
            else o.limits.maxScanTimeMs = n * 1000;
        } else if (name == "--password") {
            if (!takeValue()) return false;
            o.passwords.push_back({PasswordArgument::Value, value});
            // Blanked where it stands (after the '=' of --password=P), so
            // that /proc/PID/cmdline no longer shows it.
            char* shown = argv[i];
            if (hasValue) shown = std::strchr(shown, '=') + 1;
            std::memset(shown, 'x', std::strlen(shown));
        } else if (name == "--password-file") {
            if (!takeValue()) return false;
            o.passwords.push_back({PasswordArgument::File, value});
        } else if (name == "--password-env") {
            if (!takeValue()) return false;
            o.passwords.push_back({PasswordArgument::Environment, value});
        } else if (name == "--password-stdin") {
            if (!noValue()) return false;
            if (passwordInput) {
                error = "--password-stdin is given twice";
                return false;
            }
            passwordInput = true;
            o.passwords.push_back({PasswordArgument::Input, ""});
        } else if (name == "--max-dir-recursion") {
            if (!takeValue()) return false;
            std::uint64_t n = 0;
            // Each level holds an open folder: more than a thousand would
            // run short of descriptors before any tree worth walking.
            if (!ParseNumber(value, n) || n > 1000) {
                error = "--max-dir-recursion needs a number of folders up to 1000, not '" + value + "'";
                return false;
            }
            o.maxDirDepth = static_cast<std::size_t>(n);
        } else if (name == "--max-cleansize") {
            if (!takeValue()) return false;
            if (!ParseSize(value, o.maxCleanSize)) {
                error = name + " needs a byte count (K, M or G may follow), not '" + value + "'";
                return false;
            }
        } else if (name == "--signature") {
            if (!takeValue()) return false;
            o.signatures.push_back({SignatureArgument::Text, value});
        } else if (name == "--signature-hex") {
            if (!takeValue()) return false;
            o.signatures.push_back({SignatureArgument::Hex, value});
        } else if (name == "--signatures") {
            if (!takeValue()) return false;
            o.signatures.push_back({SignatureArgument::File, value});
        } else if (name == "-d" || name == "--database") {
            // Signature databases: read with the signatures above, after them.
            if (!takeValue()) return false;
            o.databases.push_back(value);
        } else if (name == "--offset") {
            if (!takeValue()) return false;
            o.offsetGiven = true;
            if (!ParseNumber(value, o.offset)) {
                error = "--offset needs a byte count, not '" + value + "'";
                return false;
            }
        } else if (name == "--module") {
            if (!takeValue()) return false;
            o.module = value;
        } else if (name == "--dir") {
            if (!takeValue()) return false;
            o.dir = value;
        } else if (name == "-j" || name == "--jobs") {
            if (!takeValue()) return false;
            std::uint64_t n = 0;
            if (!ParseNumber(value, n) || n < 1 || n > 256) {
                error = "-j needs a number of files from 1 to 256, not '" + value + "'";
                return false;
            }
            o.jobs = static_cast<unsigned>(n);
        } else {
            error = "unknown option " + name;
            return false;
        }
    }
    if (o.help || o.version) return true;
    if (o.command.empty()) {
        error = "no command given (check, scan or selftest)";
        return false;
    }
    if (o.command != "check" && o.command != "scan" && o.command != "selftest") {
        error = "unknown command '" + o.command + "' (check, scan or selftest)";
        return false;
    }
    if (o.files.empty()) {
        error = o.command == "selftest" ? "selftest needs an archive" : o.command + " needs at least one file";
        return false;
    }
    if (o.command == "selftest" && o.files.size() != 1) {
        error = "selftest takes exactly one archive";
        return false;
    }
    if (o.clean && o.command != "scan") {
        error = "--clean belongs to scan";
        return false;
    }
    if (o.recursive && o.command != "scan") {
        error = "-r belongs to scan";
        return false;
    }
    if (!o.dir.empty() && o.command != "selftest") {
        error = "--dir belongs to selftest";
        return false;
    }
    return true;
}

} // namespace zipscan
