/*
 * zipext.h: the binary interface of the zipext module, for engines and
 * hosts written in C (or any language that can call C).
 *
 * The module is a shared library (libzipext.so, or zipext.dll on 32-bit
 * Windows) with five exports. It reaches the host through two kinds of
 * objects the host owns: streams (the archive, and a temporary stream each
 * entry is decoded into) and one callback object per decode. Both are
 * tables of function pointers whose layout is fixed: a host object starts
 * with a pointer to its table, and every function receives the object
 * itself as its first argument. The order of the slots below is the
 * engine's binary interface and never changes; a C++ host may instead
 * derive from the classes in plugin/VFInterfaces.h, which lay out the same.
 *
 * docs/embedding.md walks through the calls; examples/example_host.c is a
 * host that uses nothing but this header.
 */
#ifndef ZIPEXT_H
#define ZIPEXT_H

#include <stdint.h>

/* The slots' calling convention: __stdcall on 32-bit Windows (the object as
 * the first stack argument, as COM interfaces have it), the platform's C
 * convention everywhere else. The five exports use the C convention
 * everywhere (cdecl on 32-bit Windows). */
#if defined(_WIN32) && !defined(_WIN64)
#define ZIPEXT_CALL __stdcall
#else
#define ZIPEXT_CALL
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* ---- Constants ------------------------------------------------------ */

/* VFCheckExtendModule: the engine's magic goes in, the module's comes back. */
#define ZIPEXT_ENGINE_MAGIC 0x4B45544D
#define ZIPEXT_MODULE_MAGIC 0x4945544D
/* ... and the four values it writes (out1 to out4). */
#define ZIPEXT_MODULE_KIND 0xF0000001u
#define ZIPEXT_MODULE_OUT2 1
#define ZIPEXT_PROTOCOL_VERSION 0x700
#define ZIPEXT_MODULE_OUT4 1

/* VFEnumAttributes, index 0: the format's attributes and name. The name
 * buffer must hold at least ZIPEXT_FORMAT_NAME_SIZE bytes ("zip" and its
 * terminator). */
#define ZIPEXT_FORMAT_ATTRIBUTES 0x01000004
#define ZIPEXT_FORMAT_NAME "zip"
#define ZIPEXT_FORMAT_NAME_SIZE 4

/* A stream's seek origins. */
#define ZIPEXT_SEEK_SET 0
#define ZIPEXT_SEEK_CUR 1
#define ZIPEXT_SEEK_END 2

/* The verdicts of scan_entry the module acts on; any other value keeps the
 * entry as it is. */
#define ZIPEXT_VERDICT_CURED 3  /* the temporary stream holds the cured content */
#define ZIPEXT_VERDICT_DELETE 5 /* delete the entry */

/* ZipArchive_Decode's result when it rewrote the archive (0 otherwise). */
#define ZIPEXT_ARCHIVE_CHANGED 3

/* The size of the buffer query_password may write into (terminator included). */
#define ZIPEXT_PASSWORD_BUFFER 128

/* The ordinals of the exports in zipext.dll's export table (4 to 9 are empty). */
#define ZIPEXT_ORDINAL_CHECK_EXTEND_MODULE 1
#define ZIPEXT_ORDINAL_ENUM_ATTRIBUTES 2
#define ZIPEXT_ORDINAL_TEST_ENTRY 3
#define ZIPEXT_ORDINAL_DECODE 10
#define ZIPEXT_ORDINAL_RECOGNIZE 11

/* ---- Host objects --------------------------------------------------- */

typedef struct zipext_stream zipext_stream;
typedef struct zipext_callback zipext_callback;

/* A stream: the archive, or the temporary stream entries are decoded into. */
typedef struct zipext_stream_slots {
    /* Slots 0 to 7 belong to the engine; the module never calls them. */
    void(ZIPEXT_CALL* reserved0)(zipext_stream* self);
    void(ZIPEXT_CALL* reserved1)(zipext_stream* self);
    void(ZIPEXT_CALL* reserved2)(zipext_stream* self);
    void(ZIPEXT_CALL* reserved3)(zipext_stream* self);
    void(ZIPEXT_CALL* reserved4)(zipext_stream* self);
    void(ZIPEXT_CALL* reserved5)(zipext_stream* self);
    void(ZIPEXT_CALL* reserved6)(zipext_stream* self);
    void(ZIPEXT_CALL* reserved7)(zipext_stream* self);
    /* Slot 8: moves to origin (ZIPEXT_SEEK_*) plus the signed 64-bit offset
     * offsetHigh:offsetLow and writes the new position where newPosition is
     * not null (the module always passes one, and goes by it, not by the
     * status). */
    int32_t(ZIPEXT_CALL* seek)(zipext_stream* self, uint32_t offsetLow, int32_t offsetHigh, int32_t origin,
                               uint64_t* newPosition);
    /* Slot 9: reads up to count bytes at the position. 0 = success; any
     * other status counts as a read of 0 bytes. */
    int32_t(ZIPEXT_CALL* read)(zipext_stream* self, void* buffer, uint32_t count, uint32_t* bytesRead);
    /* Slot 10: writes at the position. The status is ignored: *bytesWritten
     * is what counts (a part is followed by a write of the rest; 0 bytes
     * ends the work). */
    int32_t(ZIPEXT_CALL* write)(zipext_stream* self, const void* buffer, uint32_t count,
                                uint32_t* bytesWritten);
    /* Slot 11: makes the stream sizeHigh:sizeLow bytes long. The status is
     * ignored: the module sees the effect in the stream's length. */
    int32_t(ZIPEXT_CALL* set_size)(zipext_stream* self, uint32_t sizeLow, uint32_t sizeHigh);
} zipext_stream_slots;

struct zipext_stream {
    const zipext_stream_slots* slots;
    /* A host puts its own state behind this (or around it). */
};

/* The engine's side of one decode. */
typedef struct zipext_callback_slots {
    /* Slot 0: non-zero asks the module to stop. */
    int32_t(ZIPEXT_CALL* is_stop_requested)(zipext_callback* self);
    /* Slot 1: 0 skips the entry. */
    int32_t(ZIPEXT_CALL* want_entry)(zipext_callback* self, const char* name);
    /* Slot 2: the temporary stream holds one content of the entry, and
     * *uncompressedSize is the number of bytes in it. The answer is a
     * verdict (ZIPEXT_VERDICT_*). reserved1 and reserved2 are 0. */
    int32_t(ZIPEXT_CALL* scan_entry)(zipext_callback* self, zipext_stream* archive, const char* name,
                                     zipext_stream* temporary, uint64_t* uncompressedSize, int32_t reserved1,
                                     int32_t reserved2);
    /* Slot 3: writes a NUL-terminated password of at most *bufferSize - 1
     * bytes into buffer and answers non-zero, or answers 0 to end the walk. */
    int32_t(ZIPEXT_CALL* query_password)(zipext_callback* self, const char* name, char* buffer,
                                         int32_t* bufferSize);
} zipext_callback_slots;

struct zipext_callback {
    const zipext_callback_slots* slots;
};

/* ---- The five exports ----------------------------------------------- */

typedef int32_t (*zipext_check_extend_module_fn)(int32_t magic, int32_t* out1, int32_t* out2, int32_t* out3,
                                                 int32_t* out4);
typedef int32_t (*zipext_enum_attributes_fn)(int32_t index, int32_t* attributes, char* name,
                                             void** recognizeSlot, void** decodeSlot, void* ignored,
                                             int32_t* last);
typedef int32_t (*zipext_recognize_fn)(zipext_stream* stream, void* ignored, uint32_t baseLow, int32_t baseHigh,
                                       const unsigned char* firstBytes);
typedef int32_t (*zipext_decode_fn)(zipext_stream* archive, void* ignored, uint32_t baseLow, int32_t baseHigh,
                                    zipext_stream* temporary, zipext_callback* callback);
typedef int32_t (*zipext_test_entry_fn)(const char* path);

/* For a host that links the module directly rather than loading it. A C++
 * file that also includes plugin/VFInterfaces.h (which declares the same
 * functions over its own classes) defines ZIPEXT_NO_PROTOTYPES. */
#ifndef ZIPEXT_NO_PROTOTYPES
/* ZIPEXT_MODULE_MAGIC when magic is ZIPEXT_ENGINE_MAGIC (and the four
 * values written), 0 otherwise. */
int32_t VFCheckExtendModule(int32_t magic, int32_t* out1, int32_t* out2, int32_t* out3, int32_t* out4);
/* Index 0 describes the format and hands out ZipArchive_Recongnize and
 * ZipArchive_Decode (as void*); every other index writes nothing. Always 1. */
int32_t VFEnumAttributes(int32_t index, int32_t* attributes, char* name, void** recognizeSlot,
                         void** decodeSlot, void* ignored, int32_t* last);
/* 1 when the stream holds a ZIP archive starting at baseHigh:baseLow;
 * firstBytes are the object's first two bytes at least. */
int32_t ZipArchive_Recongnize(zipext_stream* stream, void* ignored, uint32_t baseLow, int32_t baseHigh,
                              const unsigned char* firstBytes);
/* Hands every entry the callback wants to it through the temporary stream
 * and carries out its verdicts: ZIPEXT_ARCHIVE_CHANGED when the archive was
 * rewritten in place, 0 otherwise. */
int32_t ZipArchive_Decode(zipext_stream* archive, void* ignored, uint32_t baseLow, int32_t baseHigh,
                          zipext_stream* temporary, zipext_callback* callback);
/* Extracts the archive file at path below "Test" in the current directory.
 * Always 0. */
int32_t TestEntry(const char* path);
#endif

#ifdef __cplusplus
}
#endif

#endif /* ZIPEXT_H */
