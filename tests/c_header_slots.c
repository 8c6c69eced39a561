/* The C half of the check that include/zipext.h lays out the host objects
 * exactly as the module's C++ interfaces (plugin/VFInterfaces.h) do. Built
 * as C99 with -pedantic: the layout is asserted at compile time here, and
 * c_header_test.cpp calls these recording objects through the C++ classes
 * (and the C++ ones through these tables), slot by slot, so that a slot
 * moved on either side, or a calling convention that differs, fails. */
#include <stddef.h>
#include <string.h>

#include "include/zipext.h"

#include "c_header_slots.h"

/* C99 has no static assertion: an array of negative size stands in. */
#define LAYOUT_CHECK(name, holds) typedef char layout_check_##name[(holds) ? 1 : -1]
#define SLOT_SIZE sizeof(void (*)(void))

LAYOUT_CHECK(stream_starts_with_its_slots, offsetof(zipext_stream, slots) == 0);
LAYOUT_CHECK(callback_starts_with_its_slots, offsetof(zipext_callback, slots) == 0);
LAYOUT_CHECK(stream_slot_count, sizeof(zipext_stream_slots) == 12 * SLOT_SIZE);
LAYOUT_CHECK(reserved0_slot, offsetof(zipext_stream_slots, reserved0) == 0 * SLOT_SIZE);
LAYOUT_CHECK(reserved7_slot, offsetof(zipext_stream_slots, reserved7) == 7 * SLOT_SIZE);
LAYOUT_CHECK(seek_slot, offsetof(zipext_stream_slots, seek) == 8 * SLOT_SIZE);
LAYOUT_CHECK(read_slot, offsetof(zipext_stream_slots, read) == 9 * SLOT_SIZE);
LAYOUT_CHECK(write_slot, offsetof(zipext_stream_slots, write) == 10 * SLOT_SIZE);
LAYOUT_CHECK(set_size_slot, offsetof(zipext_stream_slots, set_size) == 11 * SLOT_SIZE);
LAYOUT_CHECK(callback_slot_count, sizeof(zipext_callback_slots) == 4 * SLOT_SIZE);
LAYOUT_CHECK(is_stop_requested_slot, offsetof(zipext_callback_slots, is_stop_requested) == 0 * SLOT_SIZE);
LAYOUT_CHECK(want_entry_slot, offsetof(zipext_callback_slots, want_entry) == 1 * SLOT_SIZE);
LAYOUT_CHECK(scan_entry_slot, offsetof(zipext_callback_slots, scan_entry) == 2 * SLOT_SIZE);
LAYOUT_CHECK(query_password_slot, offsetof(zipext_callback_slots, query_password) == 3 * SLOT_SIZE);
/* The prototypes and the function-pointer types a loading host uses are the
 * same types: comparing pointers of different types is a constraint
 * violation, an error under -Werror. */
LAYOUT_CHECK(check_type, sizeof((zipext_check_extend_module_fn)0 == &VFCheckExtendModule) > 0);
LAYOUT_CHECK(enum_type, sizeof((zipext_enum_attributes_fn)0 == &VFEnumAttributes) > 0);
LAYOUT_CHECK(recognize_type, sizeof((zipext_recognize_fn)0 == &ZipArchive_Recongnize) > 0);
LAYOUT_CHECK(decode_type, sizeof((zipext_decode_fn)0 == &ZipArchive_Decode) > 0);
LAYOUT_CHECK(test_entry_type, sizeof((zipext_test_entry_fn)0 == &TestEntry) > 0);
#if defined(_WIN32) && !defined(_WIN64)
/* The slots are __stdcall, as the C++ interfaces' are: a slot of another
 * convention is a distinct pointer type (the run-time calls alone would not
 * tell, as both conventions pass the arguments alike). */
int32_t __stdcall slot_check_stdcall_read(zipext_stream* self, void* buffer, uint32_t count, uint32_t* bytesRead);
LAYOUT_CHECK(slots_are_stdcall, sizeof(((const zipext_stream_slots*)0)->read == &slot_check_stdcall_read) > 0);
#endif

/* ---- C objects, called from C++ ---- */

typedef struct {
    zipext_stream base;
    struct slot_call call;
} recording_stream;

typedef struct {
    zipext_callback base;
    struct slot_call call;
} recording_callback;

static struct slot_call* stream_call(zipext_stream* self)
{
    return &((recording_stream*)(void*)self)->call;
}

static struct slot_call* callback_call(zipext_callback* self)
{
    return &((recording_callback*)(void*)self)->call;
}

static void note(struct slot_call* call, int slot, uint64_t a, uint64_t b, uint64_t c, uint64_t d)
{
    call->slot = slot;
    call->args[0] = a;
    call->args[1] = b;
    call->args[2] = c;
    call->args[3] = d;
}

#define RESERVED(n)                                                                                        \
    static void ZIPEXT_CALL reserved##n(zipext_stream* self) { note(stream_call(self), n, 0, 0, 0, 0); }
RESERVED(0)
RESERVED(1)
RESERVED(2)
RESERVED(3)
RESERVED(4)
RESERVED(5)
RESERVED(6)
RESERVED(7)

static int32_t ZIPEXT_CALL stream_seek(zipext_stream* self, uint32_t offsetLow, int32_t offsetHigh, int32_t origin,
                                       uint64_t* newPosition)
{
    note(stream_call(self), 8, offsetLow, (uint64_t)(int64_t)offsetHigh, (uint64_t)(int64_t)origin, 0);
    if (newPosition) *newPosition = SLOT_CHECK_POSITION;
    return 108;
}

static int32_t ZIPEXT_CALL stream_read(zipext_stream* self, void* buffer, uint32_t count, uint32_t* bytesRead)
{
    note(stream_call(self), 9, count, 0, 0, 0);
    memcpy(buffer, "read", count < 4 ? count : 4);
    *bytesRead = count < 4 ? count : 4;
    return 109;
}

static int32_t ZIPEXT_CALL stream_write(zipext_stream* self, const void* buffer, uint32_t count,
                                        uint32_t* bytesWritten)
{
    note(stream_call(self), 10, count, count > 0 ? *(const unsigned char*)buffer : 0, 0, 0);
    *bytesWritten = count / 2;
    return 110;
}

static int32_t ZIPEXT_CALL stream_set_size(zipext_stream* self, uint32_t sizeLow, uint32_t sizeHigh)
{
    note(stream_call(self), 11, sizeLow, sizeHigh, 0, 0);
    return 111;
}

static const zipext_stream_slots recording_stream_slots = {
    reserved0, reserved1, reserved2, reserved3, reserved4,  reserved5,
    reserved6, reserved7, stream_seek, stream_read, stream_write, stream_set_size,
};

static int32_t ZIPEXT_CALL callback_stop(zipext_callback* self)
{
    note(callback_call(self), 0, 0, 0, 0, 0);
    return 100;
}

static int32_t ZIPEXT_CALL callback_want(zipext_callback* self, const char* name)
{
    note(callback_call(self), 1, strlen(name), 0, 0, 0);
    return 101;
}

static int32_t ZIPEXT_CALL callback_scan(zipext_callback* self, zipext_stream* archive, const char* name,
                                         zipext_stream* temporary, uint64_t* uncompressedSize, int32_t reserved1,
                                         int32_t reserved2)
{
    note(callback_call(self), 2, (uint64_t)(archive == temporary), strlen(name), *uncompressedSize,
         (uint64_t)(reserved1 * 10 + reserved2));
    return 102;
}

static int32_t ZIPEXT_CALL callback_password(zipext_callback* self, const char* name, char* buffer,
                                             int32_t* bufferSize)
{
    note(callback_call(self), 3, strlen(name), (uint64_t)*bufferSize, 0, 0);
    strcpy(buffer, "pw");
    return 103;
}

static const zipext_callback_slots recording_callback_slots = {
    callback_stop,
    callback_want,
    callback_scan,
    callback_password,
};

static recording_stream the_stream = {{&recording_stream_slots}, {-1, {0, 0, 0, 0}}};
static recording_callback the_callback = {{&recording_callback_slots}, {-1, {0, 0, 0, 0}}};

void* slot_check_c_stream(void) { return &the_stream.base; }
void* slot_check_c_callback(void) { return &the_callback.base; }
struct slot_call slot_check_c_stream_call(void) { return the_stream.call; }
struct slot_call slot_check_c_callback_call(void) { return the_callback.call; }

/* ---- C++ objects, called from C ---- */

int32_t slot_check_call_stream(void* object, int slot)
{
    zipext_stream* s = (zipext_stream*)object;
    const zipext_stream_slots* t = s->slots;
    uint64_t position = 0;
    char buffer[8] = {0};
    uint32_t count = 0;
    switch (slot) {
    case 0: t->reserved0(s); return 0;
    case 1: t->reserved1(s); return 0;
    case 2: t->reserved2(s); return 0;
    case 3: t->reserved3(s); return 0;
    case 4: t->reserved4(s); return 0;
    case 5: t->reserved5(s); return 0;
    case 6: t->reserved6(s); return 0;
    case 7: t->reserved7(s); return 0;
    case 8: return t->seek(s, 0xFFFFFFF0u, -1, ZIPEXT_SEEK_END, &position) + (position == SLOT_CHECK_POSITION);
    case 9: return t->read(s, buffer, 6, &count) + (count == 3 && memcmp(buffer, "cpp", 3) == 0);
    case 10: return t->write(s, "w", 1, &count) + (count == 1);
    case 11: return t->set_size(s, 7, 9);
    default: return -1;
    }
}

int32_t slot_check_call_callback(void* object, int slot, void* stream)
{
    zipext_callback* c = (zipext_callback*)object;
    const zipext_callback_slots* t = c->slots;
    uint64_t size = 4242;
    char buffer[ZIPEXT_PASSWORD_BUFFER] = {0};
    int32_t bufferSize = ZIPEXT_PASSWORD_BUFFER;
    switch (slot) {
    case 0: return t->is_stop_requested(c);
    case 1: return t->want_entry(c, "entry.txt");
    case 2: return t->scan_entry(c, (zipext_stream*)stream, "entry.txt", (zipext_stream*)stream, &size, 1, 2);
    case 3: return t->query_password(c, "entry.txt", buffer, &bufferSize) + (strcmp(buffer, "cpp") == 0);
    default: return -1;
    }
}
