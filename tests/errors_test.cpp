#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <set>
#include <string>

#include "errors/ZipException.h"

TEST(ErrorTexts, ExactTexts)
{
    struct Case {
        int code;
        const char* text;
    } cases[] = {
        {2, "No such file or directory"},
        {28, "No space left on device"},
        {101, "Damaged or not a zip file"},
        {102, "Crc mismatched"},
        {108, "Limit of the maximum volumes reached (999)"},
        {110, "Incorrect password set for the file being decrypted"},
        {116, "The central directory was not found in the archive (or you were trying to open not "
              "the last disk of a multi-disk archive)"},
        {500, "Zlib Library error (end of stream)"},
        {503, "Zlib library error (stream error)"},
        {505, "Not enough memory"},
        {507, "Zlib library error (version error)"},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(CZipException::DescribeErrorCode(c.code, false), c.text) << c.code;
    }
}

TEST(ErrorTexts, GenericBranchFallsBackToErrno)
{
    EXPECT_EQ(CZipException::DescribeErrorCode(3, true), "Unknown error");
    errno = 2;
    EXPECT_EQ(CZipException::DescribeErrorCode(3, false), "No such file or directory");
    errno = 0;
    EXPECT_EQ(CZipException::DescribeErrorCode(100, false), "Unknown error");
}

TEST(ErrorTexts, ErrnoCodeAndItsCycle)
{
    errno = 13;
    EXPECT_EQ(CZipException::DescribeErrorCode(502, false), "Permission denied");
    errno = 502; // would otherwise send 502 and the generic branch round in a circle
    EXPECT_EQ(CZipException::DescribeErrorCode(502, false), "Unknown error");
    errno = 0;
}

TEST(ErrorTexts, RemoveAndRenameCarryTheSystemText)
{
    errno = 13;
    EXPECT_EQ(CZipException::DescribeErrorCode(113, false),
              "Error while removing a file (Permission denied)");
    errno = 2;
    EXPECT_EQ(CZipException::DescribeErrorCode(114, false),
              "Error while renaming a file (No such file or directory)");
    errno = 0;
}

TEST(ErrorTexts, MapZlibError)
{
    const int results[] = {1, 2, -1, -2, -3, -4, -5, -6, 7, 0};
    const int codes[] = {500, 501, 502, 503, 504, 505, 506, 507, 100, 100};
    for (size_t i = 0; i < std::size(results); ++i) {
        EXPECT_EQ(CZipException::MapZlibError(results[i]), codes[i]);
    }
}

TEST(ErrorTexts, GetErrorMessageCutsAndTerminates)
{
    CZipException e(110, nullptr);
    EXPECT_TRUE(e.archivePath.empty());
    char small[1] = {'x'};
    EXPECT_TRUE(e.GetErrorMessage(small, 1));
    EXPECT_EQ(small[0], '\0');
    char buf[8];
    EXPECT_TRUE(e.GetErrorMessage(buf, sizeof buf));
    EXPECT_STREQ(buf, "Incorre");
    EXPECT_FALSE(e.GetErrorMessage(nullptr, 10));
    EXPECT_FALSE(e.GetErrorMessage(buf, 0));
}

TEST(ErrorTexts, ThrowCarriesCodeAndPath)
{
    try {
        ThrowZipException(101, "a.zip");
        FAIL();
    } catch (const CZipException& e) {
        EXPECT_EQ(e.code, 101);
        EXPECT_EQ(e.archivePath, "a.zip");
        EXPECT_EQ(e.reason, ZipReason::none);
        EXPECT_EQ(e.offset, kZipNoOffset);
    }
    // The reason and offset leave the code and its text as they are.
    try {
        ThrowZipException(101, "a.zip", ZipReason::endRecordCut, 77);
    } catch (const CZipException& e) {
        EXPECT_EQ(e.code, 101);
        EXPECT_EQ(e.GetErrorDescription(), "Damaged or not a zip file");
        EXPECT_EQ(e.reason, ZipReason::endRecordCut);
        EXPECT_EQ(e.offset, 77u);
    }
    // Each reason has a text of its own.
    std::set<std::string> texts;
    for (int r = 1; r <= static_cast<int>(ZipReason::encryptedDataTooShort); ++r)
        EXPECT_TRUE(texts.insert(ZipReasonText(static_cast<ZipReason>(r))).second) << r;
    EXPECT_EQ(texts.count(""), 0u);
}
