#pragma once
#include <vector>

#include "archive/ZipUnlisted.h"

class CZipArchive;

// Entries that central records list, but not the records the archive's own
// end record counts: records behind the counted ones (an end record whose
// count or size says less than the directory holds), and the directories
// of the other end records in the search window (a fake one in the comment
// or in trailing bytes, an archive joined in front of this one). Only
// directories whose every record parses are taken. Nothing is allocated
// beyond what the bytes present can hold.
std::vector<CZipUnlistedEntry> ZipFindOtherListings(CZipArchive& archive);

// Only the first kind: the archive's own directory's records that the
// header list does not hold (beyond its count, or past 65,535 entries).
std::vector<CZipUnlistedEntry> ZipFindRecordsBehind(CZipArchive& archive);
