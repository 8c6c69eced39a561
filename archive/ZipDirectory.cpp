#include "archive/ZipDirectory.h"

#include "archive/ZipConstants.h"
#include "errors/ZipException.h"
#include "storage/ZipStore.h"

CZipDirectory::CZipDirectory() : compareNames(nullptr) {}
CZipDirectory::~CZipDirectory() = default;
void CZipDirectory::ReadDirectory() { ThrowError(ZipError::cdirNotFound); }
uint32_t CZipDirectory::LocateEndRecord() { ThrowError(ZipError::cdirNotFound); }
void CZipDirectory::LoadHeaders() {}
void CZipDirectory::OrderHeaders() {}
void CZipDirectory::OpenEntryData(uint16_t) { ThrowError(ZipError::badZipFile); }
void CZipDirectory::CloseEntryData(bool) { currentHeader = nullptr; }
void CZipDirectory::FinishNewEntry() { currentHeader = nullptr; }
CZipEntryHeader* CZipDirectory::AddHeader(const CZipEntryHeader& templ, int)
{
    headerList.push_back(std::make_unique<CZipEntryHeader>(templ));
    currentHeader = headerList.back().get();
    return currentHeader;
}
void CZipDirectory::RemoveHeader(CZipEntryHeader*, int, bool) {}
void CZipDirectory::RemoveLastHeader(CZipEntryHeader*, int) {}
void CZipDirectory::DeleteAllHeaders() { headerList.clear(); nameIndex.clear(); }
void CZipDirectory::Forget(bool) {}
void CZipDirectory::Reset() {}
void CZipDirectory::DiscardWrittenDirectory() {}
void CZipDirectory::MarkDirectoryChanged() {}
void CZipDirectory::WriteDirectory(CZipActionCallback*) {}
void CZipDirectory::StoreHeaders(CZipActionCallback*, bool) {}
uint32_t CZipDirectory::WriteEndRecord() { return 0; }
uint32_t CZipDirectory::GetDirectorySize(bool) const { return 0; }
bool CZipDirectory::CollapseToSingleVolume(bool) { return false; }
int CZipDirectory::FindEntry(const char*, bool, bool, bool) { return -1; }
void CZipDirectory::SetNameIndex(bool, bool) {}
void CZipDirectory::BuildNameIndex(bool) {}
void CZipDirectory::InsertIntoNameIndex(CZipEntryHeader*, uint16_t) {}
int CZipDirectory::SearchNameIndex(const char*) const { return -1; }
int CZipDirectory::CompareWithIndexed(const char*, size_t) const { return 0; }
void CZipDirectory::RenameEntry(uint16_t, const char*) {}
void CZipDirectory::ThrowError(int code) const { ThrowZipException(code); }
void CZipDirectory::CutDirectoryOnDisk() {}
void CZipDirectory::ParseHeaders(uint32_t) {}
