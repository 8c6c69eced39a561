#include "CentralDirectory.h"

#include <algorithm>
#include <cstring>

#include "FileStream.h"
#include "archive/ZipConstants.h"

namespace zipscan {

namespace {

namespace zf = ZipFormat;

// What is kept of a listing; a longer one counts as incomplete.
constexpr std::size_t kMaxListed = 1u << 20;
constexpr std::size_t kMaxNameBytes = 64u << 20;

std::uint16_t Get16(const unsigned char* p) { return static_cast<std::uint16_t>(p[0] | (p[1] << 8)); }
std::uint32_t Get32(const unsigned char* p)
{
    return static_cast<std::uint32_t>(p[0]) | (static_cast<std::uint32_t>(p[1]) << 8) |
           (static_cast<std::uint32_t>(p[2]) << 16) | (static_cast<std::uint32_t>(p[3]) << 24);
}
std::uint64_t Get64(const unsigned char* p)
{
    return Get32(p) | (static_cast<std::uint64_t>(Get32(p + 4)) << 32);
}

bool Has(const FileStream& f, std::uint64_t at, const std::uint8_t (&signature)[4])
{
    unsigned char b[4];
    return f.ReadAt(at, b, 4) == 4 && std::memcmp(b, signature, 4) == 0;
}

struct EndRecord {
    std::uint64_t position = 0;  // of the directory's end (the ZIP64 end record when there is one)
    std::uint64_t entries = 0;
    std::uint64_t size = 0;
    std::uint64_t offset = 0;
};

bool FindEnd(const FileStream& f, std::uint64_t length, EndRecord& end)
{
    if (length < zf::endRecordSize) return false;
    std::uint64_t from = length > zf::endSearchWindow ? length - zf::endSearchWindow : 0;
    std::vector<unsigned char> tail(static_cast<std::size_t>(length - from));
    if (f.ReadAt(from, tail.data(), tail.size()) != tail.size()) return false;
    for (std::size_t i = tail.size() - zf::endRecordSize + 1; i-- > 0;) {
        const unsigned char* p = tail.data() + i;
        if (std::memcmp(p, zf::endSignature, 4) != 0) continue;
        end.position = from + i;
        end.entries = Get16(p + 10);
        end.size = Get32(p + 12);
        end.offset = Get32(p + 16);
        bool wide = end.entries == zf::zip64Marker16 || end.size == zf::maxField32 || end.offset == zf::maxField32;
        // The ZIP64 end record normally lies right in front of its locator.
        if (wide && end.position >= zf::zip64LocatorSize + zf::zip64EndRecordSize &&
            Has(f, end.position - zf::zip64LocatorSize, zf::zip64LocatorSignature)) {
            std::uint64_t at = end.position - zf::zip64LocatorSize - zf::zip64EndRecordSize;
            unsigned char r[zf::zip64EndRecordSize];
            if (f.ReadAt(at, r, sizeof r) == sizeof r && std::memcmp(r, zf::zip64EndSignature, 4) == 0) {
                end.position = at;
                end.entries = Get64(r + 32);
                end.size = Get64(r + 40);
                end.offset = Get64(r + 48);
            }
        }
        return true;
    }
    return false;
}

} // namespace

DirectoryListing ReadListing(const FileStream& f)
{
    DirectoryListing out;
    std::int64_t signedLength = f.Length();
    if (signedLength <= 0) return out;
    auto length = static_cast<std::uint64_t>(signedLength);
    EndRecord end;
    auto refuse = [&out](ZipReason reason, std::uint64_t at) -> const DirectoryListing& {
        out.reason = reason;
        out.reasonOffset = at;
        return out;
    };
    if (!FindEnd(f, length, end)) return refuse(ZipReason::endRecordMissing, kZipNoOffset);
    // As unzip does: the directory ends where the end record begins, so
    // whatever lies in front of the archive is what the stated offset lacks.
    // An archive whose offsets count from the start of the file gives 0.
    if (end.size > end.position || end.offset > end.position - end.size)
        return refuse(ZipReason::directoryOverlapsEndRecord, end.position);
    std::uint64_t base = end.position - end.size - end.offset;
    std::uint64_t at = base + end.offset;
    if (end.entries > 0 && !Has(f, at, zf::centralSignature)) return refuse(ZipReason::centralRecordBroken, at);
    out.found = true;
    std::uint64_t first = UINT64_MAX;
    std::size_t nameBytes = 0;
    std::uint64_t stop = end.position;
    for (std::uint64_t n = 0; n < end.entries; ++n) {
        unsigned char r[zf::centralRecordSize];
        if (out.entries.size() >= kMaxListed) break;
        if (at + sizeof r > stop || f.ReadAt(at, r, sizeof r) != sizeof r) {
            refuse(at + sizeof r > stop ? ZipReason::directoryOverlapsEndRecord : ZipReason::streamCut, at);
            break;
        }
        if (std::memcmp(r, zf::centralSignature, 4) != 0) {
            refuse(ZipReason::centralRecordBroken, at);
            break;
        }
        nameBytes += Get16(r + 28);
        if (nameBytes > kMaxNameBytes) break;
        std::uint16_t nameLength = Get16(r + 28), extraLength = Get16(r + 30), commentLength = Get16(r + 32);
        std::uint64_t next = at + sizeof r + nameLength + extraLength + commentLength;
        if (next > stop) {
            refuse(ZipReason::directoryOverlapsEndRecord, at);
            break;
        }
        ListedEntry e;
        e.name.resize(nameLength);
        std::vector<unsigned char> extra(extraLength);
        if (f.ReadAt(at + sizeof r, &e.name[0], nameLength) != nameLength ||
            f.ReadAt(at + sizeof r + nameLength, extra.data(), extraLength) != extraLength) {
            refuse(ZipReason::streamCut, at);
            break;
        }
        e.size = Get32(r + 24);
        std::uint64_t local = Get32(r + 42);
        // ZIP64 values stand in the extra field in a fixed order, each only
        // when its 32-bit field is full.
        for (std::size_t k = 0; k + 4 <= extra.size();) {
            std::uint16_t id = Get16(&extra[k]), size = Get16(&extra[k + 2]);
            if (k + 4 + size > extra.size()) break;
            if (id == zf::zip64ExtraId) {
                std::size_t v = k + 4;
                bool fullSize = e.size == zf::maxField32;
                if (fullSize && v + 8 <= k + 4 + size) e.size = Get64(&extra[v]), v += 8;
                if (Get32(r + 20) == zf::maxField32) v += 8;
                if (local == zf::maxField32 && v + 8 <= k + 4 + size) local = Get64(&extra[v]);
                break;
            }
            k += 4 + size;
        }
        first = std::min(first, local);
        out.entries.push_back(std::move(e));
        at = next;
    }
    out.complete = out.entries.size() == end.entries;
    // A self-extractor made with zip -A counts from the start of the file:
    // the archive itself begins at its first local header.
    out.start = base;
    if (first != UINT64_MAX && base + first < length && Has(f, base + first, zf::localSignature))
        out.start = base + first;
    return out;
}

} // namespace zipscan
