#pragma once
#include "support/test_platform.h"
#include <cstdint>
#include <string>
#include <vector>

// Independent readers and writers for cleaning tests: archives are built
// with Python's zipfile or Info-ZIP zip, and every result is read back with
// Python's zipfile (every entry's bytes, CRC checked) and tested with
// `unzip -t`.

// Text-like bytes that deflate well, and bytes that do not.
std::vector<uint8_t> CleaningText(size_t n, uint32_t seed);
std::vector<uint8_t> CleaningNoise(size_t n, uint32_t seed);
std::vector<uint8_t> CleaningBytesOf(const std::string& text);

struct CleaningEntrySpec {
    std::string name;  // archive form ('/' separators); a directory ends with '/'
    std::vector<uint8_t> data;
    int method = 8;    // 0 stored, 8 deflated
};

// Python's zipfile writes the archive.
std::vector<uint8_t> CleaningMakeZip(const std::vector<CleaningEntrySpec>& entries,
                                     const std::string& comment = "");
// Info-ZIP zip writes it, every entry encrypted with the password.
// Info-ZIP zip adds the entries to the archive (a new one when empty),
// encrypting them when a password is given.
std::vector<uint8_t> CleaningZipAdd(const std::vector<uint8_t>& archive,
                                    const std::vector<CleaningEntrySpec>& entries,
                                    const std::string& password = "");
std::vector<uint8_t> CleaningMakeEncryptedZip(const std::vector<CleaningEntrySpec>& entries,
                                              const std::string& password);

struct PeerEntry {
    std::string name;
    bool ok = false;  // read whole with a matching CRC
    bool directory = false;
    std::vector<uint8_t> data;  // with digestsOnly: empty
    uint32_t crc = 0;
    uint64_t size = 0;
    int method = 0;
    int flags = 0;
};

struct PeerReading {
    bool opened = false;
    std::string error;
    std::vector<PeerEntry> entries;
    bool unzipOk = false;
    std::string unzipOutput;

    // Every listed entry read with a matching CRC, and unzip -t passed.
    bool Sound() const;
    const PeerEntry* Find(const std::string& name) const;
};

PeerReading CleaningReadWithPeers(const std::vector<uint8_t>& archive,
                                  const std::string& password = "");
// The same for many archives at once (one Python process); with digestsOnly
// the entries carry their CRC-32 and size instead of their bytes.
std::vector<PeerReading> CleaningReadManyWithPeers(const std::vector<std::vector<uint8_t>>& archives,
                                                   const std::string& password = "",
                                                   bool digestsOnly = false);

// `unzip -t` and `7zz t` over the archive file as it is, with whatever lies
// in front of the archive: their exit statuses and unzip's messages. 7zz is
// told the type, since it looks for an archive behind an executable stub
// only.
struct PeerTestRun {
    int unzipStatus = -1;
    std::string unzipOutput;
    int sevenZipStatus = -1;
};
PeerTestRun CleaningTestWithUnzipAnd7zz(const std::vector<uint8_t>& archive);

uint32_t CleaningCrc(const std::vector<uint8_t>& bytes);
