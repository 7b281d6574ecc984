// quorvel-test: threaded
// Packet log ring, its log file lines and the logger thread that writes them.
#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <string>
#include <vector>

#include "aLogger.h"
#include "aPacketDebug.h"
#include "testsupport.h"

namespace {

using testsupport::ReadFile;
using testsupport::TempDir;

struct Record {
    uint8_t direction;
    std::vector<uint8_t> bytes;
    bool operator==(const Record& other) const
    {
        return direction == other.direction && bytes == other.bytes;
    }
};

Record MakeRecord(uint8_t direction, size_t length, uint8_t fill)
{
    Record record{direction, {}};
    for (size_t i = 0; i < length; i++)
        record.bytes.push_back(static_cast<uint8_t>(fill + i));
    return record;
}

aErr PutRecord(aPacketLog* log, const Record& record)
{
    return aPacketLog_Put(log, record.direction, static_cast<uint32_t>(record.bytes.size()),
                          record.bytes.data());
}

// Takes every record left in the ring (a corrupt ring fails, never loops).
std::vector<Record> TakeAll(aPacketLog* log)
{
    std::vector<Record> records;
    while (records.size() < log->size) {
        uint8_t buffer[aPACKETLOG_MAX_RECORD];
        uint8_t direction = 0;
        uint32_t length = sizeof(buffer);
        aErr err = aPacketLog_Get(log, &direction, &length, buffer);
        if (err == aErrNotFound)
            return records;
        EXPECT_EQ(err, aErrNone);
        if (err != aErrNone)
            return records;
        records.push_back(Record{direction, std::vector<uint8_t>(buffer, buffer + length)});
    }
    ADD_FAILURE() << "more records than bytes in the ring";
    return records;
}

TEST(PacketLog, RecordFitsOnlyWithOneByteToSpare)
{
    struct Case { uint32_t size; uint32_t length; aErr result; };
    const Case cases[] = {
        {16, 14, aErrOverrun},   // 16 bytes in a 16-byte ring
        {16, 13, aErrNone},      // 15 bytes fit into an empty ring
        {16, 0, aErrNone},
        {2, 0, aErrOverrun},
        {1024, 255, aErrNone},
        {1024, 256, aErrOverrun},  // the length is one byte
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << c.size << "/" << c.length);
        aPacketLog* log = aPacketLog_Create(c.size);
        ASSERT_NE(log, nullptr);
        Record record = MakeRecord(aPACKETLOG_SENT, c.length, 1);
        EXPECT_EQ(PutRecord(log, record), c.result);
        std::vector<Record> expected;
        if (c.result == aErrNone)
            expected.push_back(record);
        EXPECT_EQ(TakeAll(log), expected);
        aPacketLog_Destroy(&log);
        EXPECT_EQ(log, nullptr);
    }
}

TEST(PacketLog, OverflowDropsWholeRecordsFromTheFront)
{
    aPacketLog* log = aPacketLog_Create(32);
    ASSERT_NE(log, nullptr);
    std::vector<Record> records;
    for (uint8_t i = 0; i < 4; i++)
        records.push_back(MakeRecord(aPACKETLOG_RECEIVED, 8, uint8_t(i * 16)));  // 10 bytes each
    for (const Record& record : records)
        ASSERT_EQ(PutRecord(log, record), aErrNone);
    // Three records (30 bytes) leave 2 free: the fourth pushed the first out.
    EXPECT_EQ(TakeAll(log), std::vector<Record>(records.begin() + 1, records.end()));

    // Now wrapped around the end: a 20-byte record needs two records dropped.
    for (int i = 0; i < 3; i++)
        ASSERT_EQ(PutRecord(log, records[i]), aErrNone);
    Record big = MakeRecord(aPACKETLOG_TEXT, 18, 'a');
    ASSERT_EQ(PutRecord(log, big), aErrNone);
    EXPECT_EQ(TakeAll(log), (std::vector<Record>{records[2], big}));
    aPacketLog_Destroy(&log);

    // A record that would fill the ring to the last byte drops the oldest too.
    log = aPacketLog_Create(16);
    ASSERT_NE(log, nullptr);
    Record first = MakeRecord(aPACKETLOG_SENT, 4, 1);    // 6 bytes, 10 free
    Record second = MakeRecord(aPACKETLOG_SENT, 8, 9);   // 10 bytes
    ASSERT_EQ(PutRecord(log, first), aErrNone);
    ASSERT_EQ(PutRecord(log, second), aErrNone);
    EXPECT_EQ(TakeAll(log), std::vector<Record>{second});
    aPacketLog_Destroy(&log);
}

TEST(PacketLog, GetWithTooSmallACapacityLeavesTheRecord)
{
    aPacketLog* log = aPacketLog_Create(64);
    ASSERT_NE(log, nullptr);
    Record record = MakeRecord(aPACKETLOG_TEXT, 6, 'A');
    ASSERT_EQ(PutRecord(log, record), aErrNone);

    uint8_t buffer[8] = {};
    uint8_t direction = 0;
    uint32_t length = 4;
    EXPECT_EQ(aPacketLog_Get(log, &direction, &length, buffer), aErrOverrun);
    EXPECT_EQ(length, 6u);
    EXPECT_EQ(direction, aPACKETLOG_TEXT);
    EXPECT_EQ(buffer[0], 0);

    length = 6;
    EXPECT_EQ(aPacketLog_Get(log, &direction, &length, buffer), aErrNone);
    EXPECT_EQ(std::vector<uint8_t>(buffer, buffer + length), record.bytes);
    EXPECT_EQ(aPacketLog_Get(log, &direction, &length, buffer), aErrNotFound);

    EXPECT_EQ(aPacketLog_Get(nullptr, &direction, &length, buffer), aErrParam);
    EXPECT_EQ(aPacketLog_Get(log, &direction, nullptr, buffer), aErrParam);
    EXPECT_EQ(aPacketLog_Put(nullptr, 1, 0, buffer), aErrParam);
    EXPECT_EQ(aPacketLog_Put(log, 1, 3, nullptr), aErrParam);
    EXPECT_EQ(aPacketLog_Create(0), nullptr);
    aPacketLog_Destroy(&log);
    EXPECT_EQ(aPacketLog_Destroy(&log), aErrNone);  // null log ignored
}

TEST(PacketLog, WriteLineFormatsEachDirection)
{
    struct Case { uint8_t direction; std::vector<uint8_t> bytes; std::string line; };
    const Case cases[] = {
        {aPACKETLOG_TEXT, {'S', 'T', 'A', 'R', 'T', 0}, std::string("6 < START\0\r\n", 12)},
        {aPACKETLOG_SENT, {0x02, 0x01, 0x10}, "3 > 0x2 0x1 0x10 \r\n"},
        {aPACKETLOG_RECEIVED, {0xAD, 0x00}, "2 < 0xAD 0x0 \r\n"},
        {aPACKETLOG_SENT, {}, "0 > \r\n"},
    };
    TempDir dir;
    std::string expected;
    aFileRef file = aFile_Open(dir.file("log.txt").c_str(), aFileModeAppend);
    ASSERT_NE(file, nullptr);
    for (const Case& c : cases) {
        EXPECT_EQ(aPacketLog_WriteLine(file, c.direction, uint32_t(c.bytes.size()), c.bytes.data()),
                  aErrNone);
        expected += c.line;
    }
    EXPECT_EQ(aPacketLog_WriteLine(file, 1, 256, cases[0].bytes.data()), aErrParam);
    aFile_Close(&file);
    EXPECT_EQ(ReadFile(dir.file("log.txt")), expected);
}

// A link-like owner of a ring: the ring, its lock, and a count of the lines
// the logger thread wrote, which the test awaits.
struct LoggedLink {
    aPacketLog* ring = aPacketLog_Create(256);
    std::mutex lock;
    std::condition_variable wrote;
    int lines = 0;
    aLogger* self = nullptr;        // for the callback that tries to destroy it
    aErr selfDestroyResult = aErrNone;

    ~LoggedLink() { aPacketLog_Destroy(&ring); }

    aErr Put(uint8_t direction, std::vector<uint8_t> bytes)
    {
        std::lock_guard<std::mutex> hold(lock);
        return aPacketLog_Put(ring, direction, uint32_t(bytes.size()), bytes.data());
    }

    bool WaitForLines(int count)
    {
        std::unique_lock<std::mutex> hold(lock);
        return wrote.wait_for(hold, std::chrono::seconds(10), [&] { return lines >= count; });
    }
};

LoggedLink* gLinks[2];

// The callback a link installs: one record per call, one line per record.
bool WriteOneRecord(aFileRef file, int32_t reference)
{
    LoggedLink* link = gLinks[reference];
    uint8_t buffer[aPACKETLOG_MAX_RECORD];
    uint8_t direction = 0;
    uint32_t length = sizeof(buffer);
    aErr err;
    {
        std::lock_guard<std::mutex> hold(link->lock);
        err = aPacketLog_Get(link->ring, &direction, &length, buffer);
    }
    if (err != aErrNone)
        return false;
    EXPECT_EQ(aPacketLog_WriteLine(file, direction, length, buffer), aErrNone);
    if (link->self) {
        // The logger cannot stop or free itself from its own thread.
        EXPECT_EQ(aLogger_Disable(link->self), aErrNone);
        link->selfDestroyResult = aLogger_Destroy(&link->self);
    }
    {
        std::lock_guard<std::mutex> hold(link->lock);
        link->lines++;
    }
    link->wrote.notify_all();
    return true;
}

TEST(PacketLogger, WritesTheStartMarkerAndPacketsToTheFile)
{
    TempDir dir;
    std::string path = dir.file("packets.log");
    LoggedLink link;
    gLinks[0] = &link;
    aLogger* logger = aLogger_Create(0, WriteOneRecord, path.c_str());
    ASSERT_NE(logger, nullptr);
    ASSERT_EQ(aLogger_Enable(logger), aErrNone);
    EXPECT_EQ(aLogger_Enable(logger), aErrNone);  // already running

    EXPECT_EQ(link.Put(aPACKETLOG_TEXT, {'S', 'T', 'A', 'R', 'T', 0}), aErrNone);
    EXPECT_EQ(link.Put(aPACKETLOG_SENT, {0x02, 0x01, 0x10}), aErrNone);
    EXPECT_TRUE(link.WaitForLines(2));
    EXPECT_EQ(aLogger_Disable(logger), aErrNone);
    EXPECT_EQ(aLogger_Disable(logger), aErrNone);  // not running

    // Disabled: records stay in the ring until the logger runs again.
    EXPECT_EQ(link.Put(aPACKETLOG_RECEIVED, {0x02, 0x00}), aErrNone);
    ASSERT_EQ(aLogger_Enable(logger), aErrNone);
    EXPECT_TRUE(link.WaitForLines(3));
    EXPECT_EQ(aLogger_Destroy(&logger), aErrNone);
    EXPECT_EQ(logger, nullptr);
    EXPECT_EQ(aLogger_Destroy(&logger), aErrNone);  // invalid logger ignored

    EXPECT_EQ(ReadFile(path), std::string("6 < START\0\r\n", 12) + "3 > 0x2 0x1 0x10 \r\n" +
                                  "2 < 0x2 0x0 \r\n");
}

TEST(PacketLogger, FailuresAndItsOwnThread)
{
    TempDir dir;
    EXPECT_EQ(aLogger_Create(0, WriteOneRecord, dir.file("missing/x.log").c_str()), nullptr);
    EXPECT_EQ(aLogger_Create(0, nullptr, dir.file("x.log").c_str()), nullptr);
    EXPECT_EQ(aLogger_Create(0, WriteOneRecord, nullptr), nullptr);
    EXPECT_EQ(aLogger_Enable(nullptr), aErrParam);
    EXPECT_EQ(aLogger_Disable(nullptr), aErrParam);
    EXPECT_EQ(aLogger_Destroy(nullptr), aErrNone);

    // Appends to what the file already holds.
    testsupport::WriteFile(dir.file("x.log"), "old\n");
    LoggedLink link;
    gLinks[1] = &link;
    aLogger* logger = aLogger_Create(1, WriteOneRecord, dir.file("x.log").c_str());
    ASSERT_NE(logger, nullptr);
    link.self = logger;
    ASSERT_EQ(aLogger_Enable(logger), aErrNone);
    EXPECT_EQ(link.Put(aPACKETLOG_TEXT, {'h', 'i'}), aErrNone);
    EXPECT_TRUE(link.WaitForLines(1));
    EXPECT_EQ(link.selfDestroyResult, aErrBusy);
    EXPECT_EQ(aLogger_Destroy(&logger), aErrNone);
    EXPECT_EQ(ReadFile(dir.file("x.log")), "old\n2 < hi\r\n");
}

}  // namespace
