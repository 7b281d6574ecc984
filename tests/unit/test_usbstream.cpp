// quorvel-test: threaded
// The USB transport's real code against the virtual USB bus (sim/usbbus),
// preloaded in front of libusb as it will be for the Quorvel binary.

#include <gtest/gtest.h>

#include <pty.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "StreamHelpers.h"
#include "UsbBus.h"
#include "aStream.h"
#include "lxusb_context.h"
#include "lxusb_identity.h"
#include "testsupport.h"
#include "unix_streamusb.h"
#include "usbbus_control.h"

using testsupport::ReadExactly;
using testsupport::WriteString;
using testsupport::TempDir;
using testsupport::UsbBusDevice;

namespace {

const uint32_t kSerial = 0x40F5849A;
const char* const kSerialText = "40F5849A";

std::string Module(const std::string& extra = "")
{
    return std::string("product = 0x0004\nserial = ") + kSerialText + "\nlog = yes\n" + extra;
}

size_t CountPrefix(const std::vector<std::string>& lines, const std::string& prefix)
{
    return static_cast<size_t>(std::count_if(lines.begin(), lines.end(),
                                             [&](const std::string& l) { return l.rfind(prefix, 0) == 0; }));
}

// The transfer lines of the log ("in ..." and "out ..."), in order.
std::vector<std::string> Transfers(const std::vector<std::string>& lines, const std::string& direction)
{
    std::vector<std::string> found;
    for (const auto& l : lines)
        if (l.rfind(direction + " ", 0) == 0)
            found.push_back(l);
    return found;
}



aErr GetOne(aStreamRef stream, uint8_t* byte)
{
    return aStream_Read(stream, byte, 1);
}

class UsbStream : public ::testing::Test {
protected:
    void SetUp() override
    {
        setenv(usbbus::kDirEnv, bus.path().c_str(), 1);
        setenv(LUMASTRIX_NODE_DIR_ENV, nodes.path().c_str(), 1);
    }
    void TearDown() override
    {
        aStream_Destroy(&stream);
        unsetenv(usbbus::kDirEnv);
        unsetenv(LUMASTRIX_NODE_DIR_ENV);
    }

    TempDir bus;
    TempDir nodes;
    aStreamRef stream = nullptr;
};

TEST_F(UsbStream, RefusesSerialZeroAndNullOut)
{
    EXPECT_EQ(aStream_CreateUSB(0, &stream), aErrParam);
    EXPECT_EQ(aStream_CreateUSB(kSerial, nullptr), aErrParam);
}

TEST_F(UsbStream, FindsOnlyAModuleWhoseSerialStringIsTheExactText)
{
    const struct {
        const char* lines;
        aErr expected;
    } cases[] = {
        {"serial = 40F5849A", aErrNone},
        {"serial = 40f5849a", aErrNotFound},                      // lower case
        {"serial = 0F5849A", aErrNotFound},                       // 7 characters
        {"serial = 40F5849A0", aErrNotFound},                     // 9 characters
        {"", aErrNotFound},                                       // no serial-number string
        {"serial = 40F5849A\nvendor = 0x1234", aErrNotFound},     // another maker
        {"serial = 40F5849A\nproduct = 0x8004", aErrNotFound},    // not a module's product id
        {"serial = 40F5849A\nopen = access", aErrNotFound},       // cannot be opened
        {"serial = 40F5849A\nstring = io", aErrNotFound},         // serial string unreadable
    };
    UsbBusDevice other(bus.path(), "a-other");
    other.Configure("serial = 12345678\n");
    for (const auto& c : cases) {
        SCOPED_TRACE(c.lines);
        UsbBusDevice device(bus.path(), "m");
        device.Configure(std::string(c.lines) + "\n");
        EXPECT_EQ(aStream_CreateUSB(kSerial, &stream), c.expected);
        EXPECT_EQ(stream != nullptr, c.expected == aErrNone);
        aStream_Destroy(&stream);
    }
}

TEST_F(UsbStream, LooksUpTheModuleInterfaceAndItsEndpoints)
{
    const struct {
        const char* lines;
        aErr expected;
    } cases[] = {
        {"ep_in = none", aErrConfiguration},
        {"ep_out = none", aErrConfiguration},
        {"class = 0x02", aErrConfiguration},   // no module interface at all
        {"extra_interface = yes", aErrNone},   // another interface listed first
        {"interface = 2\nep_in = 0x82\nep_out = 0x03", aErrNone},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.lines);
        TempDir fresh;
        setenv(usbbus::kDirEnv, fresh.path().c_str(), 1);
        UsbBusDevice device(fresh.path(), "m");
        device.Configure(Module(c.lines));
        ASSERT_EQ(aStream_CreateUSB(kSerial, &stream), c.expected);
        if (c.expected == aErrNone) {
            EXPECT_EQ(WriteString(stream, "ping"), aErrNone);
            EXPECT_EQ(device.Received(4), "ping");
            aStream_Destroy(&stream);
        } else {
            // Opened to read its serial string, never claimed, closed again.
            std::vector<std::string> log = device.Log();
            EXPECT_EQ(CountPrefix(log, "open ok"), 1u);
            EXPECT_EQ(CountPrefix(log, "claim"), 0u);
            EXPECT_EQ(CountPrefix(log, "close"), 1u);
        }
    }
}

TEST_F(UsbStream, MapsClaimFailures)
{
    const struct {
        const char* claim;
        aErr expected;
    } cases[] = {
        {"busy", aErrBusy},
        {"no_device", aErrBusy},
        {"access", aErrPermission},
        {"io", aErrUnknown},
    };
    UsbBusDevice device(bus.path(), "m");
    for (const auto& c : cases) {
        SCOPED_TRACE(c.claim);
        device.Configure(Module(std::string("claim = ") + c.claim));
        EXPECT_EQ(aStream_CreateUSB(kSerial, &stream), c.expected);
        EXPECT_EQ(stream, nullptr);
    }
    EXPECT_EQ(CountPrefix(device.Log(), "close"), 4u);
}

TEST_F(UsbStream, AnInterfaceClaimedElsewhereIsBusyUntilReleased)
{
    UsbBusDevice device(bus.path(), "m");
    device.Configure(Module());
    ASSERT_EQ(aStream_CreateUSB(kSerial, &stream), aErrNone);
    aStreamRef second = nullptr;
    EXPECT_EQ(aStream_CreateUSB(kSerial, &second), aErrBusy);
    aStream_Destroy(&stream);
    EXPECT_EQ(aStream_CreateUSB(kSerial, &second), aErrNone);
    aStream_Destroy(&second);
}

TEST_F(UsbStream, ADeviceThatNobodyServesCannotBeClaimed)
{
    usbbus::WriteDevice(bus.path(), "m", Module());
    EXPECT_EQ(aStream_CreateUSB(kSerial, &stream), aErrBusy);
}

TEST_F(UsbStream, WritesGoOutInTransfersOfFiftyBytes)
{
    UsbBusDevice device(bus.path(), "m");
    device.Configure(Module());
    ASSERT_EQ(aStream_CreateUSB(kSerial, &stream), aErrNone);
    std::string data;
    for (int i = 0; i < 120; i++)
        data.push_back(static_cast<char>(i));
    ASSERT_EQ(WriteString(stream, data), aErrNone);
    ASSERT_EQ(WriteString(stream, "!"), aErrNone);
    EXPECT_EQ(device.Received(121), data + "!");
    std::vector<std::string> expected = {"out 0x01 50 ok 50", "out 0x01 50 ok 50", "out 0x01 20 ok 20",
                                         "out 0x01 1 ok 1"};
    EXPECT_EQ(Transfers(device.Log(), "out"), expected);
}

TEST_F(UsbStream, ReadsHandOutTheBytesOfOneTransferOneByOne)
{
    UsbBusDevice device(bus.path(), "m");
    device.Configure(Module());
    ASSERT_EQ(aStream_CreateUSB(kSerial, &stream), aErrNone);
    std::string data(300, 'x');
    device.Send(data);
    EXPECT_EQ(ReadExactly(stream, 300), data);
    std::vector<std::string> expected = {"in 0x81 800 ok 300"};
    EXPECT_EQ(Transfers(device.Log(), "in"), expected);
}

TEST_F(UsbStream, FourFailuresAreAbsorbedAndTheFifthFailsTheStreamForGood)
{
    UsbBusDevice device(bus.path(), "m");
    device.Configure(Module("in_error = 5"));
    ASSERT_EQ(aStream_CreateUSB(kSerial, &stream), aErrNone);
    uint8_t byte = 0;
    for (int i = 0; i < 4; i++)
        EXPECT_EQ(GetOne(stream, &byte), aErrNotReady) << "failure " << i + 1;
    EXPECT_EQ(GetOne(stream, &byte), aErrIO);
    // Failed for good: no more transfers, in either direction.
    EXPECT_EQ(GetOne(stream, &byte), aErrIO);
    EXPECT_EQ(WriteString(stream, "x"), aErrIO);
    EXPECT_EQ(Transfers(device.Log(), "in").size(), 5u);
    EXPECT_EQ(Transfers(device.Log(), "out").size(), 0u);

    // A new stream starts afresh.
    aStream_Destroy(&stream);
    ASSERT_EQ(aStream_CreateUSB(kSerial, &stream), aErrNone);
    ASSERT_EQ(device.Connections(2), 2);
    device.Send("again");
    EXPECT_EQ(ReadExactly(stream, 5), "again");
}

TEST_F(UsbStream, AReadTimeOutIsNotAFailure)
{
    UsbBusDevice device(bus.path(), "m");
    device.Configure(Module("in_error = 4"));
    ASSERT_EQ(aStream_CreateUSB(kSerial, &stream), aErrNone);
    uint8_t byte = 0;
    for (int i = 0; i < 4; i++)
        ASSERT_EQ(GetOne(stream, &byte), aErrNotReady);

    auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(GetOne(stream, &byte), aErrNotReady);   // nothing within the 1000 ms time-out
    auto waited = std::chrono::steady_clock::now() - start;
    EXPECT_GE(waited, std::chrono::milliseconds(900));

    // The time-out reset the count: one more failure is absorbed again.
    device.Configure(Module("in_error = 1"));
    EXPECT_EQ(GetOne(stream, &byte), aErrNotReady);
    device.Send("A");
    EXPECT_EQ(ReadExactly(stream, 1), "A");
}

TEST_F(UsbStream, AFailedOutTransferIsRetriedAndItsBytesGoOutOnce)
{
    UsbBusDevice device(bus.path(), "m");
    device.Configure(Module("out_error = 3\nout_timeout_partial = 1"));
    ASSERT_EQ(aStream_CreateUSB(kSerial, &stream), aErrNone);
    // Fails, fails again at once, is tried anew: fails, then half goes out
    // before a time-out in the immediate second try; only the other half is
    // sent again.
    std::string data;
    for (int i = 0; i < 40; i++)
        data.push_back(static_cast<char>('a' + i % 26));
    EXPECT_EQ(WriteString(stream, data), aErrNone);
    EXPECT_EQ(WriteString(stream, "."), aErrNone);
    EXPECT_EQ(device.Received(41), data + ".");
    std::vector<std::string> expected = {"out 0x01 40 io 0", "out 0x01 40 io 0", "out 0x01 40 io 0",
                                         "out 0x01 40 timeout 20", "out 0x01 20 ok 20", "out 0x01 1 ok 1"};
    EXPECT_EQ(Transfers(device.Log(), "out"), expected);
}

TEST_F(UsbStream, ClearsHaltedEndpoints)
{
    UsbBusDevice device(bus.path(), "m");
    device.Configure(Module("in_stall = 1\nout_stall = 1"));
    ASSERT_EQ(aStream_CreateUSB(kSerial, &stream), aErrNone);
    uint8_t byte;
    EXPECT_EQ(GetOne(stream, &byte), aErrNotReady);
    EXPECT_EQ(WriteString(stream, "hello"), aErrNone);
    EXPECT_EQ(device.Received(5), "hello");
    device.Send("R");
    EXPECT_EQ(ReadExactly(stream, 1), "R");
    std::vector<std::string> log = device.Log();
    EXPECT_EQ(CountPrefix(log, "clear_halt 0x81 ok"), 1u);
    EXPECT_EQ(CountPrefix(log, "clear_halt 0x01 ok"), 1u);
    std::vector<std::string> out = {"out 0x01 5 pipe 0", "out 0x01 5 ok 5"};
    EXPECT_EQ(Transfers(log, "out"), out);
}

TEST_F(UsbStream, AHaltThatCannotBeClearedEndsInAWriteErrorAfterOneHundredAttempts)
{
    UsbBusDevice device(bus.path(), "m");
    device.Configure(Module("out_stall = 1\nclear_halt = io"));
    ASSERT_EQ(aStream_CreateUSB(kSerial, &stream), aErrNone);
    EXPECT_EQ(WriteString(stream, "lost"), aErrWrite);
    EXPECT_EQ(Transfers(device.Log(), "out").size(), 100u);
}

TEST_F(UsbStream, DataInATimedOutTransferIsDelivered)
{
    UsbBusDevice device(bus.path(), "m");
    device.Configure(Module("in_timeout_data = 1"));
    ASSERT_EQ(aStream_CreateUSB(kSerial, &stream), aErrNone);
    device.Send("abc");
    EXPECT_EQ(ReadExactly(stream, 3), "abc");
    EXPECT_EQ(CountPrefix(device.Log(), "in 0x81 800 timeout 3"), 1u);
}

TEST_F(UsbStream, AMachineWhereLibusbCannotStartHasNoModules)
{
    UsbBusDevice device(bus.path(), "m");
    device.Configure(Module());
    Lumastrix_libusb_exit();
    testsupport::WriteFile(bus.file(usbbus::kBusFile), "init = other\n");
    EXPECT_EQ(aStream_CreateUSB(kSerial, &stream), aErrNotFound);
    EXPECT_EQ(Lumastrix_libusb_context(), nullptr);

    // libusb is tried again on the next need.
    unlink(bus.file(usbbus::kBusFile).c_str());
    EXPECT_EQ(aStream_CreateUSB(kSerial, &stream), aErrNone);
}

TEST_F(UsbStream, ReadsAndWritesAtOnceFromTwoThreads)
{
    UsbBusDevice device(bus.path(), "m");
    device.Configure(Module("log = no"));
    ASSERT_EQ(aStream_CreateUSB(kSerial, &stream), aErrNone);
    std::string toHost(2000, 'h'), toDevice(2000, 'd');
    std::string read;
    std::thread reader([&] { read = ReadExactly(stream, toHost.size()); });
    device.Send(toHost);
    for (size_t i = 0; i < toDevice.size(); i += 100)
        EXPECT_EQ(WriteString(stream, toDevice.substr(i, 100)), aErrNone);
    reader.join();
    EXPECT_EQ(read, toHost);
    EXPECT_EQ(device.Received(toDevice.size()), toDevice);
}

// The kernel driver's node, served here by a pseudo-terminal in raw mode.
class KernelNode : public UsbStream {
protected:
    void SetUp() override
    {
        UsbStream::SetUp();
        ASSERT_EQ(openpty(&master, &slave, nullptr, nullptr, nullptr), 0);
        struct termios raw;
        tcgetattr(slave, &raw);
        cfmakeraw(&raw);
        raw.c_cc[VMIN] = 0;
        raw.c_cc[VTIME] = 0;
        tcsetattr(slave, TCSANOW, &raw);
        node = nodes.file(std::string(LUMASTRIX_NODE_PREFIX) + kSerialText);
    }
    void TearDown() override
    {
        UsbStream::TearDown();
        close(master);
        close(slave);
    }

    int master = -1;
    int slave = -1;
    std::string node;
};

TEST_F(KernelNode, IsUsedWhenPresentInsteadOfLibusb)
{
    ASSERT_EQ(symlink(ttyname(slave), node.c_str()), 0);
    ASSERT_EQ(aStream_CreateUSB(kSerial, &stream), aErrNone);   // the bus has no module at all

    ASSERT_EQ(WriteString(stream, "to-node"), aErrNone);
    char buf[16] = {0};
    EXPECT_EQ(read(master, buf, sizeof buf), 7);
    EXPECT_STREQ(buf, "to-node");

    uint8_t byte;
    EXPECT_EQ(GetOne(stream, &byte), aErrNotReady);
    EXPECT_EQ(aStream_Wait(stream, 50), aErrTimeout);
    ASSERT_EQ(write(master, "up", 2), 2);
    EXPECT_EQ(aStream_Wait(stream, 5000), aErrNone);
    EXPECT_EQ(ReadExactly(stream, 2), "up");
}

TEST_F(KernelNode, ThatCannotBeOpenedIsAnIOError)
{
    // A socket file exists but does not open like a device.
    int fd = socket(AF_UNIX, SOCK_STREAM, 0);
    struct sockaddr_un address = {};
    address.sun_family = AF_UNIX;
    snprintf(address.sun_path, sizeof address.sun_path, "%s", node.c_str());
    ASSERT_EQ(bind(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address), 0);
    EXPECT_EQ(aStream_CreateUSB(kSerial, &stream), aErrIO);
    close(fd);
}

}  // namespace

int main(int argc, char** argv)
{
    testsupport::ReexecWithUsbBus(argv);
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
