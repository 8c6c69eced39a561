#include <gtest/gtest.h>

#include <cstring>

#include "plugin/VFInterfaces.h"
#include "support/fake_host.h"
#include "support/test_platform.h"

namespace {

struct Module {
    Module() { handle = LoadModule(ZIPEXT_MODULE_PATH); }
    ~Module()
    {
        if (handle) UnloadModule(handle);
    }
    template <typename F>
    F Get(const char* name) const
    {
        return reinterpret_cast<F>(ModuleSymbol(handle, name));
    }
    void* handle;
};

} // namespace

TEST(Exports, Handshake)
{
    Module m;
    ASSERT_NE(m.handle, nullptr) << ModuleLoadError();
    auto check = m.Get<VFCheckExtendModuleFn>("VFCheckExtendModule");
    ASSERT_NE(check, nullptr);
    int a = 7, b = 7, c = 7, d = 7;
    EXPECT_EQ(check(0x4D54454B, &a, &b, &c, &d), 0); // magic bytes reversed
    EXPECT_EQ(a + b + c + d, 28);
    EXPECT_EQ(check(0x4B45544D, &a, &b, &c, &d), 0x4945544D);
    EXPECT_EQ(static_cast<unsigned>(a), 0xF0000001u);
    EXPECT_EQ(b, 1);
    EXPECT_EQ(c, 0x700);
    EXPECT_EQ(d, 1);
}

TEST(Exports, EnumAttributes)
{
    Module m;
    auto enumerate = m.Get<VFEnumAttributesFn>("VFEnumAttributes");
    ASSERT_NE(enumerate, nullptr);
    int attributes = 0, last = 9;
    char name[8] = "xxxxxxx";
    void* recognise = nullptr;
    void* decode = nullptr;
    EXPECT_EQ(enumerate(1, &attributes, name, &recognise, &decode, nullptr, &last), 1);
    EXPECT_STREQ(name, "xxxxxxx");
    EXPECT_EQ(last, 9);
    EXPECT_EQ(enumerate(0, &attributes, name, &recognise, &decode, nullptr, &last), 1);
    EXPECT_EQ(attributes, 0x01000004);
    EXPECT_STREQ(name, "zip");
    EXPECT_EQ(last, 0);
    EXPECT_EQ(recognise, m.Get<void*>("ZipArchive_Recongnize"));
    EXPECT_EQ(decode, m.Get<void*>("ZipArchive_Decode"));
}

TEST(Exports, RecogniseTurnsAwayWithoutReading)
{
    Module m;
    auto recognise = m.Get<ZipArchiveRecongnizeFn>("ZipArchive_Recongnize");
    ASSERT_NE(recognise, nullptr);
    const unsigned char* firsts[] = {reinterpret_cast<const unsigned char*>("Pk"),
                                     reinterpret_cast<const unsigned char*>("KP"),
                                     reinterpret_cast<const unsigned char*>("MZ")};
    for (const unsigned char* first : firsts) {
        FakeHostStream stream;
        EXPECT_EQ(recognise(&stream, nullptr, 0, 0, first), 0);
        EXPECT_EQ(stream.seekCalls + stream.readCalls + stream.writeCalls + stream.setSizeCalls, 0);
    }
}

TEST(Exports, SelfTestOfMissingFileReturnsZero)
{
    Module m;
    auto selfTest = m.Get<TestEntryFn>("TestEntry");
    ASSERT_NE(selfTest, nullptr);
    EXPECT_EQ(selfTest("/nonexistent/archive.zip"), 0);
    EXPECT_EQ(selfTest(nullptr), 0);
}
