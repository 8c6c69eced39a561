#include "platform/ZipAttributes.h"

#include "errors/ZipException.h"

// Every conversion passes through the MS-DOS attribute form: the source
// system's word is turned into MS-DOS bits, which are then turned into the
// target system's word.
namespace {

constexpr uint32_t dosReadOnly = 0x01;
constexpr uint32_t dosHidden = 0x02;
constexpr uint32_t dosDirectory = 0x10;
constexpr uint32_t dosArchive = 0x20;

// The Unix mode sits in the high half of the external attribute word.
constexpr uint32_t unixTypeDirectory = 0x40000000u;    // S_IFDIR << 16
constexpr uint32_t unixTypeRegular = 0x80000000u;      // S_IFREG << 16
constexpr uint32_t unixOwnerRead = 0x01000000u;        // 0400 << 16
constexpr uint32_t unixOwnerWrite = 0x00800000u;       // 0200 << 16
constexpr uint32_t unixOwnerExecute = 0x00400000u;     // 0100 << 16
constexpr uint32_t unixReadAll = 0x01240000u;          // 0444 << 16
constexpr uint32_t unixWriteOwnerGroup = 0x00900000u;  // 0220 << 16

typedef uint32_t (*Converter)(uint32_t);

uint32_t Identity(uint32_t attributes) { return attributes; }

uint32_t UnixToDos(uint32_t attributes)
{
    uint32_t dos = (attributes & unixTypeDirectory) ? dosDirectory : 0;
    // Only the owner's permissions speak for the file; a file the owner may
    // not execute is an ordinary document and gets the archive bit.
    if (!(attributes & unixOwnerExecute)) dos |= dosArchive;
    if (!(attributes & unixOwnerWrite)) dos |= dosReadOnly;
    if (!(attributes & unixOwnerRead)) dos |= dosHidden;
    return dos;
}

uint32_t DosToUnix(uint32_t attributes)
{
    uint32_t mode = (attributes & dosHidden) ? 0 : unixReadAll;
    if (!(attributes & dosReadOnly)) mode |= unixWriteOwnerGroup;
    // The MS-DOS directory bit stays as well, for readers that look there.
    mode |= (attributes & dosDirectory) ? (unixTypeDirectory | dosDirectory) : unixTypeRegular;
    return mode;
}

// Classic Mac OS only knows locked and folder.
uint32_t MacKeep(uint32_t attributes) { return attributes & (dosReadOnly | dosDirectory); }

struct SystemConverter {
    Converter toDos;
    Converter fromDos;
};

// Indexed by system id 0..10; null where the system has no converter.
const SystemConverter converters[11] = {
    {Identity, Identity},    // 0 MS-DOS, OS/2 FAT
    {nullptr, nullptr},      // 1 Amiga
    {nullptr, nullptr},      // 2 OpenVMS
    {UnixToDos, DosToUnix},  // 3 Unix
    {nullptr, nullptr},      // 4 VM/CMS
    {nullptr, nullptr},      // 5 Atari ST
    {Identity, Identity},    // 6 OS/2 HPFS
    {MacKeep, MacKeep},      // 7 Macintosh
    {nullptr, nullptr},      // 8 Z-System
    {nullptr, nullptr},      // 9 CP/M
    {Identity, Identity},    // 10 Windows NTFS
};

bool HasTableEntry(int id) { return id >= 0 && id <= 10; }

}  // namespace

uint32_t ConvertAttributes(uint32_t attributes, int fromId, int toId)
{
    // Systems past the table are unknown: their words pass through untouched.
    if (fromId == toId || !HasTableEntry(fromId) || !HasTableEntry(toId)) return attributes;
    const SystemConverter& from = converters[fromId];
    const SystemConverter& to = converters[toId];
    if (!from.toDos || !to.fromDos) ThrowZipException(ZipError::platformNotSupported);
    return to.fromDos(from.toDos(attributes));
}

bool IsSupportedSystem(int id)
{
    return HasTableEntry(id) && converters[id].toDos != nullptr;
}

bool HasDirectoryBit(uint32_t attributes) { return (attributes & dosDirectory) != 0; }
