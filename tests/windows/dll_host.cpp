// A minimal engine for the 32-bit Windows build: loads zipext.dll from the
// current directory the way the engine does (by ordinal), hands it
// memory-backed and file-backed streams through the __stdcall interfaces, and
// checks what comes back. With a folder argument it also hands every file in
// it (the archive fuzz target's seeds) to recognition and to a decode that
// deletes every entry, where only a return code may come back, never a
// crash; with the shared corpus's folder as a second argument, it checks
// what the DLL hands over of every entry of the methods read through
// libraries. Built and run under wine by scripts/test.sh windows.
#include <windows.h>

#include <zlib.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "plugin/ZipHost.h"
#include "support/fake_stream.h"

namespace {

int failures = 0;

void Check(bool ok, const char* what)
{
    std::printf("%s: %s\n", ok ? "PASS" : "FAIL", what);
    if (!ok) ++failures;
}

// Two stored entries, "clean.txt" and "bad.txt", as Python's zipfile writes
// them.
const unsigned char kTwoEntryZip[] = {
    0x50, 0x4b, 0x03, 0x04, 0x14, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x21, 0x50, 0x8b, 0x7b,
    0x79, 0x3a, 0x0e, 0x00, 0x00, 0x00, 0x0e, 0x00, 0x00, 0x00, 0x09, 0x00, 0x00, 0x00, 0x63, 0x6c,
    0x65, 0x61, 0x6e, 0x2e, 0x74, 0x78, 0x74, 0x68, 0x61, 0x72, 0x6d, 0x6c, 0x65, 0x73, 0x73, 0x20,
    0x74, 0x65, 0x78, 0x74, 0x0a, 0x50, 0x4b, 0x03, 0x04, 0x14, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00,
    0x00, 0x21, 0x50, 0xa9, 0x02, 0x4e, 0x11, 0x11, 0x00, 0x00, 0x00, 0x11, 0x00, 0x00, 0x00, 0x07,
    0x00, 0x00, 0x00, 0x62, 0x61, 0x64, 0x2e, 0x74, 0x78, 0x74, 0x58, 0x35, 0x4f, 0x2d, 0x74, 0x65,
    0x73, 0x74, 0x2d, 0x70, 0x61, 0x79, 0x6c, 0x6f, 0x61, 0x64, 0x0a, 0x50, 0x4b, 0x01, 0x02, 0x14,
    0x03, 0x14, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x21, 0x50, 0x8b, 0x7b, 0x79, 0x3a, 0x0e,
    0x00, 0x00, 0x00, 0x0e, 0x00, 0x00, 0x00, 0x09, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00,
    0x00, 0x00, 0x00, 0x80, 0x01, 0x00, 0x00, 0x00, 0x00, 0x63, 0x6c, 0x65, 0x61, 0x6e, 0x2e, 0x74,
    0x78, 0x74, 0x50, 0x4b, 0x01, 0x02, 0x14, 0x03, 0x14, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00,
    0x21, 0x50, 0xa9, 0x02, 0x4e, 0x11, 0x11, 0x00, 0x00, 0x00, 0x11, 0x00, 0x00, 0x00, 0x07, 0x00,
    0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x80, 0x01, 0x35, 0x00, 0x00, 0x00,
    0x62, 0x61, 0x64, 0x2e, 0x74, 0x78, 0x74, 0x50, 0x4b, 0x05, 0x06, 0x00, 0x00, 0x00, 0x00, 0x02,
    0x00, 0x02, 0x00, 0x6c, 0x00, 0x00, 0x00, 0x6b, 0x00, 0x00, 0x00, 0x00, 0x00,
};
const char kCleanText[] = "harmless text\n";
const char kBadText[] = "X5O-test-payload\n";

using Bytes = std::vector<unsigned char>;

Bytes TwoEntryZip() { return Bytes(kTwoEntryZip, kTwoEntryZip + sizeof kTwoEntryZip); }

// Memory-backed: the test kit's engine stream.
using MemoryStream = FakeHostStream;

// A stream over a file of its own in the temporary folder, through the
// Windows file calls, as an engine scanning a file on disk hands it over.
struct FileStream : VFStreamSlots {
    explicit FileStream(const Bytes& bytes = {})
    {
        char folder[MAX_PATH];
        char name[MAX_PATH];
        if (GetTempPathA(MAX_PATH, folder) && GetTempFileNameA(folder, "zxh", 0, name)) path = name;
        file = CreateFileA(path.c_str(), GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ, nullptr,
                           CREATE_ALWAYS, FILE_ATTRIBUTE_TEMPORARY, nullptr);
        DWORD put = 0;
        if (file != INVALID_HANDLE_VALUE && !bytes.empty())
            WriteFile(file, bytes.data(), static_cast<DWORD>(bytes.size()), &put, nullptr);
        Seek(0, 0, 0, nullptr);
    }
    ~FileStream()
    {
        if (file != INVALID_HANDLE_VALUE) CloseHandle(file);
        if (!path.empty()) DeleteFileA(path.c_str());
    }
    FileStream(const FileStream&) = delete;
    FileStream& operator=(const FileStream&) = delete;
    int VF_CALL Seek(unsigned int offsetLow, int offsetHigh, int origin,
                     unsigned long long* newPosition) override
    {
        LARGE_INTEGER distance, moved;
        distance.LowPart = offsetLow;
        distance.HighPart = offsetHigh;
        const DWORD how = origin == 1 ? FILE_CURRENT : origin == 2 ? FILE_END : FILE_BEGIN;
        if (!SetFilePointerEx(file, distance, &moved, how)) return -1;
        if (newPosition) *newPosition = static_cast<unsigned long long>(moved.QuadPart);
        return 0;
    }
    int VF_CALL Read(void* buffer, unsigned int count, unsigned int* bytesRead) override
    {
        DWORD got = 0;
        const BOOL ok = ReadFile(file, buffer, count, &got, nullptr);
        *bytesRead = got;
        return ok ? 0 : -1;
    }
    int VF_CALL Write(const void* buffer, unsigned int count, unsigned int* bytesWritten) override
    {
        DWORD put = 0;
        const BOOL ok = WriteFile(file, buffer, count, &put, nullptr);
        *bytesWritten = put;
        return ok ? 0 : -1;
    }
    int VF_CALL SetSize(unsigned int sizeLow, unsigned int sizeHigh) override
    {
        LARGE_INTEGER size, here, zero;
        zero.QuadPart = 0;
        size.LowPart = sizeLow;
        size.HighPart = static_cast<LONG>(sizeHigh);
        if (!SetFilePointerEx(file, zero, &here, FILE_CURRENT)) return -1;
        const bool ok = SetFilePointerEx(file, size, nullptr, FILE_BEGIN) && SetEndOfFile(file);
        SetFilePointerEx(file, here, nullptr, FILE_BEGIN);
        return ok ? 0 : -1;
    }
    Bytes Contents()
    {
        Bytes out;
        LARGE_INTEGER zero, here;
        zero.QuadPart = 0;
        SetFilePointerEx(file, zero, &here, FILE_CURRENT);
        SetFilePointerEx(file, zero, nullptr, FILE_BEGIN);
        unsigned char buffer[4096];
        DWORD got = 0;
        while (ReadFile(file, buffer, sizeof buffer, &got, nullptr) && got) out.insert(out.end(), buffer, buffer + got);
        SetFilePointerEx(file, here, nullptr, FILE_BEGIN);
        return out;
    }
    std::string path;
    HANDLE file = INVALID_HANDLE_VALUE;
};

// The whole of a stream, read through its own interface from the start.
Bytes ReadAll(VFStream* stream)
{
    Bytes out;
    stream->Seek(0, 0, 0, nullptr);
    unsigned char buffer[4096];
    unsigned got = 0;
    while (stream->Read(buffer, sizeof buffer, &got) == 0 && got) out.insert(out.end(), buffer, buffer + got);
    return out;
}

// Answers every entry with one verdict, except the one named entry; for a
// cure the new contents go through the temporary stream's own interface.
struct Engine : VFDecodeCallback {
    int VF_CALL IsStopRequested() override { return 0; }
    int VF_CALL WantEntry(const char*) override { return 1; }
    int VF_CALL ScanEntry(VFStream* archive, const char* name, VFStream* temporary,
                          unsigned long long* uncompressedSize, int, int) override
    {
        (void)archive;
        ++scans;
        names.push_back(name);
        const Bytes content = ReadAll(temporary);
        contents.push_back(std::string(content.begin(), content.end()));
        sizes.push_back(uncompressedSize ? *uncompressedSize : ~0ull);
        if (target != name && !(deleteAll && verdict == VF_VERDICT_DELETE)) return 0;
        if (verdict == VF_VERDICT_CURED) {
            unsigned written = 0;
            temporary->Seek(0, 0, 0, nullptr);
            temporary->SetSize(0, 0);
            temporary->Write(cure.data(), static_cast<unsigned>(cure.size()), &written);
        }
        return verdict;
    }
    int VF_CALL QueryPassword(const char*, char*, int*) override { return 0; }

    std::string target;
    bool deleteAll = false;
    int verdict = 0;
    std::string cure;
    int scans = 0;
    std::vector<std::string> names;
    std::vector<std::string> contents;
    std::vector<unsigned long long> sizes;
};

struct Module {
    HMODULE handle = nullptr;
    VFCheckExtendModuleFn check = nullptr;
    VFEnumAttributesFn enumerate = nullptr;
    TestEntryFn selfTest = nullptr;
    ZipArchiveDecodeFn decode = nullptr;
    ZipArchiveRecongnizeFn recognise = nullptr;
};

FARPROC ByOrdinal(HMODULE module, WORD ordinal)
{
    return GetProcAddress(module, MAKEINTRESOURCEA(ordinal));
}

template <typename F>
F As(FARPROC proc)
{
    return reinterpret_cast<F>(reinterpret_cast<void*>(proc));
}

bool Load(Module& m)
{
    m.handle = LoadLibraryA("zipext.dll");
    Check(m.handle != nullptr, "LoadLibraryA(zipext.dll)");
    if (!m.handle) {
        std::printf("     GetLastError %lu\n", GetLastError());
        return false;
    }
    struct Export {
        WORD ordinal;
        const char* name;
    };
    const Export exports[] = {{1, "VFCheckExtendModule"}, {2, "VFEnumAttributes"},
                              {3, "TestEntry"}, {10, "ZipArchive_Decode"},
                              {11, "ZipArchive_Recongnize"}};
    bool all = true;
    for (const Export& e : exports) {
        const FARPROC byOrdinal = ByOrdinal(m.handle, e.ordinal);
        const FARPROC byName = GetProcAddress(m.handle, e.name);
        char what[96];
        std::snprintf(what, sizeof what, "export %u %s by ordinal and by name", e.ordinal, e.name);
        Check(byOrdinal != nullptr && byOrdinal == byName, what);
        all = all && byOrdinal != nullptr && byOrdinal == byName;
    }
    if (!all) return false;
    m.check = As<VFCheckExtendModuleFn>(ByOrdinal(m.handle, 1));
    m.enumerate = As<VFEnumAttributesFn>(ByOrdinal(m.handle, 2));
    m.selfTest = As<TestEntryFn>(ByOrdinal(m.handle, 3));
    m.decode = As<ZipArchiveDecodeFn>(ByOrdinal(m.handle, 10));
    m.recognise = As<ZipArchiveRecongnizeFn>(ByOrdinal(m.handle, 11));
    return true;
}

void Handshake(const Module& m)
{
    int a = 7, b = 7, c = 7, d = 7;
    Check(m.check(0x4D54454B, &a, &b, &c, &d) == 0 && a + b + c + d == 28,
          "handshake refuses a wrong magic and leaves the outputs alone");
    const int answer = m.check(0x4B45544D, &a, &b, &c, &d);
    Check(answer == 0x4945544D && static_cast<unsigned>(a) == 0xF0000001u && b == 1 &&
              c == 0x700 && d == 1,
          "handshake answers 0x4945544D");

    int attributes = 0, last = 9;
    char name[8] = "xxxxxxx";
    void* recogniseSlot = nullptr;
    void* decodeSlot = nullptr;
    const int result = m.enumerate(0, &attributes, name, &recogniseSlot, &decodeSlot, nullptr, &last);
    Check(result == 1 && attributes == 0x01000004 && std::strcmp(name, "zip") == 0 && last == 0,
          "VFEnumAttributes(0) describes \"zip\"");
    Check(recogniseSlot == reinterpret_cast<void*>(ByOrdinal(m.handle, 11)) &&
              decodeSlot == reinterpret_cast<void*>(ByOrdinal(m.handle, 10)),
          "VFEnumAttributes(0) hands out ordinals 11 and 10");
}

template <typename Stream>
int Recognise(const Module& m, const Bytes& bytes, unsigned base)
{
    Stream stream(bytes);
    unsigned char first[2] = {0, 0};
    for (unsigned i = 0; i < 2 && base + i < bytes.size(); ++i) first[i] = bytes[base + i];
    return m.recognise(&stream, nullptr, base, 0, first);
}

template <typename Stream>
void Recognition(const Module& m)
{
    const auto Recognise = ::Recognise<Stream>;
    Check(Recognise(m, TwoEntryZip(), 0) == 1, "recognise a ZIP at base 0");
    Bytes shifted(300, 'M');
    const Bytes zip = TwoEntryZip();
    shifted.insert(shifted.end(), zip.begin(), zip.end());
    Check(Recognise(m, shifted, 300) == 1, "recognise a ZIP at base 300");
    Check(Recognise(m, shifted, 0) == 0, "no ZIP at base 0 of the shifted stream");
    Bytes text(200, 'A');
    Check(Recognise(m, text, 0) == 0, "recognise turns away plain text");
    // Entries whose directory is missing are still an archive; a "PK" with
    // neither a local header nor a directory is not.
    Bytes cut(zip.begin(), zip.begin() + 100);
    Check(Recognise(m, cut, 0) == 1, "recognise a cut-off ZIP by its local header");
    Bytes fake(zip.begin(), zip.begin() + 100);
    fake[2] = 'x';
    Check(Recognise(m, fake, 0) == 0, "recognise turns away PK without a record");
}

struct Decoded {
    int result;
    Bytes archive;
};

template <typename Stream>
Decoded Decode(const Module& m, const Bytes& bytes, unsigned base, Engine& engine)
{
    Stream archive(bytes);
    Stream temporary;
    const int result = m.decode(&archive, nullptr, base, 0, &temporary, &engine);
    return {result, archive.Contents()};
}

template <typename Stream>
void Cleaning(const Module& m)
{
    const auto Recognise = ::Recognise<Stream>;
    const auto Decode = ::Decode<Stream>;
    Engine clean;
    Decoded untouched = Decode(m, TwoEntryZip(), 0, clean);
    Check(untouched.result == 0 && untouched.archive == TwoEntryZip() && clean.scans == 2 &&
              clean.contents.size() == 2 && clean.contents[0] == kCleanText &&
              clean.contents[1] == kBadText && clean.sizes[0] == 14 && clean.sizes[1] == 17,
          "decode with verdict 0 scans both entries and changes nothing");

    Engine deleter;
    deleter.target = "bad.txt";
    deleter.verdict = VF_VERDICT_DELETE;
    Decoded deleted = Decode(m, TwoEntryZip(), 0, deleter);
    Check(deleted.result == 3 && deleter.scans == 2, "decode deleting bad.txt returns 3");
    Check(Recognise(m, deleted.archive, 0) == 1, "the cleaned archive is still a ZIP");
    Engine recount;
    Decoded again = Decode(m, deleted.archive, 0, recount);
    Check(again.result == 0 && recount.scans == 1 && recount.names[0] == "clean.txt" &&
              recount.contents[0] == kCleanText,
          "the cleaned archive holds clean.txt alone");

    // The same at a base offset: the bytes before the archive stay.
    Bytes shifted(64, 'M');
    const Bytes zip = TwoEntryZip();
    shifted.insert(shifted.end(), zip.begin(), zip.end());
    Engine shiftedDeleter;
    shiftedDeleter.target = "bad.txt";
    shiftedDeleter.verdict = VF_VERDICT_DELETE;
    Decoded shiftedDeleted = Decode(m, shifted, 64, shiftedDeleter);
    Engine shiftedRecount;
    const bool prefixKept = shiftedDeleted.archive.size() > 64 &&
                            Bytes(shiftedDeleted.archive.begin(), shiftedDeleted.archive.begin() + 64) ==
                                Bytes(64, 'M');
    Decoded shiftedAgain = Decode(m, shiftedDeleted.archive, 64, shiftedRecount);
    Check(shiftedDeleted.result == 3 && prefixKept && shiftedAgain.result == 0 &&
              shiftedRecount.scans == 1 && shiftedRecount.names[0] == "clean.txt",
          "delete at base 64 keeps the prefix and leaves clean.txt");

    const std::string cured = "cured and a little longer than before\n";
    Engine curer;
    curer.target = "bad.txt";
    curer.verdict = VF_VERDICT_CURED;
    curer.cure = cured;
    Decoded cureResult = Decode(m, TwoEntryZip(), 0, curer);
    Engine afterCure;
    Decoded afterCureScan = Decode(m, cureResult.archive, 0, afterCure);
    bool found = false;
    for (size_t i = 0; i < afterCure.names.size(); ++i)
        if (afterCure.names[i] == "bad.txt")
            found = afterCure.contents[i] == cured && afterCure.sizes[i] == cured.size();
    Check(cureResult.result == 3 && afterCureScan.result == 0 && afterCure.scans == 2 && found,
          "a cure replaces bad.txt with the engine's bytes");
}

std::string ReadFileText(const std::string& path)
{
    std::string text;
    HANDLE file = CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) return "<missing>";
    char buffer[256];
    DWORD got = 0;
    while (ReadFile(file, buffer, sizeof buffer, &got, nullptr) && got) text.append(buffer, got);
    CloseHandle(file);
    return text;
}

bool WriteFileBytes(const std::string& path, const Bytes& bytes)
{
    HANDLE file = CreateFileA(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) return false;
    DWORD put = 0;
    const bool ok = WriteFile(file, bytes.data(), static_cast<DWORD>(bytes.size()), &put, nullptr) &&
                    put == bytes.size();
    CloseHandle(file);
    return ok;
}

void SelfTest(const Module& m)
{
    char temp[MAX_PATH];
    if (!GetTempPathA(MAX_PATH, temp)) {
        Check(false, "GetTempPathA");
        return;
    }
    char work[MAX_PATH];
    std::snprintf(work, sizeof work, "%szipext_host_%lu", temp, GetCurrentProcessId());
    CreateDirectoryA(work, nullptr);
    const std::string dir = work;
    const std::string archivePath = dir + "\\two.zip";
    if (!WriteFileBytes(archivePath, TwoEntryZip())) {
        Check(false, "write the archive for TestEntry");
        return;
    }
    char previous[MAX_PATH];
    GetCurrentDirectoryA(MAX_PATH, previous);
    SetCurrentDirectoryA(work);
    const int result = m.selfTest(archivePath.c_str());
    const std::string clean = ReadFileText(dir + "\\Test\\clean.txt");
    const std::string bad = ReadFileText(dir + "\\Test\\bad.txt");
    Check(result == 0 && clean == kCleanText && bad == kBadText,
          "TestEntry extracts both entries into Test\\");
    Check(m.selfTest((dir + "\\missing.zip").c_str()) == 0 && m.selfTest(nullptr) == 0,
          "TestEntry of a missing file returns 0");
    SetCurrentDirectoryA(previous);
    DeleteFileA((dir + "\\Test\\clean.txt").c_str());
    DeleteFileA((dir + "\\Test\\bad.txt").c_str());
    RemoveDirectoryA((dir + "\\Test").c_str());
    DeleteFileA(archivePath.c_str());
    RemoveDirectoryA(work);
}

Bytes ReadFileBytes(const std::string& path)
{
    const std::string text = ReadFileText(path);
    return Bytes(text.begin(), text.end());
}

const char* currentSeed = nullptr;

LONG WINAPI ReportCrash(EXCEPTION_POINTERS* info)
{
    std::printf("FAIL: exception 0x%08lx in the module on seed %s\n",
                info->ExceptionRecord->ExceptionCode, currentSeed ? currentSeed : "(none)");
    std::fflush(stdout);
    return EXCEPTION_CONTINUE_SEARCH;
}

// Every file of the folder: recognition, then a decode whose engine deletes
// every entry. Recognition answers 0 or 1; the decode 0 with the archive left
// as it was, or 3.
void Seeds(const Module& m, const std::string& folder)
{
    WIN32_FIND_DATAA found;
    HANDLE search = FindFirstFileA((folder + "\\*").c_str(), &found);
    int files = 0, recognised = 0, changed = 0, wrong = 0;
    SetUnhandledExceptionFilter(ReportCrash);
    if (search != INVALID_HANDLE_VALUE) {
        do {
            if (found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) continue;
            const std::string path = folder + "\\" + found.cFileName;
            currentSeed = path.c_str();
            const Bytes bytes = ReadFileBytes(path);
            ++files;
            const int recognition = Recognise<MemoryStream>(m, bytes, 0);
            Engine deleter;
            deleter.deleteAll = true;
            deleter.verdict = VF_VERDICT_DELETE;
            const Decoded decoded = Decode<MemoryStream>(m, bytes, 0, deleter);
            const bool ok = (recognition == 0 || recognition == 1) &&
                            (decoded.result == 3 || (decoded.result == 0 && decoded.archive == bytes));
            if (!ok) {
                std::printf("FAIL: seed %s: recognition %d, decode %d\n", path.c_str(), recognition,
                            decoded.result);
                ++wrong;
            }
            recognised += recognition == 1;
            changed += decoded.result == 3;
        } while (FindNextFileA(search, &found));
        FindClose(search);
    }
    currentSeed = nullptr;
    std::printf("seeds: %d files, %d recognised, %d changed by deleting every entry\n", files, recognised,
                changed);
    Check(files > 0 && wrong == 0, "every seed gets codes only");
}

// The shared corpus's entries of the methods read through libraries (bzip2,
// LZMA, Zstandard, xz), decoded by the DLL: every one is handed over with
// the manifest's size and CRC-32, whether the temporary stream takes each
// write whole or only 333 or 7 bytes of it at a time.
void LaterMethods(const Module& m, const std::string& corpus)
{
    struct Row {
        std::string entry;
        unsigned long size;
        unsigned long crc;
    };
    std::vector<std::pair<std::string, std::vector<Row>>> archives;
    const std::string manifest = ReadFileText(corpus + "\\MANIFEST.tsv");
    size_t at = 0;
    while (at < manifest.size()) {
        size_t end = manifest.find('\n', at);
        if (end == std::string::npos) end = manifest.size();
        std::vector<std::string> fields;
        for (size_t f = at; f <= end;) {
            size_t tab = manifest.find('\t', f);
            if (tab == std::string::npos || tab > end) tab = end;
            fields.push_back(manifest.substr(f, tab - f));
            f = tab + 1;
        }
        at = end + 1;
        if (fields.size() < 9 || fields[8] != "-") continue;
        const std::string& method = fields[2];
        if (method != "12" && method != "14" && method != "93" && method != "95") continue;
        if (archives.empty() || archives.back().first != fields[0]) archives.push_back({fields[0], {}});
        archives.back().second.push_back(
            {fields[1], std::strtoul(fields[5].c_str(), nullptr, 10), std::strtoul(fields[6].c_str(), nullptr, 16)});
    }
    int entries = 0, exact = 0;
    for (const auto& archive : archives) {
        std::string path = corpus + "\\" + archive.first;
        for (char& c : path)
            if (c == '/') c = '\\';
        const Bytes bytes = ReadFileBytes(path);
        for (const unsigned accept : {0xFFFFFFFFu, 333u, 7u}) {
            FakeHostStream stream(bytes);
            FakeHostStream temporary;
            temporary.writeAcceptDefault = accept;
            temporary.keepCalls = false;
            Engine engine;
            const int result = m.decode(&stream, nullptr, 0, 0, &temporary, &engine);
            // The engine is given names with either separator.
            for (std::string& name : engine.names)
                for (char& c : name)
                    if (c == '\\') c = '/';
            for (const Row& row : archive.second) {
                ++entries;
                bool found = false;
                for (size_t i = 0; i < engine.names.size() && !found; ++i) {
                    const std::string& content = engine.contents[i];
                    found = engine.names[i] == row.entry && content.size() == row.size &&
                            crc32(0, reinterpret_cast<const Bytef*>(content.data()),
                                  static_cast<uInt>(content.size())) == row.crc;
                }
                exact += found;
                if (!found || result != 0)
                    std::printf("FAIL: %s: %s (writes of %u bytes): decode %d, %s\n", archive.first.c_str(),
                                row.entry.c_str(), accept, result, found ? "handed over" : "not handed over decoded");
            }
        }
    }
    std::printf("later methods: %d of %d entry readings exact\n", exact, entries);
    Check(entries > 0 && exact == entries, "every corpus entry of bzip2, LZMA, Zstandard and xz reads exactly");
}

} // namespace

int main(int argc, char** argv)
{
    Module m;
    if (Load(m)) {
        Handshake(m);
        std::printf("-- memory streams\n");
        Recognition<MemoryStream>(m);
        Cleaning<MemoryStream>(m);
        std::printf("-- file streams\n");
        Recognition<FileStream>(m);
        Cleaning<FileStream>(m);
        SelfTest(m);
        if (argc > 1) Seeds(m, argv[1]);
        if (argc > 2) LaterMethods(m, argv[2]);
        FreeLibrary(m.handle);
    }
    std::printf("%s: %d failure(s)\n", failures ? "FAIL" : "PASS", failures);
    return failures ? 1 : 0;
}
