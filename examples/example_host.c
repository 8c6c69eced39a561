/*
 * A minimal engine host for the zipext module, in C99, using nothing but
 * include/zipext.h. It loads the module, checks that it speaks the
 * protocol, asks it whether a file is a ZIP archive, and has every entry
 * decoded into a temporary stream of its own, printing each entry's size
 * and name as the module hands it over. It gives no verdicts, so the
 * archive is never changed.
 *
 *     example_host MODULE ARCHIVE [PASSWORD]
 *
 * MODULE is the path of libzipext.so (zipext.dll on Windows). Without a
 * PASSWORD, encrypted entries are skipped. docs/embedding.md walks through
 * this file.
 */
#include <inttypes.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#ifdef _WIN32
#include <windows.h>
#else
#include <dlfcn.h>
#endif

#include "zipext.h"

/* ---- A stream over a block of memory that grows as it is written ---- */

typedef struct {
    zipext_stream base; /* first, so the module's zipext_stream* is ours */
    unsigned char* bytes;
    uint64_t size;
    uint64_t capacity;
    uint64_t position;
} memory_stream;

/* Makes room for `need` bytes; 0 when there is no memory for them. */
static int memory_reserve(memory_stream* m, uint64_t need)
{
    uint64_t capacity = m->capacity ? m->capacity : 4096;
    unsigned char* bigger;
    if (need <= m->capacity) return 1;
    while (capacity < need) {
        if (capacity > UINT64_MAX / 2) return 0;
        capacity *= 2;
    }
    if (capacity > (size_t)-1) return 0;
    bigger = realloc(m->bytes, (size_t)capacity);
    if (!bigger) return 0;
    m->bytes = bigger;
    m->capacity = capacity;
    return 1;
}

/* The module never calls slots 0 to 7, but an engine's table is full. */
static void ZIPEXT_CALL memory_unused(zipext_stream* self) { (void)self; }

static int32_t ZIPEXT_CALL memory_seek(zipext_stream* self, uint32_t offsetLow, int32_t offsetHigh, int32_t origin,
                                       uint64_t* newPosition)
{
    memory_stream* m = (memory_stream*)self;
    const int64_t offset = (int64_t)(((uint64_t)(uint32_t)offsetHigh << 32) | offsetLow);
    const int64_t from = origin == ZIPEXT_SEEK_CUR ? (int64_t)m->position
                         : origin == ZIPEXT_SEEK_END ? (int64_t)m->size
                                                     : 0;
    const int ok = offset >= 0 ? offset <= INT64_MAX - from : from + offset >= 0;
    if (ok) m->position = (uint64_t)(from + offset);
    /* The module goes by the position written here, also after a failure. */
    if (newPosition) *newPosition = m->position;
    return ok ? 0 : -1;
}

static int32_t ZIPEXT_CALL memory_read(zipext_stream* self, void* buffer, uint32_t count, uint32_t* bytesRead)
{
    memory_stream* m = (memory_stream*)self;
    const uint64_t left = m->position < m->size ? m->size - m->position : 0;
    const uint32_t n = count < left ? count : (uint32_t)left;
    if (n > 0) memcpy(buffer, m->bytes + m->position, n);
    m->position += n;
    *bytesRead = n;
    return 0;
}

static int32_t ZIPEXT_CALL memory_write(zipext_stream* self, const void* buffer, uint32_t count,
                                        uint32_t* bytesWritten)
{
    memory_stream* m = (memory_stream*)self;
    *bytesWritten = 0;
    /* Taking nothing tells the module that the stream is full. */
    if (!memory_reserve(m, m->position + count)) return -1;
    if (m->position > m->size) memset(m->bytes + m->size, 0, (size_t)(m->position - m->size));
    memcpy(m->bytes + m->position, buffer, count);
    m->position += count;
    if (m->position > m->size) m->size = m->position;
    *bytesWritten = count;
    return 0;
}

static int32_t ZIPEXT_CALL memory_set_size(zipext_stream* self, uint32_t sizeLow, uint32_t sizeHigh)
{
    memory_stream* m = (memory_stream*)self;
    const uint64_t size = (uint64_t)sizeHigh << 32 | sizeLow;
    if (!memory_reserve(m, size)) return -1;
    if (size > m->size) memset(m->bytes + m->size, 0, (size_t)(size - m->size));
    m->size = size;
    return 0;
}

static const zipext_stream_slots memory_slots = {
    memory_unused, memory_unused, memory_unused, memory_unused, memory_unused,  memory_unused,
    memory_unused, memory_unused, memory_seek,   memory_read,   memory_write, memory_set_size,
};

static void memory_init(memory_stream* m)
{
    memset(m, 0, sizeof *m);
    m->base.slots = &memory_slots;
}

/* Reads a whole file into the stream; 0 when it cannot. */
static int memory_load(memory_stream* m, const char* path)
{
    unsigned char chunk[65536];
    uint32_t written = 0;
    size_t n;
    FILE* file = fopen(path, "rb");
    if (!file) return 0;
    while ((n = fread(chunk, 1, sizeof chunk, file)) > 0) {
        memory_write(&m->base, chunk, (uint32_t)n, &written);
        if (written != n) break;
    }
    fclose(file);
    m->position = 0;
    return n == 0;
}

/* ---- The engine's side of a decode ---- */

typedef struct {
    zipext_callback base; /* first, as in the stream */
    const char* password;
    unsigned handedOver;
} host_callback;

static int32_t ZIPEXT_CALL host_stop(zipext_callback* self)
{
    (void)self;
    return 0; /* an engine answers 1 here to cut a long decode short */
}

static int32_t ZIPEXT_CALL host_want(zipext_callback* self, const char* name)
{
    (void)self;
    (void)name;
    return 1; /* every entry */
}

static int32_t ZIPEXT_CALL host_scan(zipext_callback* self, zipext_stream* archive, const char* name,
                                     zipext_stream* temporary, uint64_t* uncompressedSize, int32_t reserved1,
                                     int32_t reserved2)
{
    host_callback* h = (host_callback*)self;
    const memory_stream* content = (const memory_stream*)temporary;
    (void)archive;
    (void)reserved1;
    (void)reserved2;
    /* The temporary stream holds exactly *uncompressedSize bytes: this is
     * where an engine would scan content->bytes. */
    printf("%10" PRIu64 "  %s%s\n", *uncompressedSize, name, content->size == *uncompressedSize ? "" : "  (size differs)");
    ++h->handedOver;
    return 0; /* no verdict: keep the entry */
}

static int32_t ZIPEXT_CALL host_password(zipext_callback* self, const char* name, char* buffer, int32_t* bufferSize)
{
    host_callback* h = (host_callback*)self;
    const char* password = h->password ? h->password : "";
    (void)name;
    if (strlen(password) >= (size_t)*bufferSize) return 0; /* 0 ends the walk */
    /* An empty password skips this entry; the walk goes on. */
    strcpy(buffer, password);
    return 1;
}

static const zipext_callback_slots host_slots = {host_stop, host_want, host_scan, host_password};

/* ---- Loading the module ---- */

#ifdef _WIN32
typedef HMODULE library;
static library library_open(const char* path) { return LoadLibraryA(path); }
static void library_close(library l) { FreeLibrary(l); }
#else
typedef void* library;
static library library_open(const char* path) { return dlopen(path, RTLD_NOW | RTLD_LOCAL); }
static void library_close(library l) { dlclose(l); }
#endif

/* Stores the export `name` in the function pointer at `out`; 0 when the
 * module has none. ISO C converts no object pointer to a function pointer,
 * so the address is copied as bytes. (zipext.dll also has the ordinals
 * ZIPEXT_ORDINAL_*, which an engine may look up instead of names.) */
static int library_export(library l, const char* name, void* out)
{
#ifdef _WIN32
    FARPROC address = GetProcAddress(l, name);
#else
    void* address = dlsym(l, name);
#endif
    memcpy(out, &address, sizeof address);
    return address != NULL;
}

int main(int argc, char** argv)
{
    zipext_check_extend_module_fn check;
    zipext_enum_attributes_fn enumerate;
    zipext_recognize_fn recognize;
    zipext_decode_fn decode;
    void *recognizeSlot = NULL, *decodeSlot = NULL;
    int32_t out1, out2, out3, out4, attributes = 0, last = 0, result;
    char format[ZIPEXT_FORMAT_NAME_SIZE] = "";
    memory_stream archive, temporary;
    host_callback callback;
    library module;

    if (argc < 3) {
        fprintf(stderr, "usage: %s MODULE ARCHIVE [PASSWORD]\n", argv[0]);
        return 2;
    }
    /* 1. Load the module and check that it speaks the protocol. */
    module = library_open(argv[1]);
    if (!module || !library_export(module, "VFCheckExtendModule", &check) ||
        !library_export(module, "VFEnumAttributes", &enumerate) ||
        check(ZIPEXT_ENGINE_MAGIC, &out1, &out2, &out3, &out4) != ZIPEXT_MODULE_MAGIC) {
        fprintf(stderr, "%s: not a zipext module\n", argv[1]);
        return 2;
    }
    /* 2. Format 0 is ZIP: its recognizer and decoder come as addresses. */
    enumerate(0, &attributes, format, &recognizeSlot, &decodeSlot, NULL, &last);
    if (strcmp(format, ZIPEXT_FORMAT_NAME) != 0 || !recognizeSlot || !decodeSlot) {
        fprintf(stderr, "%s: no ZIP format\n", argv[1]);
        return 2;
    }
    memcpy(&recognize, &recognizeSlot, sizeof recognize);
    memcpy(&decode, &decodeSlot, sizeof decode);

    /* 3. Is the file a ZIP archive? The first bytes are the object's own. */
    memory_init(&archive);
    memory_init(&temporary);
    if (!memory_load(&archive, argv[2])) {
        fprintf(stderr, "%s: cannot read\n", argv[2]);
        free(archive.bytes);
        library_close(module);
        return 2;
    }
    if (archive.size < 2 || !recognize(&archive.base, NULL, 0, 0, archive.bytes)) {
        printf("%s: not a ZIP archive\n", argv[2]);
        free(archive.bytes);
        library_close(module);
        return 1;
    }

    /* 4. Decode: every entry through the temporary stream to host_scan. */
    memset(&callback, 0, sizeof callback);
    callback.base.slots = &host_slots;
    callback.password = argc > 3 ? argv[3] : NULL;
    result = decode(&archive.base, NULL, 0, 0, &temporary.base, &callback.base);
    printf("%u contents handed over; the archive was %s\n", callback.handedOver,
           result == ZIPEXT_ARCHIVE_CHANGED ? "changed" : "left as it was");

    free(archive.bytes);
    free(temporary.bytes);
    library_close(module);
    return 0;
}
