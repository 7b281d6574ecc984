// The serial line stream on real pseudo-terminals: the stream opens the slave
// side by its path, the test plays the far end on the master side.

#include <gtest/gtest.h>

#include <fcntl.h>
#include <pty.h>
#include <termios.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <string>

#include "StreamHelpers.h"
#include "testsupport.h"
#include "unix_streamserial.h"

namespace {

using Clock = std::chrono::steady_clock;

class SerialStream : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_EQ(openpty(&master, &slave, nullptr, nullptr, nullptr), 0);
        path = ttyname(slave);
    }
    void TearDown() override
    {
        aStream_Destroy(&stream);
        close(master);
        close(slave);
    }
    struct termios LineSettings()
    {
        struct termios t;
        tcgetattr(slave, &t);
        return t;
    }
    aErr Create(int32_t rate, bool parity = false, int32_t dataBits = 0, int32_t stopBits = 0)
    {
        aStream_Destroy(&stream);
        return aStream_CreateSerial(path.c_str(), rate, parity, dataBits, stopBits, &stream);
    }

    int master = -1;
    int slave = -1;
    std::string path;
    aStreamRef stream = nullptr;
};

TEST_F(SerialStream, OpensTheLineRawAtTheRateAndRestoresItsSettingsOnDelete)
{
    struct termios before = LineSettings();
    cfsetispeed(&before, B9600);
    cfsetospeed(&before, B9600);
    before.c_lflag |= ICANON | ECHO;
    before.c_cflag = (before.c_cflag & ~CSIZE) | CS7 | PARENB;
    before.c_cc[VMIN] = 1;
    ASSERT_EQ(tcsetattr(slave, TCSANOW, &before), 0);
    before = LineSettings();

    ASSERT_EQ(Create(6), aErrNone);
    struct termios t = LineSettings();
    EXPECT_EQ(cfgetospeed(&t), static_cast<speed_t>(B115200));
    EXPECT_EQ(cfgetispeed(&t), static_cast<speed_t>(B115200));
    EXPECT_EQ(t.c_cflag & CSIZE, static_cast<tcflag_t>(CS8));
    EXPECT_EQ(t.c_cflag & (PARENB | CSTOPB), 0u);
    EXPECT_EQ(t.c_cflag & (CREAD | CLOCAL), static_cast<tcflag_t>(CREAD | CLOCAL));
    EXPECT_EQ(t.c_iflag, static_cast<tcflag_t>(IGNBRK));
    EXPECT_EQ(t.c_oflag, 0u);
    EXPECT_EQ(t.c_lflag, 0u);
    EXPECT_EQ(t.c_cc[VMIN], 0);
    EXPECT_EQ(t.c_cc[VTIME], 0);

    ASSERT_EQ(aStream_Destroy(&stream), aErrNone);
    struct termios after = LineSettings();
    EXPECT_EQ(after.c_iflag, before.c_iflag);
    EXPECT_EQ(after.c_oflag, before.c_oflag);
    EXPECT_EQ(after.c_cflag, before.c_cflag);
    EXPECT_EQ(after.c_lflag, before.c_lflag);
    EXPECT_EQ(cfgetospeed(&after), static_cast<speed_t>(B9600));
    EXPECT_EQ(after.c_cc[VMIN], 1);
}

TEST_F(SerialStream, TakesItsRateFromTheRateTable)
{
    const struct {
        int32_t index;
        speed_t speed;
        uint32_t rate;
    } table[] = {
        {0, B2400, 2400}, {1, B4800, 4800}, {2, B9600, 9600}, {3, B19200, 19200},
        {4, B38400, 38400}, {5, B57600, 57600}, {6, B115200, 115200}, {7, B230400, 230400},
        {8, B0, 0}, {-1, B0, 0},
    };
    for (const auto& r : table) {
        SCOPED_TRACE(r.index);
        ASSERT_EQ(Create(r.index), aErrNone);
        struct termios t = LineSettings();
        EXPECT_EQ(cfgetospeed(&t), r.speed);
        EXPECT_EQ(aSerial_RateOfIndex(r.index), r.rate);
    }
}

TEST(SerialLineSettings, FollowParityDataBitsAndStopBits)
{
    const struct {
        bool parity;
        int32_t dataBits, stopBits;
        tcflag_t cflag, iflag;
    } table[] = {
        {false, 0, 0, CS8, IGNBRK},
        {true, 0, 0, CS8 | PARENB, IGNBRK | IGNPAR},
        {false, 1, 0, CS7, IGNBRK},
        {false, 0, 1, CS8 | CSTOPB, IGNBRK},
        {true, 1, 1, CS7 | PARENB | CSTOPB, IGNBRK | IGNPAR},
    };
    for (const auto& r : table) {
        SCOPED_TRACE(testing::Message() << r.parity << r.dataBits << r.stopBits);
        struct termios t;
        memset(&t, 0xFF, sizeof t);
        aSerial_ComposeSettings(&t, 3, r.parity, r.dataBits, r.stopBits);
        EXPECT_EQ(t.c_cflag & ~CBAUD & ~CIBAUD, r.cflag | CREAD | CLOCAL);
        EXPECT_EQ(t.c_iflag, r.iflag);
        EXPECT_EQ(t.c_oflag, 0u);
        EXPECT_EQ(t.c_lflag, 0u);
        EXPECT_EQ(cfgetospeed(&t), static_cast<speed_t>(B19200));
        EXPECT_EQ(t.c_cc[VMIN], 0);
        EXPECT_EQ(t.c_cc[VTIME], 0);
    }
}

TEST_F(SerialStream, AppliesParityAndStopBitsToTheLine)
{
    // A pseudo-terminal always keeps 8 bits without parity; the rest sticks.
    ASSERT_EQ(Create(2, true, 0, 1), aErrNone);
    struct termios t = LineSettings();
    EXPECT_TRUE(t.c_cflag & CSTOPB);
    EXPECT_EQ(t.c_iflag, static_cast<tcflag_t>(IGNBRK | IGNPAR));
}

TEST_F(SerialStream, RefusesBadArgumentsAndReportsOpenFailures)
{
    aStreamRef s = reinterpret_cast<aStreamRef>(0x1);
    EXPECT_EQ(aStream_CreateSerial(path.c_str(), 6, false, 2, 0, &s), aErrResource);
    EXPECT_EQ(aStream_CreateSerial(path.c_str(), 6, false, 0, 2, &s), aErrResource);
    EXPECT_EQ(aStream_CreateSerial(nullptr, 6, false, 0, 0, &s), aErrResource);
    EXPECT_EQ(s, reinterpret_cast<aStreamRef>(0x1));
    EXPECT_EQ(aStream_CreateSerial(path.c_str(), 6, false, 0, 0, nullptr), aErrResource);

    testsupport::TempDir dir;
    EXPECT_EQ(aStream_CreateSerial(dir.file("ttyNONE").c_str(), 6, false, 0, 0, &s), aErrNotFound);
    EXPECT_EQ(s, nullptr);
    // Not a terminal: its settings cannot be read, and nothing is written back.
    testsupport::WriteFile(dir.file("plain"), "x");
    EXPECT_EQ(aStream_CreateSerial(dir.file("plain").c_str(), 6, false, 0, 0, &s), aErrIO);
    EXPECT_EQ(testsupport::ReadFile(dir.file("plain")), "x");
}

TEST_F(SerialStream, GetAnswersAtOnceAndBytesGoBothWays)
{
    ASSERT_EQ(Create(6), aErrNone);
    uint8_t byte;
    auto start = Clock::now();
    EXPECT_EQ(aStream_Read(stream, &byte, 1), aErrNotReady);
    EXPECT_LT(Clock::now() - start, std::chrono::milliseconds(50));

    EXPECT_EQ(aStream_Write(stream, reinterpret_cast<const uint8_t*>("to-far-end"), 10), aErrNone);
    char buf[32] = {0};
    EXPECT_EQ(read(master, buf, sizeof buf), 10);
    EXPECT_STREQ(buf, "to-far-end");

    ASSERT_EQ(write(master, "hi", 2), 2);
    ASSERT_EQ(aStream_Wait(stream, 5000), aErrNone);
    uint8_t got[2];
    EXPECT_EQ(aStream_Read(stream, got, 2), aErrNone);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(got), 2), "hi");
}

TEST_F(SerialStream, AReaderWaitsWithoutSpinningAndWakesWhenBytesArrive)
{
    ASSERT_EQ(Create(6), aErrNone);
    testsupport::WaitFigures f =
        testsupport::MeasureStreamWait(stream, [&] { ASSERT_EQ(write(master, "!", 1), 1); }, 1500);
    EXPECT_EQ(f.idleResult, aErrTimeout);
    EXPECT_GE(f.idleWallMs, 1400);
    EXPECT_LT(f.idleCpuMs, 30);
    EXPECT_EQ(f.wakeResult, aErrNone);
    EXPECT_LT(f.wakeLatencyMs, 50);
}

}  // namespace
