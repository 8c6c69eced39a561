#pragma once
// Where an archive starts in content that is not one from its first byte.
#include <cstdint>
#include <functional>

#include "ScanTypes.h"

struct VFStream;

namespace zipscan {

// The candidates are where the module's reading of the end record puts the
// archive's start (a stub in front of it) and the first local header
// signature of the content (facts, when it was searched). The earliest one
// the module recognises wins: the module sees nothing in front of its base,
// so a later base would leave the entries in front unseen, as where a
// second archive sits inside the first one's tail and its end record is
// the one that holds up.
bool FindArchiveStart(VFStream& content, std::uint64_t size, const ContentFacts* facts,
                      const std::function<bool(std::uint64_t)>& recogniseAt, std::uint64_t& base);

} // namespace zipscan
