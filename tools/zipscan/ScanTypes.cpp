#include "ScanTypes.h"

namespace zipscan {

const char* ActionName(Action action)
{
    switch (action) {
    case Action::Delete: return "delete";
    case Action::Cure: return "cure";
    case Action::Report: break;
    }
    return "report";
}

Action EntryResult::Wanted() const
{
    Action wanted = Action::Report;
    for (const Finding& f : findings) {
        if (f.action == Action::Delete) return Action::Delete;
        if (f.action == Action::Cure) wanted = Action::Cure;
    }
    return wanted;
}

std::size_t FileResult::Found() const
{
    std::size_t n = 0;
    for (const EntryResult& e : entries) n += e.findings.empty() ? 0 : 1;
    return n;
}

std::size_t FileResult::Unscanned() const
{
    std::size_t n = 0;
    for (const EntryResult& e : entries) n += (!e.scanned && !e.directory && e.limit.empty()) ? 1 : 0;
    return n;
}

int ScanStatus(const FileResult& result)
{
    // An incomplete scan is an error even when something was found: the
    // caller cannot take the file as handled.
    if (!result.error.empty() || result.Unscanned() > 0) return 2;
    return result.Found() > 0 || result.LimitFound() ? 1 : 0;
}

} // namespace zipscan
