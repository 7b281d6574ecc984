// The stream layer over a scripted transport and over files.

#include <gtest/gtest.h>

#include <cstring>
#include <deque>
#include <string>

#include "aStream.h"
#include "testsupport.h"

using testsupport::TempDir;

namespace {

// A transport whose get hands out queued bytes and results, then answers
// aErrNotReady (or aErrEOF once the end is set); put and write are recorded.
struct Script {
    std::deque<int> items;   // a byte 0..255, or a negated aErr
    bool atEnd = false;
    std::string written;
    int puts = 0;
    int writes = 0;
    int putFailsAt = -1;     // put number (from 0) that answers aErrIO
    aErr deleteResult = aErrNone;
    bool deleted = false;

    void Feed(const std::string& bytes)
    {
        for (unsigned char c : bytes)
            items.push_back(c);
    }
    void Fail(aErr err) { items.push_back(-static_cast<int>(err)); }
};

aErr ScriptGet(uint8_t* byte, void* reference)
{
    Script* s = static_cast<Script*>(reference);
    if (s->items.empty())
        return s->atEnd ? aErrEOF : aErrNotReady;
    int item = s->items.front();
    s->items.pop_front();
    if (item < 0)
        return static_cast<aErr>(-item);
    *byte = static_cast<uint8_t>(item);
    return aErrNone;
}

aErr ScriptPut(const uint8_t* byte, void* reference)
{
    Script* s = static_cast<Script*>(reference);
    if (s->puts++ == s->putFailsAt)
        return aErrIO;
    s->written.push_back(static_cast<char>(*byte));
    return aErrNone;
}

aErr ScriptWrite(const uint8_t* data, size_t length, void* reference)
{
    Script* s = static_cast<Script*>(reference);
    s->writes++;
    s->written.append(reinterpret_cast<const char*>(data), length);
    return aErrNone;
}

aErr ScriptDelete(void* reference)
{
    Script* s = static_cast<Script*>(reference);
    s->deleted = true;
    return s->deleteResult;
}

class Stream : public ::testing::Test {
protected:
    void SetUp() override
    {
        stream = aStream_Create(ScriptGet, ScriptPut, ScriptWrite, ScriptDelete, &script);
        ASSERT_NE(stream, nullptr);
    }
    void TearDown() override { aStream_Destroy(&stream); }

    aErr Read(std::string* into, size_t length)
    {
        std::string buffer(length, '\0');
        aErr err = aStream_Read(stream, reinterpret_cast<uint8_t*>(&buffer[0]), length);
        *into = buffer;
        return err;
    }
    aErr Write(const std::string& bytes)
    {
        return aStream_Write(stream, reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size());
    }
    aErr Record(std::string* into, size_t max, const std::string& terminator)
    {
        std::string buffer(max, '\0');
        size_t length = 12345;
        aErr err = aStream_ReadRecord(stream, reinterpret_cast<uint8_t*>(&buffer[0]), &length, max,
                                      reinterpret_cast<const uint8_t*>(terminator.data()), terminator.size());
        *into = err == aErrNone || err == aErrEOF ? buffer.substr(0, length) : "<untouched>";
        return err;
    }

    Script script;
    aStreamRef stream = nullptr;
};

std::string Sequence(size_t from, size_t count)
{
    std::string s;
    for (size_t i = from; i < from + count; i++)
        s.push_back(static_cast<char>(i * 7 % 251));
    return s;
}

TEST_F(Stream, AReadIsAllOrNothingAcrossNotReady)
{
    std::string got;
    script.Feed("12345");
    EXPECT_EQ(Read(&got, 8), aErrNotReady);
    script.Feed("678");
    EXPECT_EQ(Read(&got, 8), aErrNone);
    EXPECT_EQ(got, "12345678");
    EXPECT_EQ(Read(&got, 0), aErrNone);
}

TEST_F(Stream, PushedBackBytesKeepTheirOrderWhenTheWrappedRingGrows)
{
    std::string got;
    script.Feed(Sequence(0, 300));
    ASSERT_EQ(Read(&got, 301), aErrNotReady);      // 300 held from index 0
    ASSERT_EQ(Read(&got, 250), aErrNone);          // head moves to 250
    EXPECT_EQ(got, Sequence(0, 250));
    script.Feed(Sequence(300, 461));
    ASSERT_EQ(Read(&got, 1000), aErrNotReady);     // 511 held, wrapped past the end
    EXPECT_EQ(stream->capacity, 512u);
    EXPECT_EQ(stream->count, 511u);
    script.Feed(Sequence(761, 1));
    ASSERT_EQ(Read(&got, 1000), aErrNotReady);     // the 512th byte grows the ring
    EXPECT_EQ(stream->capacity, 1024u);
    EXPECT_EQ(stream->count, 512u);
    ASSERT_EQ(Read(&got, 512), aErrNone);
    EXPECT_EQ(got, Sequence(250, 512));
}

TEST_F(Stream, AFailureInTheMiddleOfAReadDropsItsBytes)
{
    std::string got;
    script.Feed("abc");
    script.Fail(aErrIO);
    script.Feed("de");
    EXPECT_EQ(Read(&got, 5), aErrIO);
    EXPECT_EQ(Read(&got, 2), aErrNone);
    EXPECT_EQ(got, "de");
}

TEST_F(Stream, EndOfFileFillsTheLeadingPart)
{
    std::string got;
    script.Feed("abcde");
    script.atEnd = true;
    EXPECT_EQ(Read(&got, 8), aErrEOF);
    EXPECT_EQ(got.substr(0, 5), "abcde");
}

TEST_F(Stream, RefusesBadArgumentsAndMissingOperations)
{
    uint8_t byte;
    EXPECT_EQ(aStream_Read(nullptr, &byte, 1), aErrParam);
    EXPECT_EQ(aStream_Read(stream, nullptr, 1), aErrParam);
    EXPECT_EQ(aStream_Write(stream, nullptr, 1), aErrParam);

    aStreamRef bare = aStream_Create(nullptr, nullptr, nullptr, nullptr, nullptr);
    EXPECT_EQ(aStream_Read(bare, &byte, 1), aErrMode);
    EXPECT_EQ(aStream_Write(bare, &byte, 1), aErrMode);
    EXPECT_EQ(aStream_Destroy(&bare), aErrNone);
    EXPECT_EQ(bare, nullptr);

    // A record whose tag was cleared, as destruction leaves it.
    aStream stale = *stream;
    stale.check = 0;
    aStreamRef staleRef = &stale;
    EXPECT_EQ(aStream_Read(staleRef, &byte, 1), aErrParam);
    EXPECT_EQ(aStream_Wait(staleRef, 0), aErrParam);
    EXPECT_EQ(aStream_Destroy(&staleRef), aErrParam);
    EXPECT_EQ(staleRef, nullptr);
    EXPECT_FALSE(script.deleted);
    EXPECT_EQ(aStream_Destroy(nullptr), aErrParam);
}

TEST_F(Stream, OneByteGoesThroughPutAndMoreThroughOneWrite)
{
    EXPECT_EQ(Write("a"), aErrNone);
    EXPECT_EQ(script.puts, 1);
    EXPECT_EQ(script.writes, 0);
    EXPECT_EQ(Write("bc"), aErrNone);
    EXPECT_EQ(script.puts, 1);
    EXPECT_EQ(script.writes, 1);
    EXPECT_EQ(script.written, "abc");
    EXPECT_EQ(Write(""), aErrNone);

    // Without write, put goes byte by byte and stops at the first error.
    Script putOnly;
    putOnly.putFailsAt = 2;
    aStreamRef s = aStream_Create(nullptr, ScriptPut, nullptr, nullptr, &putOnly);
    EXPECT_EQ(aStream_Write(s, reinterpret_cast<const uint8_t*>("wxyz"), 4), aErrIO);
    EXPECT_EQ(putOnly.written, "wx");
    aStream_Destroy(&s);

    // Without put, even one byte goes through write.
    Script writeOnly;
    s = aStream_Create(nullptr, nullptr, ScriptWrite, nullptr, &writeOnly);
    EXPECT_EQ(aStream_Write(s, reinterpret_cast<const uint8_t*>("q"), 1), aErrNone);
    EXPECT_EQ(writeOnly.written, "q");
    aStream_Destroy(&s);
}

TEST_F(Stream, DestroyReturnsTheTransportsDeleteResult)
{
    script.deleteResult = aErrIO;
    EXPECT_EQ(aStream_Destroy(&stream), aErrIO);
    EXPECT_TRUE(script.deleted);
    EXPECT_EQ(stream, nullptr);
}

TEST_F(Stream, ARecordLongerThanTheMaximumIsCutAndItsRestIsTheNextRecord)
{
    std::string got;
    script.Feed("abcdefgh\n");
    EXPECT_EQ(Record(&got, 5, "\n"), aErrNone);
    EXPECT_EQ(got, "abcde");
    EXPECT_EQ(Record(&got, 5, "\n"), aErrNone);
    EXPECT_EQ(got, "fgh");
}

TEST_F(Stream, ARecordEndedByEndOfFileIsARecord)
{
    std::string got;
    script.Feed("xyz");
    script.atEnd = true;
    EXPECT_EQ(Record(&got, 10, "\n"), aErrNone);
    EXPECT_EQ(got, "xyz");
    EXPECT_EQ(Record(&got, 10, "\n"), aErrEOF);
    EXPECT_EQ(got, "");
}

TEST_F(Stream, AnIncompleteRecordWaitsForTheRest)
{
    std::string got;
    script.Feed("ab\r");
    EXPECT_EQ(Record(&got, 10, "\r\n"), aErrNotReady);
    EXPECT_EQ(got, "<untouched>");
    script.Feed("\nnext");
    EXPECT_EQ(Record(&got, 10, "\r\n"), aErrNone);
    EXPECT_EQ(got, "ab");
}

TEST_F(Stream, APartialTerminatorMatchIsDataAndLosesNoByte)
{
    const struct {
        const char* input;
        const char* terminator;
        const char* record;
    } cases[] = {
        {"a\rb\r\n", "\r\n", "a\rb"},
        {"\r\r\n", "\r\n", "\r"},
        {"xaaab", "aab", "xa"},        // the terminator overlaps itself
        {"ab\r", "\r\n", "ab\r"},      // end of file inside a terminator
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.input);
        Script s;
        s.Feed(c.input);
        s.atEnd = true;
        aStreamRef r = aStream_Create(ScriptGet, nullptr, nullptr, nullptr, &s);
        char buffer[16] = {0};
        size_t length = 0;
        EXPECT_EQ(aStream_ReadRecord(r, reinterpret_cast<uint8_t*>(buffer), &length, sizeof buffer,
                                     reinterpret_cast<const uint8_t*>(c.terminator), strlen(c.terminator)),
                  aErrNone);
        EXPECT_EQ(std::string(buffer, length), c.record);
        aStream_Destroy(&r);
    }
}

TEST_F(Stream, CStringsAndCStringRecords)
{
    EXPECT_EQ(aStream_WriteCString(stream, "hi"), aErrNone);
    EXPECT_EQ(aStream_WriteCStringRecord(stream, "rec", "\r\n"), aErrNone);
    EXPECT_EQ(script.written, std::string("hi\0rec\r\n\0", 9));

    script.Feed(script.written);
    script.Feed(std::string("hello\0", 6));
    char buffer[16];
    EXPECT_EQ(aStream_ReadCString(stream, buffer, sizeof buffer), aErrNone);
    EXPECT_STREQ(buffer, "hi");
    EXPECT_EQ(aStream_ReadCStringRecord(stream, buffer, sizeof buffer, "\r\n"), aErrNone);
    EXPECT_STREQ(buffer, "rec");
    EXPECT_EQ(aStream_ReadCString(stream, buffer, sizeof buffer), aErrNone);   // the record's zero byte
    EXPECT_STREQ(buffer, "");
    EXPECT_EQ(aStream_ReadCString(stream, buffer, 3), aErrNone);               // cut to fit
    EXPECT_STREQ(buffer, "he");
    EXPECT_EQ(aStream_ReadCString(stream, buffer, sizeof buffer), aErrNone);
    EXPECT_STREQ(buffer, "llo");
    EXPECT_EQ(aStream_ReadCString(stream, buffer, 0), aErrParam);
}

TEST_F(Stream, WaitAnswersAtOnceForHeldBytesAndForTransportsThatCannotWait)
{
    EXPECT_EQ(aStream_Wait(stream, 1000), aErrUnimplemented);
    std::string got;
    script.Feed("a");
    ASSERT_EQ(Read(&got, 2), aErrNotReady);
    EXPECT_EQ(aStream_Wait(stream, 1000), aErrNone);
}

class FileStream : public ::testing::Test {
protected:
    TempDir dir;
};

TEST_F(FileStream, WritesAndReadsBackAFile)
{
    std::string path = dir.file("data");
    aStreamRef out = nullptr;
    ASSERT_EQ(aStream_CreateFileOutput(path.c_str(), &out), aErrNone);
    EXPECT_EQ(aStream_Write(out, reinterpret_cast<const uint8_t*>("hello "), 6), aErrNone);
    EXPECT_EQ(aStream_Write(out, reinterpret_cast<const uint8_t*>("w"), 1), aErrNone);
    EXPECT_EQ(aStream_WriteCStringRecord(out, "orld", "\n"), aErrNone);
    uint8_t byte;
    EXPECT_EQ(aStream_Read(out, &byte, 1), aErrMode);
    EXPECT_EQ(aStream_Destroy(&out), aErrNone);
    EXPECT_EQ(testsupport::ReadFile(path), std::string("hello world\n\0", 13));

    aStreamRef in = nullptr;
    ASSERT_EQ(aStream_CreateFileInput(path.c_str(), &in), aErrNone);
    EXPECT_EQ(aStream_Write(in, &byte, 1), aErrMode);
    EXPECT_EQ(aStream_Wait(in, 1000), aErrNone);   // a file never keeps a reader waiting
    char line[32];
    EXPECT_EQ(aStream_ReadCStringRecord(in, line, sizeof line, "\n"), aErrNone);
    EXPECT_STREQ(line, "hello world");
    EXPECT_EQ(aStream_Read(in, &byte, 1), aErrNone);
    EXPECT_EQ(byte, 0);
    EXPECT_EQ(aStream_Read(in, &byte, 1), aErrEOF);
    EXPECT_EQ(aStream_Read(in, &byte, 1), aErrEOF);
    EXPECT_EQ(aStream_Destroy(&in), aErrNone);
}

TEST_F(FileStream, EveryFailureToCreateIsAResourceError)
{
    aStreamRef untouched = reinterpret_cast<aStreamRef>(0x1);
    EXPECT_EQ(aStream_CreateFileInput(dir.file("missing").c_str(), &untouched), aErrResource);
    EXPECT_EQ(aStream_CreateFileOutput(dir.file("no/such/dir").c_str(), &untouched), aErrResource);
    EXPECT_EQ(aStream_CreateFileInput(nullptr, &untouched), aErrResource);
    EXPECT_EQ(untouched, reinterpret_cast<aStreamRef>(0x1));
    EXPECT_EQ(aStream_CreateFileOutput(dir.file("x").c_str(), nullptr), aErrResource);
}

TEST_F(FileStream, FlushCopiesPushedBackBytesFirstThenTheRest)
{
    std::string source = dir.file("source"), copy = dir.file("copy");
    testsupport::WriteFile(source, "0123456789");
    aStreamRef in = nullptr, out = nullptr;
    ASSERT_EQ(aStream_CreateFileInput(source.c_str(), &in), aErrNone);
    ASSERT_EQ(aStream_CreateFileOutput(copy.c_str(), &out), aErrNone);
    char record[8];
    ASSERT_EQ(aStream_ReadCStringRecord(in, record, 4, "#"), aErrNone);   // "012", cut
    EXPECT_EQ(aStream_Flush(in, out), aErrNone);
    EXPECT_EQ(aStream_Flush(out, in), aErrMode);
    aStream_Destroy(&in);
    aStream_Destroy(&out);
    EXPECT_EQ(testsupport::ReadFile(copy), "3456789");

    // A source that runs dry before its end stops the flush with aErrNotReady.
    Script dry;
    dry.Feed("ab");
    aStreamRef s = aStream_Create(ScriptGet, nullptr, nullptr, nullptr, &dry);
    ASSERT_EQ(aStream_CreateFileOutput(copy.c_str(), &out), aErrNone);
    EXPECT_EQ(aStream_Flush(s, out), aErrNotReady);
    aStream_Destroy(&out);
    aStream_Destroy(&s);
    EXPECT_EQ(testsupport::ReadFile(copy), "ab");
}

}  // namespace
