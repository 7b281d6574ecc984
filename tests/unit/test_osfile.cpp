// Files of the OS layer.
#include <gtest/gtest.h>

#include <string>

#include "aFile.h"
#include "testsupport.h"

using testsupport::ReadFile;
using testsupport::TempDir;
using testsupport::WriteFile;

namespace {

struct OpenFile {
    explicit OpenFile(const std::string& path, int32_t mode = aFileModeRead) : ref(aFile_Open(path.c_str(), mode)) {}
    ~OpenFile() { aFile_Close(&ref); }
    aFileRef ref;
};

TEST(OsFile, OpenRefusesBadArguments)
{
    TempDir dir;
    WriteFile(dir.file("f"), "x");
    EXPECT_EQ(aFile_Open(dir.file("f").c_str(), 3), nullptr);
    EXPECT_EQ(aFile_Open(dir.file("f").c_str(), -1), nullptr);
    EXPECT_EQ(aFile_Open("", aFileModeRead), nullptr);
    EXPECT_EQ(aFile_Open(nullptr, aFileModeRead), nullptr);
    EXPECT_EQ(aFile_Open(dir.file("missing").c_str(), aFileModeRead), nullptr);
    std::string tooLong = "/" + std::string(4096, 'a');
    EXPECT_EQ(aFile_Open(tooLong.c_str(), aFileModeWrite), nullptr);
}

TEST(OsFile, ExistsIsFalseForDirectoriesAndMissingFiles)
{
    TempDir dir;
    WriteFile(dir.file("f"), "x");
    EXPECT_TRUE(aFile_Exists(dir.file("f").c_str()));
    EXPECT_FALSE(aFile_Exists(dir.path().c_str()));
    EXPECT_FALSE(aFile_Exists(dir.file("missing").c_str()));
    EXPECT_FALSE(aFile_Exists(nullptr));
}

TEST(OsFile, CloseNullsTheHolderAndRejectsBadHandles)
{
    TempDir dir;
    aFileRef f = aFile_Open(dir.file("f").c_str(), aFileModeWrite);
    ASSERT_NE(f, nullptr);
    EXPECT_EQ(aFile_Close(&f), aErrNone);
    EXPECT_EQ(f, nullptr);
    EXPECT_EQ(aFile_Close(&f), aErrParam);
    EXPECT_EQ(aFile_Close(nullptr), aErrParam);
    aFileRecord forged{nullptr, aFileModeRead, 0};
    aFileRef forgedRef = &forged;
    EXPECT_EQ(aFile_Close(&forgedRef), aErrParam);
    EXPECT_EQ(forgedRef, nullptr);
}

TEST(OsFile, WriteThenReadRoundTripsAndModesAreEnforced)
{
    TempDir dir;
    const uint8_t bytes[] = {1, 2, 3, 0, 255};
    uint8_t back[8] = {};
    size_t count = 99;
    {
        OpenFile w(dir.file("f"), aFileModeWrite);
        EXPECT_EQ(aFile_Write(w.ref, bytes, sizeof bytes, &count), aErrNone);
        EXPECT_EQ(count, sizeof bytes);
        EXPECT_EQ(aFile_Read(w.ref, back, sizeof back, &count), aErrMode);
        EXPECT_EQ(aFile_Write(w.ref, nullptr, 1, &count), aErrParam);
    }
    OpenFile r(dir.file("f"));
    EXPECT_EQ(aFile_Write(r.ref, bytes, 1, nullptr), aErrMode);
    EXPECT_EQ(aFile_Printf(r.ref, "%d", 1), aErrMode);
    EXPECT_EQ(aFile_Read(r.ref, back, sizeof back, &count), aErrNone);
    EXPECT_EQ(count, sizeof bytes);
    EXPECT_EQ(0, memcmp(back, bytes, sizeof bytes));
    EXPECT_EQ(aFile_Read(r.ref, back, sizeof back, &count), aErrEOF);
    EXPECT_EQ(count, 0u);
    EXPECT_EQ(aFile_Read(r.ref, back, 0, &count), aErrNone);
    EXPECT_EQ(aFile_Read(nullptr, back, 1, &count), aErrParam);
}

TEST(OsFile, AppendAddsAtTheEndAndCanReadBack)
{
    TempDir dir;
    WriteFile(dir.file("f"), "abc");
    {
        OpenFile a(dir.file("f"), aFileModeAppend);
        ASSERT_NE(a.ref, nullptr);
        size_t position = 0;
        EXPECT_EQ(aFile_GetPosition(a.ref, &position), aErrNone);
        EXPECT_EQ(position, 3u);
        EXPECT_EQ(aFile_Printf(a.ref, "%s%d", "de", 7), aErrNone);
        EXPECT_EQ(aFile_Seek(a.ref, 0, 0), aErrNone);
        char line[16];
        size_t length = 0;
        EXPECT_EQ(aFile_ReadLine(a.ref, line, sizeof line, &length), aErrNone);
        EXPECT_STREQ(line, "abcde7");
        EXPECT_EQ(aFile_SetUnbuffered(a.ref), aErrNone);
    }
    EXPECT_EQ(ReadFile(dir.file("f")), "abcde7");
}

class OsFileSeek : public ::testing::Test {
protected:
    void SetUp() override
    {
        WriteFile(dir.file("f"), std::string(100, 'x'));
        file = aFile_Open(dir.file("f").c_str(), aFileModeRead);
        ASSERT_NE(file, nullptr);
    }
    void TearDown() override { aFile_Close(&file); }
    size_t Position()
    {
        size_t position = 12345;
        EXPECT_EQ(aFile_GetPosition(file, &position), aErrNone);
        return position;
    }
    TempDir dir;
    aFileRef file = nullptr;
};

TEST_F(OsFileSeek, OriginsAndBounds)
{
    struct Case { int64_t offset; int origin; aErr result; size_t position; };
    const Case cases[] = {
        {-5, 2, aErrNone, 95},     // from the end
        {10, 1, aErrRange, 95},    // current: 105 is past the end
        {5, 1, aErrNone, 100},     // current: exactly the size
        {100, 0, aErrNone, 100},   // start: exactly the size
        {101, 0, aErrRange, 100},  // one further
        {-1, 0, aErrRange, 100},   // before the start
        {-101, 2, aErrRange, 100},
        {1, 2, aErrRange, 100},
        {-100, 2, aErrNone, 0},
        {7, 9, aErrNone, 7},       // any other origin counts from the start
        {INT64_MAX, 1, aErrRange, 7},
        {INT64_MIN, 1, aErrRange, 7},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << c.offset << " origin " << c.origin);
        EXPECT_EQ(aFile_Seek(file, c.offset, c.origin), c.result);
        EXPECT_EQ(Position(), c.position);
    }
}

TEST_F(OsFileSeek, SizeKeepsThePositionAndPositionZeroIsStored)
{
    size_t size = 0;
    EXPECT_EQ(aFile_Seek(file, 40, 0), aErrNone);
    EXPECT_EQ(aFile_GetSize(file, &size), aErrNone);
    EXPECT_EQ(size, 100u);
    EXPECT_EQ(Position(), 40u);
    EXPECT_EQ(aFile_GetSize(file, nullptr), aErrParam);
    EXPECT_EQ(aFile_Seek(file, 0, 0), aErrNone);
    EXPECT_EQ(Position(), 0u);  // the out value is written at the start as well
}

TEST(OsFile, GetSizeCountsBufferedBytes)
{
    TempDir dir;
    OpenFile w(dir.file("f"), aFileModeWrite);
    const uint8_t bytes[10] = {};
    ASSERT_EQ(aFile_Write(w.ref, bytes, sizeof bytes, nullptr), aErrNone);
    size_t size = 0;
    EXPECT_EQ(aFile_GetSize(w.ref, &size), aErrNone);
    EXPECT_EQ(size, 10u);
}

TEST(OsFile, DeleteMapsErrors)
{
    TempDir dir;
    WriteFile(dir.file("f"), "x");
    EXPECT_EQ(aFile_Delete(dir.file("f").c_str()), aErrNone);
    EXPECT_FALSE(aFile_Exists(dir.file("f").c_str()));
    EXPECT_EQ(aFile_Delete(dir.file("f").c_str()), aErrNotFound);
    EXPECT_EQ(aFile_Delete(nullptr), aErrParam);
    std::string tooLong(4097, 'a');
    EXPECT_EQ(aFile_Delete(tooLong.c_str()), aErrFileNameLength);
    EXPECT_EQ(aFile_Delete(dir.path().c_str()), aErrIO);  // a directory: EISDIR
}

// ReadLine with a buffer of size 6 (lines of up to 5 characters fit).
TEST(OsFileReadLine, Sequences)
{
    struct Step { aErr result; const char* text; };
    struct Case { const char* content; std::vector<Step> steps; };
    const Case cases[] = {
        {"ab\ncd", {{aErrNone, "ab\n"}, {aErrNone, "cd"}, {aErrEOF, ""}}},
        {"abcd\n", {{aErrNone, "abcd\n"}, {aErrEOF, ""}}},              // size - 1 with line end
        {"abcdefg\n", {{aErrOverrun, "abcde"}, {aErrNone, "fg\n"}, {aErrEOF, ""}}},
        {"abcde", {{aErrNone, "abcde"}, {aErrEOF, ""}}},               // fills the buffer at end of file: whole
        {"", {{aErrEOF, ""}}},
        {"\n\n", {{aErrNone, "\n"}, {aErrNone, "\n"}, {aErrEOF, ""}}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.content);
        TempDir dir;
        WriteFile(dir.file("f"), c.content);
        OpenFile r(dir.file("f"));
        for (const Step& s : c.steps) {
            char buffer[6];
            size_t length = 99;
            EXPECT_EQ(aFile_ReadLine(r.ref, buffer, sizeof buffer, &length), s.result);
            EXPECT_STREQ(buffer, s.text);
            EXPECT_EQ(length, strlen(s.text));
        }
    }
}

TEST(OsFileReadLine, BadArguments)
{
    TempDir dir;
    WriteFile(dir.file("f"), "abc\n");
    char buffer[8] = "junk";
    size_t length = 99;
    EXPECT_EQ(aFile_ReadLine(nullptr, buffer, sizeof buffer, &length), aErrParam);
    EXPECT_STREQ(buffer, "");
    EXPECT_EQ(length, 0u);
    OpenFile r(dir.file("f"));
    EXPECT_EQ(aFile_ReadLine(r.ref, buffer, 1, &length), aErrParam);  // no room for a character
    EXPECT_EQ(aFile_ReadLine(r.ref, nullptr, 8, &length), aErrParam);
    OpenFile w(dir.file("g"), aFileModeWrite);
    EXPECT_EQ(aFile_ReadLine(w.ref, buffer, sizeof buffer, &length), aErrMode);
    EXPECT_EQ(aFile_SetUnbuffered(r.ref), aErrMode);
    EXPECT_EQ(aFile_SetUnbuffered(nullptr), aErrParam);
}

}  // namespace
