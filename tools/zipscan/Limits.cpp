#include "Limits.h"

#include <algorithm>

#include "TemporaryStream.h"

namespace zipscan {

const char* LimitName(Limit limit)
{
    switch (limit) {
    case Limit::MaxFileSize: return "MaxFileSize";
    case Limit::MaxScanSize: return "MaxScanSize";
    case Limit::MaxFiles: return "MaxFiles";
    case Limit::MaxRecursion: return "MaxRecursion";
    case Limit::MaxScanTime: break;
    }
    return "MaxScanTime";
}

std::string LimitFinding(const std::string& name)
{
    return "Heuristics.Limits.Exceeded." + name;
}

LimitBudget::LimitBudget(const Limits& settings)
    : limits(settings),
      deadline(std::chrono::steady_clock::now() + std::chrono::milliseconds(settings.maxScanTimeMs))
{
}

bool LimitBudget::TimeIsUp() const
{
    return limits.maxScanTimeMs != 0 && std::chrono::steady_clock::now() >= deadline;
}

std::uint64_t LimitBudget::ScanRoom() const
{
    if (limits.maxScanSize == 0) return TemporaryStream::kLimit;
    return used < limits.maxScanSize ? limits.maxScanSize - used : 0;
}

std::uint64_t LimitBudget::EntryCap() const
{
    std::uint64_t entry = limits.maxFileSize == 0 ? TemporaryStream::kLimit : limits.maxFileSize;
    return std::min(entry, ScanRoom());
}

bool LimitBudget::EntryCapIsFileSize() const
{
    return limits.maxFileSize != 0 && limits.maxFileSize <= ScanRoom();
}

bool LimitBudget::TakeEntry()
{
    if (limits.maxFiles != 0 && entries >= limits.maxFiles) return false;
    ++entries;
    return true;
}

} // namespace zipscan
