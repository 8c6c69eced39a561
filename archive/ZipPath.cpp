#include "archive/ZipPath.h"

void CZipPath::Split(const std::string&) {}
void CZipPath::AssignExtension(const std::string& ext) { extPart = ext; }
std::string CZipPath::NameWithExtension() const { return titlePart; }
std::string CZipPath::JoinDirectoryAndName() const { return dirPart; }
std::string CZipPath::ParentPath() const { return dirPart; }
