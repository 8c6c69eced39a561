// The C header for engine integrators (include/zipext.h) against the C++
// interfaces the module implements (plugin/VFInterfaces.h): the exports'
// types and the constants at compile time, and the slots at run time by
// calling C objects through the C++ classes and C++ objects through the C
// tables (c_header_slots.c). Under the 32-bit Windows build this also holds
// the two sides to one calling convention.
#include <gtest/gtest.h>

#include <cstring>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <string_view>
#include <type_traits>

#define ZIPEXT_NO_PROTOTYPES
#include "include/zipext.h"
#include "plugin/VFInterfaces.h"

#include "c_header_slots.h"

namespace {

// One parameter of an export declared in each header: the same size and
// signedness, or pointers to such (the host objects themselves are held
// to one layout slot by slot below).
template <class A, class B>
constexpr bool Alike()
{
    if constexpr (std::is_pointer_v<A> && std::is_pointer_v<B>) {
        using PA = std::remove_pointer_t<A>;
        using PB = std::remove_pointer_t<B>;
        if constexpr (std::is_const_v<PA> != std::is_const_v<PB>)
            return false;
        else if constexpr (std::is_class_v<PA> && std::is_class_v<PB>)
            return sizeof(PA) == sizeof(PB);
        else
            return Alike<std::remove_cv_t<PA>, std::remove_cv_t<PB>>();
    } else if constexpr (std::is_arithmetic_v<A> && std::is_arithmetic_v<B>) {
        return sizeof(A) == sizeof(B) && std::is_signed_v<A> == std::is_signed_v<B>;
    } else {
        return std::is_same_v<A, B>;
    }
}

template <class F, class G>
struct SameCall : std::false_type {};
template <class R, class... A, class S, class... B>
struct SameCall<R (*)(A...), S (*)(B...)> {
    static constexpr bool value = [] {
        if constexpr (sizeof...(A) != sizeof...(B))
            return false;
        else
            return Alike<R, S>() && (Alike<A, B>() && ...);
    }();
};

static_assert(SameCall<zipext_check_extend_module_fn, VFCheckExtendModuleFn>::value);
static_assert(SameCall<zipext_enum_attributes_fn, VFEnumAttributesFn>::value);
static_assert(SameCall<zipext_recognize_fn, ZipArchiveRecongnizeFn>::value);
static_assert(SameCall<zipext_decode_fn, ZipArchiveDecodeFn>::value);
static_assert(SameCall<zipext_test_entry_fn, TestEntryFn>::value);
static_assert(SameCall<VFCheckExtendModuleFn, decltype(&VFCheckExtendModule)>::value);
static_assert(SameCall<ZipArchiveDecodeFn, decltype(&ZipArchive_Decode)>::value);
static_assert(sizeof(zipext_stream) == sizeof(VFStream) && sizeof(zipext_callback) == sizeof(VFDecodeCallback));
static_assert(ZIPEXT_VERDICT_CURED == VF_VERDICT_CURED && ZIPEXT_VERDICT_DELETE == VF_VERDICT_DELETE);
static_assert(ZIPEXT_PASSWORD_BUFFER == VF_PASSWORD_BUFFER);
// One calling convention for the slots in both headers (c_header_slots.c
// holds the C one to __stdcall on 32-bit Windows).
#define ZIPEXT_TEXT(x) #x
#define ZIPEXT_TEXT_OF(x) ZIPEXT_TEXT(x)
static_assert(std::string_view(ZIPEXT_TEXT_OF(VF_CALL)) == std::string_view(ZIPEXT_TEXT_OF(ZIPEXT_CALL)));

// A C++ stream and callback that note which slot was called and with what.
struct CppStream : VFStream {
    slot_call call{-1, {}};
    void Note(int slot, uint64_t a = 0, uint64_t b = 0, uint64_t c = 0)
    {
        call = slot_call{slot, {a, b, c, 0}};
    }
    void VF_CALL Reserved0() override { Note(0); }
    void VF_CALL Reserved1() override { Note(1); }
    void VF_CALL Reserved2() override { Note(2); }
    void VF_CALL Reserved3() override { Note(3); }
    void VF_CALL Reserved4() override { Note(4); }
    void VF_CALL Reserved5() override { Note(5); }
    void VF_CALL Reserved6() override { Note(6); }
    void VF_CALL Reserved7() override { Note(7); }
    int VF_CALL Seek(unsigned int low, int high, int origin, unsigned long long* position) override
    {
        Note(8, low, static_cast<uint64_t>(static_cast<int64_t>(high)), static_cast<uint64_t>(origin));
        *position = SLOT_CHECK_POSITION;
        return 208;
    }
    int VF_CALL Read(void* buffer, unsigned int count, unsigned int* got) override
    {
        Note(9, count);
        std::memcpy(buffer, "cpp", 3);
        *got = 3;
        return 209;
    }
    int VF_CALL Write(const void* buffer, unsigned int count, unsigned int* put) override
    {
        Note(10, count, *static_cast<const unsigned char*>(buffer));
        *put = count;
        return 210;
    }
    int VF_CALL SetSize(unsigned int low, unsigned int high) override
    {
        Note(11, low, high);
        return 211;
    }
};

struct CppCallback : VFDecodeCallback {
    slot_call call{-1, {}};
    std::string name;
    int VF_CALL IsStopRequested() override
    {
        call = slot_call{0, {}};
        return 200;
    }
    int VF_CALL WantEntry(const char* n) override
    {
        call = slot_call{1, {}};
        name = n;
        return 201;
    }
    int VF_CALL ScanEntry(VFStream* archive, const char* n, VFStream* temporary, unsigned long long* size,
                          int reserved1, int reserved2) override
    {
        call = slot_call{2, {archive == temporary, *size, static_cast<uint64_t>(reserved1 * 10 + reserved2), 0}};
        name = n;
        return 202;
    }
    int VF_CALL QueryPassword(const char* n, char* buffer, int* size) override
    {
        call = slot_call{3, {static_cast<uint64_t>(*size)}};
        name = n;
        std::strcpy(buffer, "cpp");
        return 203;
    }
};

} // namespace

namespace {

// The C objects carry no C++ type information, which the sanitizer's check
// of a member call's dynamic type would take for a corrupt object: the
// calls on them are made here, unchecked, and looked at in the tests.
#define ZIPEXT_FOREIGN_OBJECT __attribute__((no_sanitize("vptr")))

struct StreamCalls {
    slot_call calls[12];
    int results[12];
    unsigned long long position = 0;
    char read[8] = {};
    unsigned int got = 0;
    unsigned int put = 0;
};

ZIPEXT_FOREIGN_OBJECT StreamCalls CallEveryStreamSlot(VFStream* s)
{
    StreamCalls r;
    s->Reserved0();
    r.calls[0] = slot_check_c_stream_call();
    s->Reserved1();
    r.calls[1] = slot_check_c_stream_call();
    s->Reserved2();
    r.calls[2] = slot_check_c_stream_call();
    s->Reserved3();
    r.calls[3] = slot_check_c_stream_call();
    s->Reserved4();
    r.calls[4] = slot_check_c_stream_call();
    s->Reserved5();
    r.calls[5] = slot_check_c_stream_call();
    s->Reserved6();
    r.calls[6] = slot_check_c_stream_call();
    s->Reserved7();
    r.calls[7] = slot_check_c_stream_call();
    r.results[8] = s->Seek(5, -3, 2, &r.position);
    r.calls[8] = slot_check_c_stream_call();
    r.results[9] = s->Read(r.read, 8, &r.got);
    r.calls[9] = slot_check_c_stream_call();
    r.results[10] = s->Write("xyz!", 4, &r.put);
    r.calls[10] = slot_check_c_stream_call();
    r.results[11] = s->SetSize(7, 9);
    r.calls[11] = slot_check_c_stream_call();
    return r;
}

struct CallbackCalls {
    slot_call calls[4];
    int results[4];
    char password[VF_PASSWORD_BUFFER] = {};
};

ZIPEXT_FOREIGN_OBJECT CallbackCalls CallEveryCallbackSlot(VFDecodeCallback* c, VFStream* s)
{
    CallbackCalls r;
    r.results[0] = c->IsStopRequested();
    r.calls[0] = slot_check_c_callback_call();
    r.results[1] = c->WantEntry("abc");
    r.calls[1] = slot_check_c_callback_call();
    unsigned long long size = 77;
    r.results[2] = c->ScanEntry(s, "abcd", s, &size, 1, 2);
    r.calls[2] = slot_check_c_callback_call();
    int bufferSize = VF_PASSWORD_BUFFER;
    r.results[3] = c->QueryPassword("ab", r.password, &bufferSize);
    r.calls[3] = slot_check_c_callback_call();
    return r;
}

} // namespace

TEST(CHeader, StreamSlotsOfACObjectAreTheCppSlots)
{
    const StreamCalls r = CallEveryStreamSlot(static_cast<VFStream*>(slot_check_c_stream()));
    for (int slot = 0; slot < 12; ++slot) EXPECT_EQ(r.calls[slot].slot, slot);
    EXPECT_EQ(r.results[8], 108);
    EXPECT_EQ(r.calls[8].args[0], 5u);
    EXPECT_EQ(static_cast<int64_t>(r.calls[8].args[1]), -3);
    EXPECT_EQ(r.calls[8].args[2], 2u);
    EXPECT_EQ(r.position, SLOT_CHECK_POSITION);
    EXPECT_EQ(r.results[9], 109);
    EXPECT_EQ(r.calls[9].args[0], 8u);
    EXPECT_EQ(r.got, 4u);
    EXPECT_EQ(std::string(r.read, 4), "read");
    EXPECT_EQ(r.results[10], 110);
    EXPECT_EQ(r.calls[10].args[0], 4u);
    EXPECT_EQ(r.calls[10].args[1], static_cast<uint64_t>('x'));
    EXPECT_EQ(r.put, 2u);
    EXPECT_EQ(r.results[11], 111);
    EXPECT_EQ(r.calls[11].args[0], 7u);
    EXPECT_EQ(r.calls[11].args[1], 9u);
}

TEST(CHeader, CallbackSlotsOfACObjectAreTheCppSlots)
{
    const CallbackCalls r = CallEveryCallbackSlot(static_cast<VFDecodeCallback*>(slot_check_c_callback()),
                                                  static_cast<VFStream*>(slot_check_c_stream()));
    for (int slot = 0; slot < 4; ++slot) {
        EXPECT_EQ(r.calls[slot].slot, slot);
        EXPECT_EQ(r.results[slot], 100 + slot);
    }
    EXPECT_EQ(r.calls[1].args[0], 3u);
    EXPECT_EQ(r.calls[2].args[0], 1u);
    EXPECT_EQ(r.calls[2].args[1], 4u);
    EXPECT_EQ(r.calls[2].args[2], 77u);
    EXPECT_EQ(r.calls[2].args[3], 12u);
    EXPECT_EQ(r.calls[3].args[0], 2u);
    EXPECT_EQ(r.calls[3].args[1], static_cast<uint64_t>(VF_PASSWORD_BUFFER));
    EXPECT_STREQ(r.password, "pw");
}

TEST(CHeader, TheCTablesReachTheSlotsOfACppObject)
{
    CppStream stream;
    for (int slot = 0; slot < 8; ++slot) {
        EXPECT_EQ(slot_check_call_stream(&stream, slot), 0);
        EXPECT_EQ(stream.call.slot, slot);
    }
    // Each answer is the slot's result, plus 1 where what came back through
    // a pointer arrived.
    EXPECT_EQ(slot_check_call_stream(&stream, 8), 209);
    EXPECT_EQ(stream.call.slot, 8);
    EXPECT_EQ(stream.call.args[0], 0xFFFFFFF0u);
    EXPECT_EQ(static_cast<int64_t>(stream.call.args[1]), -1);
    EXPECT_EQ(stream.call.args[2], static_cast<uint64_t>(ZIPEXT_SEEK_END));
    EXPECT_EQ(slot_check_call_stream(&stream, 9), 210);
    EXPECT_EQ(stream.call.slot, 9);
    EXPECT_EQ(stream.call.args[0], 6u);
    EXPECT_EQ(slot_check_call_stream(&stream, 10), 211);
    EXPECT_EQ(stream.call.slot, 10);
    EXPECT_EQ(stream.call.args[1], static_cast<uint64_t>('w'));
    EXPECT_EQ(slot_check_call_stream(&stream, 11), 211);
    EXPECT_EQ(stream.call.slot, 11);
    EXPECT_EQ(stream.call.args[0], 7u);
    EXPECT_EQ(stream.call.args[1], 9u);

    CppCallback callback;
    EXPECT_EQ(slot_check_call_callback(&callback, 0, &stream), 200);
    EXPECT_EQ(callback.call.slot, 0);
    EXPECT_EQ(slot_check_call_callback(&callback, 1, &stream), 201);
    EXPECT_EQ(callback.call.slot, 1);
    EXPECT_EQ(callback.name, "entry.txt");
    EXPECT_EQ(slot_check_call_callback(&callback, 2, &stream), 202);
    EXPECT_EQ(callback.call.slot, 2);
    EXPECT_EQ(callback.call.args[0], 1u);
    EXPECT_EQ(callback.call.args[1], 4242u);
    EXPECT_EQ(callback.call.args[2], 12u);
    EXPECT_EQ(slot_check_call_callback(&callback, 3, &stream), 204);
    EXPECT_EQ(callback.call.slot, 3);
    EXPECT_EQ(callback.call.args[0], static_cast<uint64_t>(ZIPEXT_PASSWORD_BUFFER));
}

TEST(CHeader, OrdinalsAreTheExportTables)
{
    std::ifstream def(std::string(ZIPEXT_SOURCE_DIR) + "/plugin/zipext.def");
    ASSERT_TRUE(def) << "plugin/zipext.def";
    std::map<std::string, int> ordinals;
    std::string line;
    while (std::getline(def, line)) {
        std::istringstream words(line);
        std::string name, ordinal;
        if (words >> name >> ordinal && ordinal.size() > 1 && ordinal[0] == '@')
            ordinals[name] = std::stoi(ordinal.substr(1));
    }
    const std::map<std::string, int> header = {
        {"VFCheckExtendModule", ZIPEXT_ORDINAL_CHECK_EXTEND_MODULE},
        {"VFEnumAttributes", ZIPEXT_ORDINAL_ENUM_ATTRIBUTES},
        {"TestEntry", ZIPEXT_ORDINAL_TEST_ENTRY},
        {"ZipArchive_Decode", ZIPEXT_ORDINAL_DECODE},
        {"ZipArchive_Recongnize", ZIPEXT_ORDINAL_RECOGNIZE},
    };
    EXPECT_EQ(ordinals, header);
}
