#include "archive/ZipPath.h"

#include <cctype>

#include "archive/ZipNames.h"

namespace {

// "\\?\UNC\" in lower case: the longest prefix Windows puts before a path.
const char longUncPrefix[] = "\\\\?\\unc\\";
const size_t longUncLength = sizeof longUncPrefix - 1;

void TrimBackslashes(std::string& s)
{
    size_t begin = 0;
    while (begin < s.size() && s[begin] == '\\') ++begin;
    size_t end = s.size();
    while (end > begin && s[end - 1] == '\\') --end;
    s = s.substr(begin, end - begin);
}

}  // namespace

void CZipPath::Split(const std::string& path)
{
    // How much of "\\?\UNC\" the path starts with: two characters are a UNC
    // path, four a long path, all eight a long UNC path; anything else is
    // not a prefix at all.
    const size_t probe = path.size() < longUncLength ? path.size() : longUncLength;
    const std::string head = LowerName(path.substr(0, probe));
    size_t agree = 0;
    while (agree < probe && head[agree] == longUncPrefix[agree]) ++agree;
    size_t start = 0;
    if (agree == 2 || agree == 4 || agree == longUncLength) start = agree;
    prefixPart = path.substr(0, start);

    // What the Windows splitter does with the rest: "X:" is the drive, up to
    // the last separator the directory, and from the last dot of the name the
    // extension (a name that starts with its only dot is all extension).
    size_t pos = start;
    drivePart.clear();
    if (path.size() - pos >= 2 && path[pos + 1] == ':') {
        drivePart = path.substr(pos, 2);
        pos += 2;
    }
    size_t nameStart = pos;
    for (size_t i = pos; i < path.size(); ++i)
        if (IsPathSeparator(path[i])) nameStart = i + 1;
    dirPart = path.substr(pos, nameStart - pos);
    TrimBackslashes(dirPart);

    const std::string name = path.substr(nameStart);
    const size_t dot = name.rfind('.');
    if (dot == std::string::npos) {
        titlePart = name;
        extPart.clear();
    } else {
        titlePart = name.substr(0, dot);
        AssignExtension(name.substr(dot));
    }
}

void CZipPath::AssignExtension(const std::string& ext)
{
    size_t dots = 0;
    while (dots < ext.size() && ext[dots] == '.') ++dots;
    extPart = ext.substr(dots);
}

std::string CZipPath::NameWithExtension() const
{
    if (extPart.empty()) return titlePart;
    return titlePart + '.' + extPart;
}

std::string CZipPath::JoinDirectoryAndName() const
{
    const std::string name = NameWithExtension();
    std::string joined = dirPart;
    if (!joined.empty() && !name.empty()) joined += '\\';
    return joined + name;
}

std::string CZipPath::ParentPath() const
{
    std::string parent = prefixPart + drivePart;
    if (!drivePart.empty() && !dirPart.empty()) parent += '\\';
    return parent + dirPart;
}

bool IsUnsafePathComponent(const std::string& component)
{
    size_t end = component.size();
    while (end > 0 && (component[end - 1] == '.' || component[end - 1] == ' ')) --end;
    if (end == 0) return true;
    std::string stem = component.substr(0, component.find('.'));
    while (!stem.empty() && stem.back() == ' ') stem.pop_back();
    for (char& c : stem) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    static const char* const kDevices[] = {"CON", "PRN", "AUX", "NUL", "CONIN$", "CONOUT$"};
    for (const char* device : kDevices) {
        if (stem == device) return true;
    }
    return stem.size() == 4 && (stem.compare(0, 3, "COM") == 0 || stem.compare(0, 3, "LPT") == 0) &&
           stem[3] >= '0' && stem[3] <= '9';
}
