#pragma once
// A single progress line on standard error, redrawn in place while a long
// scan runs on a terminal. Everything else written to the terminal goes
// through Print, which takes the line away first so nothing interleaves.
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <mutex>
#include <string>

namespace zipscan {

class ProgressLine {
public:
    ProgressLine(bool enabled, std::size_t totalFiles);
    ~ProgressLine();

    void FileStarted(const std::string& path);
    void EntryScanned(std::uint64_t bytes);
    void FileFinished();
    // Writes text to a stream with the progress line out of the way.
    void Print(std::FILE* stream, const std::string& text);
    bool Enabled() const { return enabled; }

private:
    void Draw(bool force);   // with the lock held
    void Erase();            // with the lock held

    std::mutex lock;
    bool enabled;
    bool shown = false;
    std::size_t totalFiles;
    std::size_t filesDone = 0;
    std::uint64_t entries = 0;
    std::uint64_t bytes = 0;
    std::string current;
    std::chrono::steady_clock::time_point lastDraw{};
};

} // namespace zipscan
