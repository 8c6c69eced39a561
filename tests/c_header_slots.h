#pragma once
/* The recording objects of c_header_slots.c, seen from both languages. */
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

/* The position every recording seek reports. */
#define SLOT_CHECK_POSITION 0x123456789ull

/* The last slot a recording object had called, and its arguments. */
struct slot_call {
    int slot;
    uint64_t args[4];
};

/* A zipext_stream and a zipext_callback written in C, and their last calls. */
void* slot_check_c_stream(void);
void* slot_check_c_callback(void);
struct slot_call slot_check_c_stream_call(void);
struct slot_call slot_check_c_callback_call(void);

/* Calls one slot of a C++ object through the C tables, with the arguments
 * c_header_test.cpp expects; the slot's result, plus 1 where what came
 * back through a pointer was right. */
int32_t slot_check_call_stream(void* object, int slot);
int32_t slot_check_call_callback(void* object, int slot, void* stream);

#ifdef __cplusplus
}
#endif
