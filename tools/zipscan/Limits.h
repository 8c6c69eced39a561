#pragma once
// The limits a scan of one file keeps to, as scanning engines have them:
// how big one entry may grow, how many bytes and entries one file may hand
// over, how deep archives may nest and how long one file may take. A file
// that reaches one is reported as Heuristics.Limits.Exceeded.<limit name>.
#include <chrono>
#include <cstdint>
#include <string>

namespace zipscan {

enum class Limit { MaxFileSize, MaxScanSize, MaxFiles, MaxRecursion, MaxScanTime };

// "MaxFileSize" and so on.
const char* LimitName(Limit limit);
// "Heuristics.Limits.Exceeded.MaxFileSize" and so on.
std::string LimitFinding(const std::string& name);

// Zero turns a limit off. The defaults are those of clamscan 1.x, so that
// a file clamscan scans whole is scanned whole here too.
struct Limits {
    std::uint64_t maxFileSize = 100u << 20;  // bytes of one entry
    std::uint64_t maxScanSize = 400u << 20;  // bytes of all entries of one file
    std::uint64_t maxFiles = 10000;          // entries of one file
    // Levels as clamscan counts them: the file is level 1, its entries
    // level 2, the entries of an archive within it level 3, and so on; an
    // entry is scanned while its level is at most this.
    std::uint64_t maxRecursion = 17;
    std::uint64_t maxScanTimeMs = 120000;    // time for one file
    bool report = false;                     // a file that reaches a limit counts as found (--alert-exceeds-max)
};

// The level of the entries of a walk that lies within depth archives of
// the file (see Limits::maxRecursion).
constexpr std::uint64_t EntryLevel(std::uint64_t depth) { return depth + 2; }

// What one file has used of the limits, over every walk of it.
class LimitBudget {
public:
    explicit LimitBudget(const Limits& limits);

    const Limits& Settings() const { return limits; }
    bool TimeIsUp() const;
    // Bytes still to be handed over, and the cap of the next entry.
    std::uint64_t ScanRoom() const;
    std::uint64_t EntryCap() const;
    // Whether the entry cap in force is the entry limit (else the file's).
    bool EntryCapIsFileSize() const;
    void Scanned(std::uint64_t bytes) { used += bytes; }
    // False when no further entry may be taken.
    bool TakeEntry();

private:
    Limits limits;
    std::chrono::steady_clock::time_point deadline;
    std::uint64_t used = 0;
    std::uint64_t entries = 0;
};

} // namespace zipscan
