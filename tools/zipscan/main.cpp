// zipscan: a command-line scanning host for the zipext module. It loads the
// module with dlopen and uses nothing but its exports, so it exercises the
// module exactly as an anti-virus engine does.
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cerrno>
#include <climits>
#include <condition_variable>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <functional>
#include <map>
#include <mutex>
#include <thread>

#include "ArchiveScanner.h"
#include "ClamDatabase.h"
#include "DatabaseCache.h"
#include "CommandLine.h"
#include "DirectoryWalk.h"
#include "FileAction.h"
#include "Module.h"
#include "Output.h"
#include "PathFilter.h"
#include "Progress.h"
#include "Report.h"
#include "ScanCallback.h"
#include "Signatures.h"
#include "StandardInput.h"
#include "WorkingCopy.h"

using namespace zipscan;

namespace {

constexpr int kPasswordLimit = VF_PASSWORD_BUFFER - 1;
constexpr std::uint64_t kBigArchive = 8u << 20; // worth a progress line on its own

void OnSignal(int signal)
{
    // The first signal lets running walks stop and clean up (a commit under
    // way finishes first); a second one ends the program at once, after
    // removing the working copies. A rewrite in place cut short there
    // leaves its journal, which the next run applies.
    static std::atomic<int> count{0};
    ScanCallback::interrupted.store(true);
    if (count.fetch_add(1) == 0) return;
    WorkingCopy::RemoveAllNow();
    std::signal(signal, SIG_DFL);
    std::raise(signal);
}

int Fail(const std::string& message)
{
    std::fprintf(stderr, "zipscan: %s\n", Printable(message).c_str());
    return 2;
}

// Passwords one a line (a carriage return before the line end is dropped,
// empty lines are passed over).
bool ReadPasswordLines(std::istream& in, const std::string& from, std::vector<std::string>& found, std::string& error)
{
    std::string line;
    while (std::getline(in, line)) {
        if (!line.empty() && line.back() == '\r') line.pop_back();
        if (!line.empty()) found.push_back(line);
    }
    if (in.bad()) {
        error = from + ": read error";
        return false;
    }
    return true;
}

bool ReadPasswords(const Options& o, std::vector<std::string>& out, std::string& error)
{
    for (const PasswordArgument& p : o.passwords) {
        std::vector<std::string> found;
        if (p.from == PasswordArgument::Value) {
            found.push_back(p.value);
        } else if (p.from == PasswordArgument::Environment) {
            const char* value = std::getenv(p.value.c_str());
            if (!value) {
                error = "the environment has no " + p.value + " (--password-env)";
                return false;
            }
            found.push_back(value);
        } else if (p.from == PasswordArgument::Input) {
            if (!ReadPasswordLines(std::cin, "standard input", found, error)) return false;
        } else {
            std::ifstream in(p.value, std::ios::binary);
            if (!in) {
                error = p.value + ": cannot read the password file";
                return false;
            }
            if (!ReadPasswordLines(in, p.value, found, error)) return false;
        }
        for (const std::string& pw : found) {
            if (pw.size() > static_cast<std::size_t>(kPasswordLimit)) {
                error = "a password is longer than " + std::to_string(kPasswordLimit) + " bytes";
                return false;
            }
            out.push_back(pw);
        }
    }
    return true;
}

bool LoadSignatures(const Options& o, SignatureSet& set, std::string& error)
{
    if (!o.noBuiltin) set.AddBuiltin();
    for (const SignatureArgument& s : o.signatures) {
        bool ok = s.kind == SignatureArgument::File ? set.LoadFile(s.value, error)
                                                     : set.AddOption(s.value, s.kind == SignatureArgument::Hex, error);
        if (!ok) return false;
    }
    ClamDatabase databases(set);
    if (!databases.LoadAll(o.databases, o.noCache ? std::string() : DatabaseCache::DefaultFolder(), error))
        return false;
    // What could not be read is said once, never passed over in silence.
    const std::string warning = databases.Warning();
    if (!warning.empty()) std::fprintf(stderr, "zipscan: warning: %s\n", Printable(warning).c_str());
    if (set.Empty()) {
        error = "no signatures to search for";
        return false;
    }
    return set.Prepare(!o.simpleSearch, !o.noCache, error);
}

// Runs work on files 0 to count-1 with up to jobs threads, one file a
// thread, and hands the results to show in that order.
void ForEachIndex(std::size_t count, unsigned jobs, ProgressLine& progress,
                  const std::function<FileResult(std::size_t)>& work,
                  const std::function<void(std::size_t, const FileResult&)>& show)
{
    std::vector<FileResult> results(count);
    std::vector<char> ready(count, 0);
    std::mutex lock;
    std::condition_variable done;
    std::atomic<std::size_t> next{0};
    auto worker = [&]() {
        for (std::size_t i = next++; i < count; i = next++) {
            FileResult r = work(i);
            progress.FileFinished();
            std::lock_guard<std::mutex> hold(lock);
            results[i] = std::move(r);
            ready[i] = 1;
            done.notify_all();
        }
    };
    std::vector<std::thread> threads;
    unsigned threadCount = static_cast<unsigned>(std::min<std::size_t>(jobs, count));
    for (unsigned t = 0; t < threadCount; ++t) threads.emplace_back(worker);
    for (std::size_t i = 0; i < count; ++i) {
        FileResult r;
        {
            std::unique_lock<std::mutex> hold(lock);
            done.wait(hold, [&] { return ready[i] != 0; });
            r = std::move(results[i]);
        }
        show(i, r);
    }
    for (std::thread& t : threads) t.join();
}

bool ShowProgress(const std::vector<std::string>& files)
{
    if (!isatty(STDERR_FILENO)) return false;
    if (files.size() > 1) return true;
    struct stat st {};
    return stat(files[0].c_str(), &st) == 0 && static_cast<std::uint64_t>(st.st_size) >= kBigArchive;
}

int RunCheck(const Options& o, const Module& module)
{
    SignatureSet none;
    ScanSettings settings;
    settings.offset = o.offset;
    settings.offsetGiven = o.offsetGiven;
    settings.followLinks = o.followLinks;
    ProgressLine progress(ShowProgress(o.files), o.files.size());
    ArchiveScanner scanner(module, none, settings, nullptr);
    int status = 0;
    ForEachIndex(o.files.size(), o.jobs, progress, [&](std::size_t i) { return scanner.Check(o.files[i]); },
                [&](std::size_t, const FileResult& r) {
                    progress.Print(stdout, o.json ? CheckJson(r) : CheckText(r));
                    if (!r.error.empty()) {
                        progress.Print(stderr, "zipscan: " + Printable(r.path) + ": " + Printable(r.error) + "\n");
                        status = 2;
                    } else if (!r.recognised) {
                        status = std::max(status, 1);
                    }
                });
    return status;
}

// Files named by -f lists, one a line, after those on the command line.
bool ReadFileLists(const Options& o, std::vector<std::string>& files, std::string& error)
{
    for (const std::string& list : o.fileLists) {
        std::ifstream in(list, std::ios::binary);
        if (!in) {
            error = list + ": cannot read the file list";
            return false;
        }
        std::string line;
        while (std::getline(in, line)) {
            if (!line.empty() && line.back() == '\r') line.pop_back();
            if (!line.empty()) files.push_back(line);
        }
        if (in.bad()) {
            error = list + ": read error";
            return false;
        }
    }
    return true;
}

bool MakeFilter(const Options& o, PathFilter& filter, std::string& error)
{
    const std::pair<PathFilter::Kind, const std::vector<std::string>*> lists[] = {
        {PathFilter::Exclude, &o.exclude}, {PathFilter::Include, &o.include},
        {PathFilter::ExcludeDir, &o.excludeDir}, {PathFilter::IncludeDir, &o.includeDir}};
    for (const auto& list : lists)
        for (const std::string& pattern : *list.second)
            if (!filter.Add(list.first, pattern, error)) return false;
    return true;
}

int RunScan(const Options& o, const Module& module, const SignatureSet& signatures,
            const std::vector<std::string>& passwords)
{
    ScanTotals totals;
    totals.started = static_cast<long long>(std::time(nullptr));
    const auto start = std::chrono::steady_clock::now();
    Output output(o.quiet);
    std::string error;
    if (!o.logFile.empty() && !output.OpenLog(o.logFile, error)) return Fail(error);
    ActionTarget target;
    if (!o.actionDir.empty() && !target.Open(o.actionDir, error)) return Fail(error);
    PathFilter filter;
    if (!MakeFilter(o, filter, error)) return Fail(error);
    std::vector<std::string> named = o.files;
    if (!ReadFileLists(o, named, error)) return Fail(error);
    if (std::count(named.begin(), named.end(), "-") > 1) return Fail("standard input (-) is named twice");
    const bool passwordInput = std::any_of(o.passwords.begin(), o.passwords.end(),
                                           [](const PasswordArgument& p) { return p.from == PasswordArgument::Input; });
    if (passwordInput && std::count(named.begin(), named.end(), "-") > 0)
        return Fail("standard input cannot hold both passwords (--password-stdin) and a file to scan (-)");

    ScanSettings settings;
    settings.clean = o.clean;
    settings.stopAfterFirst = o.stopAfterFirst;
    settings.offset = o.offset;
    settings.offsetGiven = o.offsetGiven;
    settings.passwords = passwords;
    settings.followLinks = o.followLinks;
    settings.limits = o.limits;
    settings.maxCleanSize = o.maxCleanSize;
    settings.alertEncrypted = o.alertEncrypted;
    settings.action = o.action;
    settings.target = o.actionDir.empty() ? nullptr : &target;
    ReportOptions report;
    report.clean = o.clean;
    report.passwordsGiven = !passwords.empty();
    report.infectedOnly = o.infectedOnly;
    int status = 0;
    // Directories are walked (one level deep without -r, as clamscan does);
    // files are taken as named.
    WalkResult walk = WalkPaths(named, o.followLinks, o.maxDirDepth, o.recursive, &filter);
    const std::vector<std::string>& files = walk.files;
    const std::vector<std::size_t>& walked = walk.walked;
    totals.directories = walk.directories;
    // What interrupted cleans left beside the files named on the command
    // line is tidied before they are read (the walk did it for the others).
    std::vector<std::string> beside;
    for (std::size_t i = 0; i < files.size(); ++i)
        if (walked[i] == std::string::npos && !walk.excluded[i] && files[i] != "-") beside.push_back(files[i]);
    TidyBeside(beside, walk);
    for (const auto& n : walk.notes) output.Error(Printable(n.first) + ": " + Printable(n.second));
    // A folder that cannot be read gets its line (or JSON document) like
    // a file that cannot be read.
    for (const auto& e : walk.errors) {
        FileResult unreadable;
        unreadable.path = e.first;
        unreadable.error = e.second;
        output.Report(o.json ? ScanJson(unreadable, report) : ScanLine(unreadable, report));
        output.Error(Printable(e.first) + ": " + Printable(e.second));
        ++totals.errors;
    }
    if (!walk.errors.empty()) status = 2;
    // Standard input is read before any file is scanned, once.
    int spooled = -1;
    for (const std::string& f : files) {
        if (f != "-") continue;
        spooled = SpoolStandardInput(error);
        if (spooled < 0) return Fail(error);
    }
    ProgressLine progress(!o.quiet && !files.empty() && ShowProgress(files), files.size());
    output.SetProgress(&progress);
    ArchiveScanner scanner(module, signatures, settings, &progress);
    std::vector<std::size_t> order(files.size());
    for (std::size_t i = 0; i < order.size(); ++i) order[i] = i;
    auto scanOne = [&](std::size_t i) {
        if (walk.excluded[i]) {
            FileResult left;
            left.path = files[i];
            left.excluded = true;
            return left;
        }
        if (files[i] == "-") {
            FileResult r = scanner.ScanUnnamed(spooled, kStandardInputName);
            spooled = -1;
            return r;
        }
        return scanner.Scan(files[i], walked[i]);
    };
    // A file named on the command line is judged and shown whole; a file
    // found in a folder gets one line, and is passed over quietly when it
    // is no ZIP archive.
    const bool oneLine = o.recursive || std::any_of(walked.begin(), walked.end(),
                                                    [](std::size_t w) { return w != std::string::npos; });
    ForEachIndex(files.size(), o.jobs, progress, scanOne, [&](std::size_t i, const FileResult& r) {
        const bool found = walked[i] != std::string::npos;
        totals.Add(r, found);
        if (r.excluded) {
            if (!o.json) output.Report(o.infectedOnly ? std::string() : ExcludedLine(r.path));
            return;
        }
        if (r.notArchive && found) return;
        const int fileStatus = ScanStatus(r);
        output.Report(o.json ? ScanJson(r, report) : oneLine ? ScanLine(r, report) : ScanText(r, report));
        const std::string message = ErrorReason(r, report.passwordsGiven);
        if (!message.empty()) output.Error(Printable(r.path) + ": " + Printable(message));
        status = std::max(status, fileStatus);
    });
    if (spooled >= 0) ::close(spooled);
    totals.ended = static_cast<long long>(std::time(nullptr));
    totals.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    totals.status = status;
    if (!o.noSummary) output.Report(o.json ? ScanSummaryJson(totals) : ScanSummary(totals));
    if (!output.LogWritten()) {
        std::fprintf(stderr, "zipscan: %s: the log could not take the whole report\n", Printable(o.logFile).c_str());
        status = std::max(status, 2);
    }
    return status;
}

int RunSelfTest(const Options& o, const Module& module)
{
    const std::string& archive = o.files[0];
    std::string dir = o.dir.empty() ? "." : o.dir;
    auto failure = [&](const std::string& error) {
        if (o.json) std::fputs(SelfTestJson(archive, dir, 0, {}, error).c_str(), stdout);
        return Fail(archive + ": " + error);
    };
    SignatureSet none;
    ArchiveScanner scanner(module, none, ScanSettings{}, nullptr);
    FileResult checked = scanner.Check(archive);
    if (!checked.error.empty()) return failure(checked.error);
    if (!checked.recognised) return failure("not a ZIP archive (or its central directory is damaged)");
    char real[PATH_MAX];
    if (!realpath(archive.c_str(), real)) return failure(std::strerror(errno));

    std::error_code ec;
    std::filesystem::create_directories(dir, ec);
    if (ec || chdir(dir.c_str()) != 0) return failure("cannot work in " + dir + ": " + (ec ? ec.message() : std::strerror(errno)));
    int result = module.SelfTest(real);

    std::vector<ExtractedFile> files;
    if (std::filesystem::is_directory("Test", ec)) {
        for (auto it = std::filesystem::recursive_directory_iterator("Test", ec);
             !ec && it != std::filesystem::recursive_directory_iterator(); it.increment(ec)) {
            if (it->is_regular_file(ec))
                files.push_back({it->path().generic_string(), static_cast<unsigned long long>(it->file_size(ec))});
        }
    }
    std::sort(files.begin(), files.end(), [](const ExtractedFile& a, const ExtractedFile& b) { return a.name < b.name; });
    std::string where = (dir == "." ? std::string() : dir + "/") + "Test";
    std::fputs((o.json ? SelfTestJson(archive, where, result, files, "") : SelfTestText(archive, where, files)).c_str(),
               stdout);
    return 0;
}

} // namespace

int main(int argc, char** argv)
{
    Options o;
    std::string error;
    if (!ParseCommandLine(argc, argv, o, error)) return Fail(error + " (see zipscan --help)");
    if (o.help) {
        std::fputs(kUsage, stdout);
        return 0;
    }
    if (o.version) {
        const std::string multi = PatternDatabase::MultiEngine();
        std::printf("%s\nsignature search: %s\n", kVersion,
                    multi.empty() ? "each signature on its own" : ("all in one pass with " + multi).c_str());
        // What -d can read in this build.
        std::printf("hash signatures: %s\nYARA rules: %s\n",
                    HashSignatures::Available() ? "with libcrypto" : "not in this build (no libcrypto)",
                    YaraRules::Available() ? ("libyara " + YaraRules::Version()).c_str()
                                           : "not in this build (no libyara)");
        return 0;
    }
    std::signal(SIGINT, OnSignal);
    std::signal(SIGTERM, OnSignal);
    std::signal(SIGHUP, OnSignal);
    SignatureSet signatures;
    std::vector<std::string> passwords;
    if (o.command == "scan") {
        if (!LoadSignatures(o, signatures, error)) return Fail(error);
        if (!ReadPasswords(o, passwords, error)) return Fail(error);
    }
    Module module;
    if (!module.Load(o.module.empty() ? DefaultModulePath() : o.module, error)) return Fail(error);

    if (o.command == "check") return RunCheck(o, module);
    if (o.command == "scan") return RunScan(o, module, signatures, passwords);
    return RunSelfTest(o, module);
}
