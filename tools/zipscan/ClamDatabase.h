#pragma once
// Reads signature databases given with -d into a signature set: ClamAV's
// hash signatures (.hdb, .hsb), body signatures (.ndb), the containers
// that hold them (.cvd, .cld), and YARA rules (.yar, .yara). A folder
// stands for the database files in it. What is not read (other signature
// types, and parts read more loosely than ClamAV reads them) is tallied for
// one warning line; a malformed line stops the load with its file and line.
#include <cstdint>
#include <map>
#include <string>
#include <utility>
#include <vector>

#include "Signatures.h"

namespace zipscan {

class SnapshotReader;
class SnapshotWriter;
struct SnapshotFile;

class ClamDatabase {
public:
    explicit ClamDatabase(SignatureSet& set) : set(set) {}

    // Every file or folder given to -d, in order; false with a one-line
    // reason. With a cache folder, what they load to is kept there, and
    // taken from there while zipscan and every file stay as they are.
    bool LoadAll(const std::vector<std::string>& paths, const std::string& cacheFolder, std::string& error);
    // The warning line (without "zipscan: "), or "" when everything was read.
    std::string Warning() const;
    std::size_t Loaded() const { return loaded; }

private:
    // The database files a path given to -d stands for, added to files.
    bool Files(const std::string& path, std::vector<std::string>& files, std::string& error) const;
    // keyed, when not null: what the bytes read key a snapshot by.
    bool LoadFile(const std::string& path, std::string& error, SnapshotFile* keyed = nullptr);
    // One database's text; shown names it in errors, type is its extension.
    bool LoadText(const std::string& shown, const std::string& type, const std::string& text, std::string& error);
    bool LoadContainer(const std::string& path, const std::string& type, const std::string& bytes, std::string& error);
    bool LoadHashes(const std::string& shown, const std::string& type, const std::string& text, std::string& error);
    bool LoadBodies(const std::string& shown, const std::string& text, std::string& error);
    void NotRead(const std::string& what, std::size_t count);
    // What the load added from the signature firstSignature on, and back;
    // Restore changes nothing when the bytes do not hold a load.
    void Save(std::size_t firstSignature, SnapshotWriter& out) const;
    bool Restore(SnapshotReader& in, std::string& error);

    SignatureSet& set;
    std::map<std::string, std::size_t> notRead;  // by type, the signatures passed over
    std::size_t looseOffsets = 0;   // .ndb offsets other than '*', searched anywhere
    std::size_t looseTargets = 0;   // .ndb target types other than 0 and 1, searched in anything
    std::size_t loaded = 0;
    bool keepYara = false;  // YARA rules are kept as text for a snapshot
    std::vector<std::pair<std::string, std::string>> yaraTexts;  // shown as, text
};

} // namespace zipscan
