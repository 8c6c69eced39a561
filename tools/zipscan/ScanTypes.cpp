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
    for (const EntryResult& e : entries) n += (!e.scanned && !e.complete && !e.fileBytes) ? 1 : 0;
    return n;
}

std::size_t FileResult::NotFullyScanned() const
{
    std::size_t n = 0;
    for (const EntryResult& e : entries) n += (!e.complete && !e.fileBytes) ? 1 : 0;
    return n;
}

int ScanStatus(const FileResult& result)
{
    if (result.Infected()) return 1;
    // A limit reached and not reported kept something from being scanned
    // (an archive within an entry left closed, say) even where every entry
    // read counts as whole.
    if (!result.error.empty() || result.NotFullyScanned() > 0 || !result.notes.empty() || !result.limits.empty())
        return 2;
    return 0;
}

std::string PasswordAt(const std::vector<std::string>& passwords, int index)
{
    return index >= 0 && static_cast<std::size_t>(index) < passwords.size() ? passwords[static_cast<std::size_t>(index)]
                                                                              : std::string();
}

} // namespace zipscan
