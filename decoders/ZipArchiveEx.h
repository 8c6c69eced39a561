#pragma once
#include <cstdint>
#include <memory>
#include <string>

#include "archive/ZipArchive.h"
#include "archive/ZipExtraField.h"
#include "decoders/ZipDecoder.h"

class CZipStream;
struct CZipLocalRecord;
class CZipAesDecryption;

// Whether this build decodes a compression method (the ones it cannot read
// are handed to the engine as stored).
bool ZipReadsMethod(uint16_t method);
// A fresh decoder of the method; none for the methods that cannot be read.
std::unique_ptr<CZipDecoder> ZipMakeDecoder(uint16_t method);
// Whether this build reads an entry as the header describes it: its method,
// or for WinZip AES (99) the real method its extra field names (or, where
// the header has none, the field of its local header), with the system's
// AES.
bool ZipReadsEntry(const CZipEntryHeader& header, const ZipAesInfo* localAes = nullptr);

// The archive object the exports use: the archive plus the decoder of the
// entry open for reading, and the operations that read entries.
//
// Calling order: OpenEntry, any number of ReadEntry, one CloseEntry. After an
// exception between OpenEntry and CloseEntry, CloseEntry(nullptr, true)
// frees the entry (the extraction loops do that themselves).
class CZipArchiveEx : public CZipArchive {
public:
    CZipArchiveEx();
    ~CZipArchiveEx() override;

    // False for an invalid index, while a spanned archive is being written or
    // while an entry is open. Throws 101 (local header, unknown method) and
    // 110 (no or wrong password).
    bool OpenEntry(uint16_t index);
    // Opens the entry's data where its local header puts it, read as `view`
    // says (method, flags, CRC and sizes), whatever the local and central
    // records say: the ways a hostile archive can be read by other tools.
    // Same results and throws as OpenEntry; the close checks no descriptor.
    // `local`, when given, is the entry's local header already read.
    bool OpenEntryAs(uint16_t index, const CZipEntryHeader& view, const CZipLocalRecord* local = nullptr);
    // The same for an entry no central record lists: its local header at a
    // stream position, its data going on at most to dataLimit (a stream
    // position) where the method carries its own end marker.
    bool OpenEntryAt(uint64_t localPosition, const CZipEntryHeader& view, uint64_t dataLimit,
                     const CZipLocalRecord* local = nullptr);
    // Makes the decoder of a compression method the current decoder; false
    // (and none) for the methods that cannot be read.
    bool CreateDecoder(uint16_t method);
    // Decoded bytes of the open entry; fewer than asked means its data ended.
    uint32_t ReadEntry(void* buffer, uint32_t length);
    // 1 closed (CRC matched or ignored), -1 closed before all data came,
    // -2 the file's time or attributes could not be set, 0 nothing was open.
    // Throws 102 on a CRC mismatch and 101 on a data descriptor that does not
    // match; the entry is closed either way.
    int CloseEntry(const char* path = nullptr, bool afterException = false);
    // Closes the stream, then the entry, and gives the file its time and
    // attributes.
    int CloseEntry(CZipStream& stream);
    void ReleaseDecoder();

    bool ExtractEntryToFile(uint16_t index, const char* path, bool fullPath = true,
                            const char* newName = nullptr, uint32_t bufferSize = 65536);
    // Appends the entry's bytes at the end of output.
    bool ExtractEntryToStream(uint16_t index, CZipStream& output, uint32_t bufferSize = 65536);

    CZipDecoder* CurrentDecoder() const { return decoder.get(); }
    // Stream position just past the open entry's data, where its method
    // read up to its own end marker; 0 where that is not known.
    uint64_t OpenDataEnd() const;
    // Deflate data of the entries opened from now on is read as leniently
    // as the libraries allow (see CZipLenientInflateDecoder): for a further
    // reading of data that zlib finds damaged.
    void ReadDeflateLeniently(bool on) { lenientInflate = on; }

protected:
    std::unique_ptr<CZipDecoder> decoder;

private:
    // The rest of an open once the stream stands at the entry's data; a
    // stream running past its compressed size is followed up to dataLimit.
    // An AES entry's extra field is taken from its local header (`localAes`)
    // where the header in use has none, as for an entry no central record
    // lists.
    void StartDecoder(uint64_t dataLimit, const ZipAesInfo* localAes = nullptr);
    // Stream position of the next record after the entry's local header
    // (the next entry's local header, or the directory).
    uint64_t NextRecordStart(uint16_t index) const;
    int FinishReading(const char* path);
    void ReleaseEntry(bool afterException);
    int CopyEntry(CZipStream& output, uint32_t bufferSize, CZipActionCallback* callback);

    // Stream position of the open entry's first data byte (its encryption
    // header, when it has one): the data descriptor is looked for behind
    // the compressed data from here, wherever the decoder stopped reading.
    uint64_t entryDataStart = 0;
    // The header an entry opened by OpenEntryAs is read with.
    std::unique_ptr<CZipEntryHeader> entryView;

    // A WinZip AES entry: the decryption, the header the decoder reads the
    // encrypted data with, and where the authentication code lies.
    void StartAesDecoder(const ZipAesInfo& info);
    // Whether the authentication code matches the encrypted data; throws
    // where the stream ends before it.
    bool VerifyAesCode();
    std::unique_ptr<CZipAesDecryption> aes;
    std::unique_ptr<CZipEntryHeader> aesView;
    uint64_t aesCodePosition = 0;
    bool aesChecksCrc = true;
    bool lenientInflate = false;
};
