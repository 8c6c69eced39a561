#pragma once
// Where a scan's report goes: standard output (unless --quiet), error
// messages to standard error, and both appended to the --log file when one
// is given. Everything passes the progress line so that nothing interleaves.
#include <cstdio>
#include <mutex>
#include <string>

namespace zipscan {

class ProgressLine;

class Output {
public:
    explicit Output(bool quiet) : quiet(quiet) {}
    ~Output();
    Output(const Output&) = delete;
    Output& operator=(const Output&) = delete;

    // Opens the log for appending (made when missing); false with a reason.
    bool OpenLog(const std::string& path, std::string& error);
    void SetProgress(ProgressLine* line) { progress = line; }
    // A piece of the report, whole lines.
    void Report(const std::string& text);
    // A message for standard error (one line, without "zipscan: ").
    void Error(const std::string& message);
    // False when the log could not take everything written to it.
    bool LogWritten() const { return logOk; }

private:
    void Write(std::FILE* stream, const std::string& text);
    void Log(const std::string& text);

    bool quiet;
    ProgressLine* progress = nullptr;
    int log = -1;
    bool logOk = true;
    std::mutex lock;
};

} // namespace zipscan
