#pragma once
// The engine's host objects, declared exactly as the engine lays them out:
// the slot order, argument order and types are fixed by the engine's binary.
// Shared by the module, every test host and the command-line host.

#if defined(_WIN32) && !defined(_WIN64)
#define VF_CALL __stdcall
#else
#define VF_CALL
#endif

struct VFStream {
    // Slots 0 to 7 belong to the engine; the module never calls them.
    virtual void VF_CALL Reserved0() = 0;
    virtual void VF_CALL Reserved1() = 0;
    virtual void VF_CALL Reserved2() = 0;
    virtual void VF_CALL Reserved3() = 0;
    virtual void VF_CALL Reserved4() = 0;
    virtual void VF_CALL Reserved5() = 0;
    virtual void VF_CALL Reserved6() = 0;
    virtual void VF_CALL Reserved7() = 0;
    // slot 8: origin 0 = start, 1 = current, 2 = end; newPosition may be null
    virtual int VF_CALL Seek(unsigned int offsetLow, int offsetHigh, int origin,
                             unsigned long long* newPosition) = 0;
    // slot 9: status 0 = success, anything else counts as a read of 0 bytes
    virtual int VF_CALL Read(void* buffer, unsigned int count, unsigned int* bytesRead) = 0;
    // slot 10: the status is ignored; *bytesWritten is what counts
    virtual int VF_CALL Write(const void* buffer, unsigned int count,
                              unsigned int* bytesWritten) = 0;
    // slot 11
    virtual int VF_CALL SetSize(unsigned int sizeLow, unsigned int sizeHigh) = 0;
};

// An engine stream for hosts written in C++: the eight slots the module
// never calls are filled, so a host writes only the four it uses.
struct VFStreamSlots : VFStream {
    void VF_CALL Reserved0() override {}
    void VF_CALL Reserved1() override {}
    void VF_CALL Reserved2() override {}
    void VF_CALL Reserved3() override {}
    void VF_CALL Reserved4() override {}
    void VF_CALL Reserved5() override {}
    void VF_CALL Reserved6() override {}
    void VF_CALL Reserved7() override {}
};

struct VFDecodeCallback {
    virtual int VF_CALL IsStopRequested() = 0;                      // slot 0: non-zero = stop
    virtual int VF_CALL WantEntry(const char* name) = 0;            // slot 1: 0 = skip
    virtual int VF_CALL ScanEntry(VFStream* archive, const char* name, VFStream* temporary,
                                  unsigned long long* uncompressedSize,
                                  int reserved1, int reserved2) = 0;   // slot 2: verdict, 3 cured, 5 delete
    virtual int VF_CALL QueryPassword(const char* name, char* buffer,
                                      int* bufferSize) = 0;         // slot 3: non-zero = password written
};

// Verdicts of ScanEntry that the module acts on.
enum : int { VF_VERDICT_CURED = 3, VF_VERDICT_DELETE = 5 };
// Size of the password buffer handed to QueryPassword.
enum : int { VF_PASSWORD_BUFFER = 128 };

#if defined(_WIN32)
#define ZIPEXT_EXPORT __declspec(dllexport)
#else
#define ZIPEXT_EXPORT __attribute__((visibility("default")))
#endif

extern "C" {
ZIPEXT_EXPORT int VFCheckExtendModule(int magic, int* out1, int* out2, int* out3, int* out4);
ZIPEXT_EXPORT int VFEnumAttributes(int index, int* attributes, char* name, void** recognizeSlot,
                                   void** decodeSlot, void* ignored, int* last);
ZIPEXT_EXPORT int ZipArchive_Recongnize(VFStream* stream, void* ignored, unsigned int baseLow,
                                        int baseHigh, const unsigned char* firstBytes);
ZIPEXT_EXPORT int ZipArchive_Decode(VFStream* archive, void* ignored, unsigned int baseLow,
                                    int baseHigh, VFStream* temporary,
                                    VFDecodeCallback* callback);
ZIPEXT_EXPORT int TestEntry(const char* path);
}

// Function-pointer types for hosts that load the module dynamically.
using VFCheckExtendModuleFn = int (*)(int, int*, int*, int*, int*);
using VFEnumAttributesFn = int (*)(int, int*, char*, void**, void**, void*, int*);
using ZipArchiveRecongnizeFn = int (*)(VFStream*, void*, unsigned int, int, const unsigned char*);
using ZipArchiveDecodeFn = int (*)(VFStream*, void*, unsigned int, int, VFStream*,
                                   VFDecodeCallback*);
using TestEntryFn = int (*)(const char*);
