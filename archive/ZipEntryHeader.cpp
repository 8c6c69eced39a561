#include "archive/ZipEntryHeader.h"

CZipEntryHeader::CZipEntryHeader() = default;
CZipEntryHeader::~CZipEntryHeader() = default;
bool CZipEntryHeader::ReadCentralRecord(CZipStore&) { return false; }
uint32_t CZipEntryHeader::WriteCentralRecord(CZipStore&) { return 0; }
void CZipEntryHeader::WriteLocalRecord(CZipStore&) {}
bool CZipEntryHeader::VerifyLocalRecord(CZipStore&, uint16_t&) { return false; }
bool CZipEntryHeader::CompareDescriptor(const uint8_t*) const { return false; }
void CZipEntryHeader::StoreDescriptor(uint8_t*) const {}
uint32_t CZipEntryHeader::GetRecordSize(bool) const { return 0; }
time_t CZipEntryHeader::GetModificationTime() const { return 0; }
void CZipEntryHeader::SetModificationTime(time_t) {}
bool CZipEntryHeader::AssignName(const char*) { return true; }
bool CZipEntryHeader::AssignComment(const char*) { return true; }
std::string CZipEntryHeader::NameAsString() const { return {}; }
std::string CZipEntryHeader::CommentAsString() const { return {}; }
void CZipEntryHeader::SetVersion(uint8_t) {}
uint8_t CZipEntryHeader::GetSystemId() const { return 0; }
uint32_t CZipEntryHeader::LocalAttributes() const { return 0; }
void CZipEntryHeader::StoreLocalAttributes(uint32_t) {}
bool CZipEntryHeader::IsDirectory() const { return false; }
bool CZipEntryHeader::PrepareForAdd(int, bool, bool) { return true; }
void ConvertNameForm(CZipEntryHeader&, bool) {}
void ReplaceSlashes(CZipBuffer&, bool) {}
