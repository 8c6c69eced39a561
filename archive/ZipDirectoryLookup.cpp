// Looking entries up by name: the name index, sorted by the archive's name
// comparison, and the searches on it.
#include <string>

#include "archive/ZipDirectory.h"
#include "archive/ZipPath.h"

int CZipDirectory::CompareWithIndexed(const char* name, size_t position) const
{
    return compareNames(nameIndex[position].header->NameAsString(), name);
}

int CZipDirectory::SearchNameIndex(const char* name) const
{
    int lo = 0, hi = static_cast<int>(nameIndex.size()) - 1;
    while (lo <= hi) {
        int mid = (lo + hi) / 2;
        int r = CompareWithIndexed(name, static_cast<size_t>(mid));
        if (r > 0)
            hi = mid - 1;
        else if (r < 0)
            lo = mid + 1;
        else
            return mid;
    }
    return -1;
}

void CZipDirectory::InsertIntoNameIndex(CZipEntryHeader* header, uint16_t index)
{
    std::string name = header->NameAsString();
    size_t lo = 0, hi = nameIndex.size();
    size_t at = nameIndex.size();
    bool stopped = false;
    while (lo < hi) {
        size_t mid = (lo + hi) / 2;
        int r = CompareWithIndexed(name.c_str(), mid);
        if (r > 0) {
            hi = mid;
        } else if (r == 0) {
            at = mid;
            stopped = true;
            break;
        } else {
            lo = mid + 1;
        }
    }
    if (!stopped) at = lo;
    uint16_t value = index == 0xFFFF ? static_cast<uint16_t>(nameIndex.size()) : index;
    nameIndex.insert(nameIndex.begin() + static_cast<std::ptrdiff_t>(at), {header, value});
}

void CZipDirectory::BuildNameIndex(bool caseSensitive)
{
    nameIndex.clear();
    indexCaseSensitive = caseSensitive;
    compareNames = GetNameCompare(caseSensitive);
    nameIndex.reserve(headerList.size());
    for (size_t i = 0; i < headerList.size(); ++i)
        InsertIntoNameIndex(headerList[i].get(), static_cast<uint16_t>(i));
}

void CZipDirectory::SetNameIndex(bool enable, bool caseSensitive)
{
    if (nameIndexOn == enable) return;
    nameIndexOn = enable;
    if (enable)
        BuildNameIndex(caseSensitive);
    else
        nameIndex.clear();
}

int CZipDirectory::FindEntry(const char* name, bool caseSensitive, bool sporadic, bool nameOnly)
{
    if (!name) return -1;
    if (!nameIndexOn) SetNameIndex(true, sporadic ? !caseSensitive : caseSensitive);
    int position = -1;
    if (nameOnly) {
        for (size_t i = 0; i < nameIndex.size(); ++i) {
            std::string entryName = nameIndex[i].header->NameAsString();
            TrimRightSeparators(entryName);
            if (compareNames(CZipPath(entryName).NameWithExtension(), name) == 0) {
                position = static_cast<int>(i);
                break;
            }
        }
    } else if (caseSensitive == indexCaseSensitive) {
        position = SearchNameIndex(name);
    } else if (sporadic) {
        for (size_t i = 0; i < nameIndex.size(); ++i)
            if (CompareWithIndexed(name, i) == 0) {
                position = static_cast<int>(i);
                break;
            }
    } else {
        BuildNameIndex(caseSensitive);
        position = SearchNameIndex(name);
    }
    return position < 0 ? -1 : nameIndex[static_cast<size_t>(position)].index;
}

void CZipDirectory::RenameEntry(uint16_t index, const char* name)
{
    if (!HasIndex(index)) return;
    headerList[index]->AssignName(name);
    if (nameIndexOn) BuildNameIndex(indexCaseSensitive);
}
