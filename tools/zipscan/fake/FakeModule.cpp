// A misbehaving stand-in for the module, for zipscan's tests only: it shows
// that zipscan refuses a broken module and never lets a faulty cleaning
// reach the original archive. ZIPSCAN_FAKE selects the fault:
//   handshake  refuses the handshake
//   noformat   offers a format other than zip
//   writes     writes to the archive even when nothing is to be cleaned
//   truncate   cleans by cutting the archive to 4 bytes, and says it changed it
//   nothing    changes nothing, but says it changed the archive
//   nested     "b.txt" of an archive of 64 bytes or more is itself an
//              archive (of 32 bytes), which holds the usual entries; the
//              verdict given to the outer "b.txt" is printed on stderr
//   nestedfail as nested, but the inner archive is never changed
// Every "archive" starting with PK and at least 22 bytes long is accepted;
// it is taken to hold the entries "a.txt" (data "fine") and "b.txt" (data
// "BAD").
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "plugin/ZipHost.h"

namespace {

std::string Mode()
{
    const char* m = std::getenv("ZIPSCAN_FAKE");
    return m ? m : "";
}

unsigned long long Length(VFStream* s)
{
    unsigned long long end = 0;
    s->Seek(0, 0, 2, &end);
    return end;
}

unsigned long long Base(unsigned int low, int high)
{
    return (static_cast<unsigned long long>(static_cast<unsigned int>(high)) << 32) | low;
}

} // namespace

extern "C" {

int VFCheckExtendModule(int magic, int* out1, int* out2, int* out3, int* out4)
{
    if (magic != 0x4B45544D || Mode() == "handshake") return 0;
    *out1 = static_cast<int>(0xF0000001u);
    *out2 = 1;
    *out3 = 0x700;
    *out4 = 1;
    return 0x4945544D;
}

int VFEnumAttributes(int index, int* attributes, char* name, void** recognizeSlot, void** decodeSlot,
                     void*, int* last)
{
    if (index != 0) return 1;
    *attributes = 0x01000004;
    std::strcpy(name, Mode() == "noformat" ? "rar" : "zip");
    *recognizeSlot = reinterpret_cast<void*>(&ZipArchive_Recongnize);
    *decodeSlot = reinterpret_cast<void*>(&ZipArchive_Decode);
    *last = 0;
    return 1;
}

int ZipArchive_Recongnize(VFStream* stream, void*, unsigned int baseLow, int baseHigh,
                          const unsigned char* firstBytes)
{
    if (firstBytes[0] != 'P' || firstBytes[1] != 'K') return 0;
    return Length(stream) >= Base(baseLow, baseHigh) + 22 ? 1 : 0;
}

int ZipArchive_Decode(VFStream* archive, void*, unsigned int baseLow, int baseHigh, VFStream* temporary,
                      VFDecodeCallback* callback)
{
    std::string mode = Mode();
    unsigned int put = 0;
    if (mode == "writes") archive->Write("X", 1, &put);
    int result = 0;
    const bool nested = mode == "nested" || mode == "nestedfail";
    const bool outer = nested && Length(archive) >= 64;
    const char* names[] = {"a.txt", "b.txt"};
    const char* data[] = {"fine", outer ? "PK------------------------------" : "BAD"};
    for (int i = 0; i < 2; ++i) {
        if (callback->WantEntry(names[i])) {
            temporary->SetSize(0, 0);
            temporary->Seek(0, 0, 0, nullptr);
            temporary->Write(data[i], static_cast<unsigned int>(std::strlen(data[i])), &put);
            unsigned long long size = std::strlen(data[i]);
            int verdict = callback->ScanEntry(archive, names[i], temporary, &size, 0, 0);
            if (outer && i == 1) std::fprintf(stderr, "fake: b.txt verdict %d\n", verdict);
            if ((verdict == 3 || verdict == 5) && !(nested && !outer && mode == "nestedfail")) {
                result = 3;
                if (mode == "truncate") {
                    unsigned long long cut = Base(baseLow, baseHigh) + 4;
                    archive->SetSize(static_cast<unsigned int>(cut), static_cast<unsigned int>(cut >> 32));
                }
            }
        }
        if (callback->IsStopRequested()) break;
    }
    return result;
}

int TestEntry(const char*)
{
    return 0;
}

} // extern "C"
