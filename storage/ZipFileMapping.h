#pragma once
#include <cstddef>
#include <cstdint>

class CZipDiskStream;

// Maps the whole file of a disk stream into memory, readable and writable,
// so that its bytes can be moved in place; writes through the view reach the
// file. The mapping belongs to this stream's file alone (never a named,
// shareable object). Unmap before the file's length changes or the stream is
// closed; the destructor unmaps too.
class CZipFileMapping {
public:
    CZipFileMapping() = default;
    ~CZipFileMapping();
    CZipFileMapping(const CZipFileMapping&) = delete;
    CZipFileMapping& operator=(const CZipFileMapping&) = delete;

    // False for a null stream or when no mapping or view can be had (an
    // empty file cannot be mapped). A stream without a valid descriptor
    // throws its errno with the stream's path.
    bool Map(CZipDiskStream* stream);
    // Releases the view and the mapping; false when there was none or the
    // release failed.
    bool Unmap();

    uint8_t* View() const { return view; }
    // Bytes reachable through View(): the file's length when it was mapped.
    uint32_t MappedLength() const { return static_cast<uint32_t>(viewLength); }

private:
#if defined(_WIN32)
    void* mappingHandle = nullptr;
#else
    // POSIX has no separate mapping object: the view itself holds the file,
    // and its length is what releasing it needs.
#endif
    uint8_t* view = nullptr;
    size_t viewLength = 0;
};
