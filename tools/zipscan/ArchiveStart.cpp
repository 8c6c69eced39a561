#include "ArchiveStart.h"

#include <algorithm>
#include <vector>

#include "plugin/ZipHost.h"

namespace zipscan {

bool FindArchiveStart(VFStream& content, std::uint64_t size, const ContentFacts* facts,
                      const std::function<bool(std::uint64_t)>& recogniseAt, std::uint64_t& base)
{
    std::vector<std::uint64_t> candidates;
    // Only content that holds an end record signature is worth listing.
    if (!facts || facts->endSignature) {
        const ZipHostListing listing = ZipListForHost(&content, 0);
        if ((listing.opening == ZipHostOpening::directory || listing.opening == ZipHostOpening::directoryFromStart) &&
            listing.archiveStart > 0 && listing.archiveStart < size)
            candidates.push_back(listing.archiveStart);
    }
    if (facts && facts->firstLocalHeader != ContentFacts::kNone && facts->firstLocalHeader > 0 &&
        facts->firstLocalHeader < size)
        candidates.push_back(facts->firstLocalHeader);
    std::sort(candidates.begin(), candidates.end());
    for (std::uint64_t at : candidates)
        if (recogniseAt(at)) {
            base = at;
            return true;
        }
    return false;
}

} // namespace zipscan
