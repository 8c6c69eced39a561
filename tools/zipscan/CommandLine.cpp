#include "CommandLine.h"

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <functional>

namespace zipscan {

const char* const kVersion = "zipscan 1.0.0";

const char* const kUsage =
    "usage: zipscan COMMAND [OPTIONS] FILE|DIR|-...\n"
    "\n"
    "Scans ZIP archives through the zipext module, the way an anti-virus engine\n"
    "drives it. Options of clamscan's keep clamscan's names and meanings.\n"
    "\n"
    "commands:\n"
    "  check FILE...          tell whether each file is a ZIP archive the module handles\n"
    "  scan [--clean] FILE... search every entry for signatures; with --clean, delete or\n"
    "                         cure what is found and rewrite the archive\n"
    "  selftest ARCHIVE       run the module's self-test, which extracts every entry\n"
    "                         below Test/ in the current directory (or in --dir DIR)\n"
    "\n"
    "A directory is scanned one level deep (its files, not its folders), or whole\n"
    "with -r; - reads an archive from standard input (scanned, never changed).\n"
    "\n"
    "options:\n"
    "  -h, --help             this text\n"
    "  -V, --version          the version and the signature search in use\n"
    "output (scan):\n"
    "  -i, --infected         print only files with a finding or an error\n"
    "  -o, --suppress-ok-results  the same as -i\n"
    "  --quiet                print nothing but error messages (the exit status tells)\n"
    "  --no-summary           no summary block at the end (no summary object with --json)\n"
    "  --stdout               the report goes to standard output (always so)\n"
    "  -l FILE, --log FILE    append the report and the error messages to FILE as well\n"
    "  --json                 one JSON document a file, one a line, then a summary object\n"
    "file selection (scan):\n"
    "  -r, --recursive        scan the directories given and every folder below them\n"
    "  -f FILE, --file-list FILE  scan the files named in FILE, one a line\n"
    "  --exclude REGEX        do not scan files whose path matches REGEX (POSIX\n"
    "                         extended, matched anywhere in the path; repeatable)\n"
    "  --include REGEX        scan only files whose path matches REGEX\n"
    "  --exclude-dir REGEX    do not walk folders whose path matches REGEX\n"
    "  --include-dir REGEX    walk only folders whose path matches REGEX\n"
    "  --follow-links         follow a symbolic link given as a file (and, with -r,\n"
    "                         links met in directories); refused otherwise\n"
    "  --follow-dir-symlinks=N  clamscan's: 0 follows no link (the default), 2 is\n"
    "                         --follow-links; 1 is refused\n"
    "  --follow-file-symlinks=N  the same\n"
    "  --max-dir-recursion N  with -r, walk folders at most N levels below a directory\n"
    "                         given (15); a deeper one is reported as an error\n"
    "what is done (scan):\n"
    "  --clean                carry out delete and cure actions inside the archive\n"
    "  --move DIR             move a file with a finding into DIR (a taken name gets\n"
    "                         .001, .002, ...; set-ID bits are dropped)\n"
    "  --copy DIR             copy a file with a finding into DIR (mode 0600)\n"
    "  --remove               remove a file with a finding. --clean, --move, --copy\n"
    "                         and --remove exclude one another\n"
    "  --max-cleansize SIZE   refuse to clean a file whose working copy would take more\n"
    "                         than SIZE bytes on disk (1G; 0 for no bound)\n"
    "signatures and passwords:\n"
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
    "  --password P           a password to offer for encrypted entries; repeatable,\n"
    "                         tried in the order given. Other local users can read it\n"
    "                         in the process list until zipscan has started and\n"
    "                         blanked it; prefer the three ways below\n"
    "  --password-file F      passwords, one a line, tried in order\n"
    "  --password-env VAR     the password held in the environment variable VAR\n"
    "                         (e.g. ZIPSCAN_PASSWORD)\n"
    "  --password-stdin       passwords, one a line, read from standard input\n"
    "limits (clamscan's names, units and defaults; SIZE takes K, M or G; 0 = off):\n"
    "  --max-filesize SIZE    scan at most SIZE bytes of an entry (100M)\n"
    "  --max-scansize SIZE    scan at most SIZE bytes of one file's entries (400M)\n"
    "  --max-files N          scan at most N entries of one file (10000)\n"
    "  --max-recursion N      levels, counted as clamscan does: the file is 1, its\n"
    "                         entries 2, an inner archive's entries 3, ... (17)\n"
    "  --max-scantime MS      spend at most MS milliseconds on one file (120000)\n"
    "  --alert-exceeds-max    a file that reaches a limit is reported as found,\n"
    "                         Heuristics.Limits.Exceeded.NAME (exit 1)\n"
    "  --alert-encrypted      an encrypted entry no password opens is reported as\n"
    "                         found, Heuristics.Encrypted.Zip (exit 1)\n"
    "  --alert-encrypted-archive  the same as --alert-encrypted\n"
    "  --no-limit-report      a limit reached is not reported as found (the default)\n"
    "other:\n"
    "  --offset N             the archive starts N bytes into each file (found from\n"
    "                         the archive's end record when not given)\n"
    "  -j N, --jobs N         scan N files in parallel (one thread a file)\n"
    "  --stop-after-first     ask the module to stop after the first finding\n"
    "  --simple-search        search each signature on its own (no Hyperscan)\n"
    "  --no-cache             compile a set of 256 or more signatures, and load the\n"
    "                         -d databases, afresh rather than take them from\n"
    "                         ZIPSCAN_CACHE_DIR, $XDG_CACHE_HOME/zipscan or\n"
    "                         ~/.cache/zipscan (nor keep them there)\n"
    "  --module PATH          the module to load (default: libzipext.so beside zipscan)\n"
    "  --dir DIR              where selftest runs (created when missing)\n"
    "\n"
    "exit status of scan, the same on every path:\n"
    "  1  something was found (a signature, or a limit or an encrypted entry\n"
    "     reported as a finding); a finding beats an error and content that was\n"
    "     not fully scanned\n"
    "  2  otherwise, when any content was not fully scanned (raw bytes of a method\n"
    "     not decoded, encrypted without a password, damaged after N bytes, CRC\n"
    "     mismatch, cut or left closed by a limit, listed but never handed over,\n"
    "     the archive's end missing) or a file could not be read; each reason is named\n"
    "  0  only when every byte of content was scanned as decoded content whose size\n"
    "     and CRC-32 match its record\n"
    "Stricter than clamscan: clamscan says OK (0) for content it skipped at a limit\n"
    "or could not decrypt; zipscan says 2, since that content was never searched.\n"
    "It also never skips a file for its own size: --max-filesize bounds each entry.\n"
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

// clamscan's daily options: output, file selection, whole-file actions and
// alerts. Answers 1 when name is one of them and was taken, 0 on a mistake
// (error set), -1 when it is none of them.
int ParseDailyOption(const std::string& name, const std::string& value, bool hasValue,
                     const std::function<bool(std::string&)>& takeValue, Options& o, std::string& error)
{
    // clamscan's switches take an optional =yes or =no.
    auto yesNo = [&](bool& flag) {
        if (!hasValue || value == "yes") flag = true;
        else if (value == "no") flag = false;
        else {
            error = "option " + name + " takes =yes or =no, not '" + value + "'";
            return 0;
        }
        return 1;
    };
    auto bare = [&](bool& flag) {
        if (hasValue) {
            error = "option " + name + " takes no value";
            return 0;
        }
        flag = true;
        return 1;
    };
    std::string taken;
    auto needValue = [&]() { return takeValue(taken); };
    if (name == "-i" || name == "--infected" || name == "-o" || name == "--suppress-ok-results")
        return bare(o.infectedOnly);
    if (name == "--no-summary") return bare(o.noSummary);
    if (name == "--quiet") return bare(o.quiet);
    if (name == "--stdout") {
        bool ignored = false; // the report goes to standard output already
        return bare(ignored);
    }
    if (name == "-V") return bare(o.version);
    // clamscan's link options: 0 follows none (zipscan's default), 2 every
    // link, as --follow-links. clamscan's 1 (only links named on the
    // command line) has no match here and is refused rather than widened.
    if (name == "--follow-dir-symlinks" || name == "--follow-file-symlinks") {
        if (hasValue && value == "0") return 1;
        if (hasValue && value == "2") {
            o.followLinks = true;
            return 1;
        }
        error = "option " + name + " takes =0 (follow no link) or =2 (follow every link, as --follow-links)";
        return 0;
    }
    if (name == "--alert-exceeds-max") return yesNo(o.limits.report);
    if (name == "--alert-encrypted" || name == "--alert-encrypted-archive") return yesNo(o.alertEncrypted);
    if (name == "-l" || name == "--log") {
        if (!needValue()) return 0;
        o.logFile = taken;
        return 1;
    }
    if (name == "-f" || name == "--file-list") {
        if (!needValue()) return 0;
        o.fileLists.push_back(taken);
        return 1;
    }
    std::vector<std::string>* patterns = name == "--exclude"       ? &o.exclude
                                         : name == "--include"     ? &o.include
                                         : name == "--exclude-dir" ? &o.excludeDir
                                         : name == "--include-dir" ? &o.includeDir
                                                                   : nullptr;
    if (patterns) {
        if (!needValue()) return 0;
        patterns->push_back(taken);
        return 1;
    }
    FileAction action = name == "--move"     ? FileAction::Move
                                 : name == "--copy"   ? FileAction::Copy
                                 : name == "--remove" ? FileAction::Remove
                                                      : FileAction::None;
    if (action == FileAction::None) return -1;
    if (action == FileAction::Remove) {
        bool remove = false;
        if (!yesNo(remove)) return 0;
        if (!remove) return 1;
    } else {
        if (!needValue()) return 0;
        if (taken.empty()) {
            error = "option " + name + " needs a directory";
            return 0;
        }
        o.actionDir = taken;
    }
    if (o.action != FileAction::None && o.action != action) {
        error = "--move, --copy and --remove exclude one another: give one";
        return 0;
    }
    o.action = action;
    return 1;
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

        const int daily = ParseDailyOption(name, value, hasValue, [&](std::string& out) {
            if (!takeValue()) return false;
            out = value;
            return true;
        }, o, error);
        if (daily == 0) return false;
        if (daily == 1) continue;

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
            // clamscan's --recursive takes an optional =yes or =no.
            if (hasValue && value != "yes" && value != "no") {
                error = "option " + name + " takes =yes or =no, not '" + value + "'";
                return false;
            }
            o.recursive = !hasValue || value == "yes";
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
            else o.limits.maxScanTimeMs = n; // milliseconds, as clamscan counts it
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
    if (o.files.empty() && !(o.command == "scan" && !o.fileLists.empty())) {
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
    if (o.command != "scan" && (o.infectedOnly || o.noSummary || o.quiet || !o.logFile.empty() ||
                                !o.fileLists.empty() || o.action != FileAction::None)) {
        error = "-i, --no-summary, --quiet, --log, --file-list, --move, --copy and --remove belong to scan";
        return false;
    }
    if (passwordInput && std::find(o.files.begin(), o.files.end(), "-") != o.files.end()) {
        error = "standard input cannot hold both passwords (--password-stdin) and a file to scan (-)";
        return false;
    }
    // A file is either cleaned in place or dealt with as a whole.
    if (o.clean && o.action != FileAction::None) {
        error = "--clean cannot be given with --move, --copy or --remove";
        return false;
    }
    if (!o.dir.empty() && o.command != "selftest") {
        error = "--dir belongs to selftest";
        return false;
    }
    return true;
}

} // namespace zipscan
