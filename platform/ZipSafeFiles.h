#pragma once
#include <cstdint>
#include <ctime>
#include <memory>

// Files an extraction makes below a folder it must not leave, made so that
// no link can carry them elsewhere, even one swapped in after any check:
// the folder and every folder on the way are opened without following
// links (and held open), and each file is created anew relative to the
// opened folder, exclusively and without following a link (what had its
// name is removed first). A swap can only make a creation fail. Names are
// single path components, in the system's form.
//
// POSIX: descriptors from openat with O_NOFOLLOW | O_DIRECTORY, files with
// O_CREAT | O_EXCL | O_NOFOLLOW after unlinkat. Windows: each folder is
// held open without delete sharing (it can be neither renamed nor removed
// meanwhile) and refused when it is a reparse point; files are created with
// CREATE_NEW and FILE_FLAG_OPEN_REPARSE_POINT.
class CZipFolder {
public:
    CZipFolder();
    ~CZipFolder();
    CZipFolder(const CZipFolder&) = delete;
    CZipFolder& operator=(const CZipFolder&) = delete;

    // Opens the folder `name` of the current directory, made first when
    // missing; false when it cannot be made or opened, or is a link.
    bool Open(const char* name);
    // Opens the folder `name` right below `parent` the same way.
    bool Open(const CZipFolder& parent, const char* name);
    bool IsOpen() const;
    // MS-DOS attributes (0x01 read-only and the like) for the folder itself.
    bool SetAttributes(uint32_t attributes);

private:
    friend class CZipNewFile;
    struct State;
    std::unique_ptr<State> state;
};

class CZipNewFile {
public:
    CZipNewFile();
    ~CZipNewFile();
    CZipNewFile(const CZipNewFile&) = delete;
    CZipNewFile& operator=(const CZipNewFile&) = delete;

    // Creates the file `name` in the folder, empty and new.
    bool Create(const CZipFolder& folder, const char* name);
    // All of the bytes, or false.
    bool Write(const void* data, uint32_t size);
    // Gives the open file its modification time (-1: now) and MS-DOS
    // attributes, then closes it.
    bool Finish(time_t modified, uint32_t attributes);
    void Close();

private:
    struct State;
    std::unique_ptr<State> state;
};
