#pragma once
// Compiled signature databases kept between runs, so that a big signature
// set is compiled once rather than at every start. zipscan often runs as
// root, so the cache trusts nothing it did not write itself: it lives in a
// folder of the current user that nobody else may write to, files are
// opened without following links and must belong to the user, be written
// by nobody else and have one name only, and a file is used only when its
// checksum holds and the key stored in it equals the key asked for. Any
// other file is passed over and replaced by a fresh one. Every failure of
// the cache is silent: the database is compiled as if there were none.
#include <cstddef>
#include <memory>
#include <string>
#include <utility>
#include <vector>

namespace zipscan {

class DatabaseCache {
public:
    // The folder: ZIPSCAN_CACHE_DIR when set, else $XDG_CACHE_HOME/zipscan,
    // else ~/.cache/zipscan. Empty when there is no home to put it in.
    static std::string DefaultFolder();

    explicit DatabaseCache(std::string folder) : folder(std::move(folder)) {}

    // The bytes stored for key (which names everything the bytes were made
    // from); false when there are none that can be trusted.
    // The buffer is left uninitialised until read into: a database of
    // megabytes is not cleared first.
    // slot, when not empty, names the file instead of the key: one file a
    // slot, replaced by each new key stored in it, so that databases whose
    // contents change day by day keep one file, not one a version.
    bool Load(const std::string& key, std::unique_ptr<char[]>& bytes, std::size_t& size,
              const std::string& slot = std::string()) const;
    // Stores bytes for key, replacing whatever file was there; created with
    // the folder when missing. False when it could not be done.
    bool Store(const std::string& key, const char* bytes, std::size_t size,
               const std::string& slot = std::string()) const;

private:
    int OpenFolder(bool create) const;  // a descriptor, or -1
    std::string folder;
};

} // namespace zipscan
