#pragma once
#include <cstdint>
#include <string>

#include "archive/ZipExtraField.h"

class CZipStream;

// What to add to an archive and how: the data comes from a stream, read from
// its current position to its end, and becomes a new entry of the given name
// (local form, backslash separators).
class CZipAddRequest {
public:
    enum Options : uint32_t {
        // A directory entry is written without encryption.
        plainDirectories = 0x01,
        // Empty data is written without encryption even when a password is set.
        plainWhenEmpty = 0x02,
        // Data below smallDataLimit bytes is stored rather than deflated.
        storeSmallData = 0x04,
        // The entry is written without encryption even when a password is set
        // (a replacement for an entry that was not encrypted either).
        plainData = 0x08,
        defaultOptions = plainDirectories | plainWhenEmpty | storeSmallData,
    };
    // Deflating fewer bytes than this gains nothing over storing them.
    static constexpr uint32_t smallDataLimit = 5;

    CZipAddRequest(CZipStream* sourceStream, const std::string& name)
        : entryName(name), source(sourceStream)
    {
    }

    // A file to take the data from instead of a stream. Adding from files is
    // not supported: a request without a source stream is refused.
    std::string sourcePath;
    std::string entryName;
    // When not empty: the name exactly as the records are to hold it
    // (archive form, no code page conversion), with utf8Name telling
    // readers that it is UTF-8. Lets a replaced entry keep its name byte
    // for byte.
    std::string archiveName;
    bool utf8Name = false;
    // -1 zlib's default, 0 stored, 1 to 9 deflate levels.
    int level = -1;
    uint32_t options = defaultOptions;
    // With a version (1 AE-1, 2 AE-2) and key strength set, and a password
    // on the archive: the entry is encrypted with WinZip AES of that kind
    // rather than the traditional encryption (its method is filled in).
    ZipAesInfo aes;
    // -1 appends the new entry; replacing in place is not supported.
    int replaceIndex = -1;
    // Size of each read from the source.
    uint32_t chunkSize = 65536;
    CZipStream* source = nullptr;  // not owned
};
