#include "archive/ZipArchive.h"

#include <cstdlib>

#include "archive/ZipConstants.h"
#include "errors/ZipException.h"

CZipTransferState::CZipTransferState() : zstream() {}
CZipTransferState::~CZipTransferState() = default;

CZipArchive::CZipArchive() { directory.store = &store; }
CZipArchive::~CZipArchive() { ReleaseTrackedBlocks(); }
bool CZipArchive::IsClosed(bool archive) const { return archive ? store.currentVolume == -1 : store.stream == nullptr; }
void CZipArchive::Open(const char*, int, int32_t) { ThrowError(ZipError::cdirNotFound); }
void CZipArchive::Open(CZipStream&, int) { ThrowError(ZipError::cdirNotFound); }
int CZipArchive::GetCount() const { return directory.EntryCount(); }
bool CZipArchive::GetFileInfo(CZipEntryHeader&, int) const { return false; }
std::string CZipArchive::GetArchivePath() const { return {}; }
void CZipArchive::FindMatches(const char*, std::vector<uint16_t>&, bool) {}
std::string CZipArchive::GetExtractedName(const char*, const char* path, bool, const char*) const { return path ? path : ""; }
bool CZipArchive::SetPassword(const char*) { return false; }
std::string CZipArchive::GetPassword() const { return {}; }
bool CZipArchive::SetSystemId(int) { return false; }
void CZipArchive::SetAutoFlush(bool) {}
void CZipArchive::SetRootPath(const char*) {}
void CZipArchive::SetTempPath(const char*, bool) {}
void CZipArchive::SetCallback(CZipActionCallback*, int) {}
CZipActionCallback* CZipArchive::GetCallback(int) { return nullptr; }
void CZipArchive::SetCaseSensitivity(bool) {}
std::string CZipArchive::GetGlobalComment() const { return {}; }
bool CZipArchive::SetGlobalComment(const char*) { return false; }
bool CZipArchive::SetFileComment(int, const char*) { return false; }
void CZipArchive::Flush() {}
void CZipArchive::ThrowError(int code, bool) const { ThrowZipException(code); }
void CZipArchive::CheckZlibResult(int result) const { if (result != 0 && result != 2) ThrowError(result, true); }
void CZipArchive::InitKeys() {}
bool CZipArchive::CheckEncryptionHeader() { return false; }
voidpf CZipArchive::TrackedAlloc(voidpf, uInt items, uInt size) { return std::calloc(items, size); }
void CZipArchive::TrackedFree(voidpf, voidpf address) { std::free(address); }
void CZipArchive::ReleaseTrackedBlocks() {}
CZipEntryHeader* CZipArchive::HeaderAt(int) const { return nullptr; }
void CZipArchive::OpenCommon(int) {}
