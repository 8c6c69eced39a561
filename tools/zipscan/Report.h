#pragma once
// Turning results into text for a person or JSON for a program. Names come
// from archives and may hold anything, so nothing is printed raw.
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
};

std::string ScanText(const FileResult& result, const ReportOptions& options);
std::string ScanJson(const FileResult& result, const ReportOptions& options);
// One line for a file of a recursive scan.
std::string ScanLine(const FileResult& result, const ReportOptions& options);
// The closing lines of a recursive scan.
std::string ScanSummary(std::size_t scanned, std::size_t found, std::size_t errors, std::size_t skipped);
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
