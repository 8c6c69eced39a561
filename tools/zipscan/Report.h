#pragma once
// Turning results into text for a person or JSON for a program. Names come
// from archives and may hold anything, so nothing is printed raw.
#include <cstdint>
#include <string>
#include <vector>

#include "ScanTypes.h"

namespace zipscan {

// Control bytes shown as \xHH so that a name cannot steer the terminal.
std::string Printable(const std::string& text);
// A JSON string literal; bytes that are not UTF-8 are taken as Latin-1.
std::string JsonString(const std::string& text);
// Whether text is well-formed UTF-8.
bool ValidUtf8(const std::string& text);
// The bytes in hex, two digits each.
std::string HexBytes(const std::string& text);

// Why an entry was not scanned or not scanned whole, or empty when it was.
std::string Problem(const EntryResult& entry, bool passwordsGiven);
// Why a file's scan counts as an error: its error, or the entries that
// could not be scanned and why. Empty when it does not.
std::string ErrorReason(const FileResult& result, bool passwordsGiven);

struct ReportOptions {
    bool clean = false;
    bool passwordsGiven = false;
    bool infectedOnly = false;   // -i: a file with nothing to tell gets no line
};

std::string ScanText(const FileResult& result, const ReportOptions& options);
std::string ScanJson(const FileResult& result, const ReportOptions& options);
// One line for a file of a recursive scan.
std::string ScanLine(const FileResult& result, const ReportOptions& options);
// What a whole scan did, for its summary.
struct ScanTotals {
    std::size_t directories = 0;  // folders walked
    std::size_t files = 0;        // files read (archives or not)
    std::size_t archives = 0;     // ZIP archives walked
    std::size_t infected = 0;     // files with a finding
    std::size_t notFullyScanned = 0; // entries whose content was not fully scanned
    std::size_t errors = 0;       // files and folders that could not be read or scanned
    std::size_t skipped = 0;      // files found in folders that are no ZIP archives
    std::size_t excluded = 0;     // left out by --exclude and the like
    std::uint64_t dataScanned = 0;
    std::uint64_t dataRead = 0;
    double seconds = 0;
    long long started = 0, ended = 0; // seconds since the epoch
    int status = 0;               // the exit status

    // Counts one file's result in.
    void Add(const FileResult& result, bool walked);
};
// The closing block of a scan in text, as clamscan prints its own, and its
// JSON object (one line).
std::string ScanSummary(const ScanTotals& totals);
std::string ScanSummaryJson(const ScanTotals& totals);
// The line of a file --exclude and the like left out.
std::string ExcludedLine(const std::string& path);
std::string CheckText(const FileResult& result);
std::string CheckJson(const FileResult& result);

struct ExtractedFile {
    std::string name;
    unsigned long long size = 0;
};
std::string SelfTestText(const std::string& archive, const std::string& dir,
                         const std::vector<ExtractedFile>& files);
std::string SelfTestJson(const std::string& archive, const std::string& dir, int result,
                         const std::vector<ExtractedFile>& files, const std::string& error);

} // namespace zipscan
