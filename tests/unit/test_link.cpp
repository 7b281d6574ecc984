// quorvel-test: threaded
// Links against the virtual module program (sim/vmodule) over TCP on
// 127.0.0.1 and over the virtual USB bus, and serial links on
// pseudo-terminals: creation, sharing by identifier, stop and reset, and what
// the module saw of it in its traffic record.

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <fcntl.h>
#include <pty.h>
#include <signal.h>
#include <stdlib.h>
#include <termios.h>
#include <unistd.h>

#include <chrono>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "UsbBus.h"
#include "VModuleProcess.h"
#include "aLink.h"
#include "aLinkManagerInternal.h"
#include "lxusb_identity.h"
#include "testsupport.h"
#include "usbbus_control.h"

using namespace testsupport;

namespace {

typedef std::chrono::steady_clock Clock;

const uint32_t kSerial = 0x40F5849A;
const uint8_t kModuleAddress = 2;
const uint32_t kLoopback = htonl(INADDR_LOOPBACK);

// Record lines without their timestamps ("rx AF 01 00", "ev 40F5849A link 1 route off").
std::vector<std::string> RecordLines(const std::string& path)
{
    std::vector<std::string> lines;
    for (const auto& text : SplitLines(ReadFile(path))) {
        size_t stamp = text.find(' ', 3);
        if (text.size() > 3 && stamp != std::string::npos)
            lines.push_back(text.substr(0, 3) + text.substr(stamp + 1));
    }
    return lines;
}

// The record once the condition holds for it (the module writes each line as
// the frame arrives, after the link already handed it to the socket).
std::vector<std::string> AwaitRecord(const std::string& path,
                                     const std::function<bool(const std::vector<std::string>&)>& done)
{
    auto deadline = Clock::now() + std::chrono::seconds(10);
    std::vector<std::string> lines = RecordLines(path);
    while (!done(lines) && Clock::now() < deadline) {
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
        lines = RecordLines(path);
    }
    return lines;
}

size_t Count(const std::vector<std::string>& lines, const std::string& part)
{
    size_t n = 0;
    for (const auto& line : lines)
        n += line.find(part) != std::string::npos;
    return n;
}

std::function<bool(const std::vector<std::string>&)> Has(const std::string& part, size_t times = 1)
{
    return [part, times](const std::vector<std::string>& lines) { return Count(lines, part) >= times; };
}

bool IsSystemReply(const aPacket* packet, void* reference)
{
    uint8_t option = *static_cast<uint8_t*>(reference);
    return packet->address == kModuleAddress && packet->length >= 3 && packet->data[0] == 3 &&
           packet->data[1] == option;
}

// Asks the module's system entity for its serial number through the link.
uint32_t ReadSerial(int32_t id)
{
    const uint8_t request[] = {3, 0x40 | 9, 0x20};
    aPacket* packet = aPacket_CreateWithData(kModuleAddress, sizeof request, request);
    EXPECT_EQ(aLink_PutPacket(id, packet), aErrNone);
    aPacket_Destroy(&packet);
    uint8_t option = 9;
    aPacket* reply = aLink_AwaitFirst(id, IsSystemReply, &option, 5000);
    if (!reply || reply->length != 7) {
        aPacket_Destroy(&reply);
        return 0;
    }
    uint32_t serial = static_cast<uint32_t>(reply->data[3]) << 24 | reply->data[4] << 16 | reply->data[5] << 8 |
                      reply->data[6];
    aPacket_Destroy(&reply);
    return serial;
}

class TcpLink : public ::testing::Test {
protected:
    void Start(const std::vector<std::string>& extra = {"--heartbeat", "0"})
    {
        std::vector<std::string> args = {"--serial", "40F5849A", "--record", record()};
        args.insert(args.end(), extra.begin(), extra.end());
        program_.reset(new VModuleProcess(args));
        port_ = static_cast<uint16_t>(program_->port());
    }
    void TearDown() override
    {
        if (id_)
            aLink_Destroy(&id_);
    }
    std::string record() const { return dir_.file("record"); }

    TempDir dir_;
    std::unique_ptr<VModuleProcess> program_;
    uint16_t port_ = 0;
    int32_t id_ = 0;
};

TEST_F(TcpLink, StartsRoutedAndExchangesWithTheModule)
{
    Start();
    id_ = aLink_CreateTCPIP(kLoopback, port_);
    ASSERT_NE(id_, 0);
    EXPECT_EQ(aLink_GetStatus(id_), kLinkRunning);
    EXPECT_EQ(aLinkManager_GetUseCount(id_), 1);
    EXPECT_EQ(ReadSerial(id_), kSerial);
    EXPECT_EQ(aLink_Sync(id_), aErrNone);
    EXPECT_EQ(aLink_GetStatus(id_), kLinkRunning);
    EXPECT_EQ(ReadSerial(id_), kSerial);
    std::vector<std::string> lines = AwaitRecord(record(), Has("rx AF 01 01"));
    EXPECT_EQ(Count(lines, "route on"), 1u);
    EXPECT_GE(Count(lines, "rx AD 00"), 2u);
}

TEST_F(TcpLink, SharedByAddressEvenAcrossPorts)
{
    Start();
    id_ = aLink_CreateTCPIP(kLoopback, port_);
    ASSERT_NE(id_, 0);
    // No module listens on the next port: the address alone decides.
    int32_t second = aLink_CreateTCPIP(kLoopback, static_cast<uint16_t>(port_ + 1));
    EXPECT_EQ(second, id_);
    EXPECT_EQ(aLinkManager_GetUseCount(id_), 2);

    EXPECT_EQ(aLink_Destroy(&second), aErrNone);
    EXPECT_EQ(second, 0);
    EXPECT_EQ(aLinkManager_GetUseCount(id_), 1);
    EXPECT_EQ(aLink_GetStatus(id_), kLinkRunning);
    EXPECT_EQ(ReadSerial(id_), kSerial);

    int32_t last = id_;
    EXPECT_EQ(aLink_Destroy(&last), aErrNone);
    EXPECT_EQ(aLink_GetStatus(id_), kLinkNoStream);
    EXPECT_EQ(aLinkManager_GetUseCount(id_), -1);
    // The module was told, and the connection closed.
    std::vector<std::string> lines = AwaitRecord(record(), Has("closed"));
    EXPECT_EQ(Count(lines, "route off"), 1u);
    id_ = 0;
}

TEST_F(TcpLink, NoListenerNoLink)
{
    Start();
    uint16_t closedPort = port_;
    program_.reset();
    EXPECT_EQ(aLink_CreateTCPIP(kLoopback, closedPort), 0);
    EXPECT_EQ(aLinkManager_LookupByIdentifier(kLoopback), nullptr);
}

TEST_F(TcpLink, StopWritesQueuedPacketsAndRouteOffLast)
{
    Start();
    id_ = aLink_CreateTCPIP(kLoopback, port_);
    ASSERT_NE(id_, 0);
    for (uint8_t i = 1; i <= 3; i++) {
        const uint8_t data[] = {23, i};
        aPacket* packet = aPacket_CreateWithData(kModuleAddress, sizeof data, data);
        EXPECT_EQ(aLink_PutPacket(id_, packet), aErrNone);
        aPacket_Destroy(&packet);
    }
    EXPECT_EQ(aLink_Stop(aLinkManager_Record(id_)), aErrNone);
    EXPECT_EQ(aLink_GetStatus(id_), kLinkStopped);

    std::vector<std::string> rx;
    for (const auto& line : AwaitRecord(record(), Has("rx AF 01 00")))
        if (line.compare(0, 3, "rx ") == 0)
            rx.push_back(line);
    ASSERT_GE(rx.size(), 4u);
    EXPECT_EQ(rx[rx.size() - 4], "rx 02 02 17 01");
    EXPECT_EQ(rx[rx.size() - 3], "rx 02 02 17 02");
    EXPECT_EQ(rx[rx.size() - 2], "rx 02 02 17 03");
    EXPECT_EQ(rx.back(), "rx AF 01 00");

    // Stopping a stopped link sends nothing: the next route frame after a
    // restart is the route-on.
    EXPECT_EQ(aLink_Stop(aLinkManager_Record(id_)), aErrNone);
    EXPECT_EQ(aLink_Start(id_), aErrNone);
    EXPECT_EQ(ReadSerial(id_), kSerial);
    std::vector<std::string> lines = AwaitRecord(record(), Has("rx AF 01 01", 2));
    std::vector<std::string> routes;
    for (const auto& line : lines)
        if (line.compare(0, 9, "rx AF 01 ") == 0)
            routes.push_back(line);
    EXPECT_EQ(routes, (std::vector<std::string>{"rx AF 01 01", "rx AF 01 00", "rx AF 01 01"}));
}

TEST_F(TcpLink, AnswersTheModulesHeartbeats)
{
    Start({"--heartbeat", "20"});
    id_ = aLink_CreateTCPIP(kLoopback, port_);
    ASSERT_NE(id_, 0);
    std::vector<std::string> lines = AwaitRecord(record(), Has("heartbeat ok", 4));
    EXPECT_GE(Count(lines, "heartbeat ok"), 4u);
    EXPECT_EQ(Count(lines, "heartbeat wrong"), 0u);
    // None of them reached the user.
    EXPECT_EQ(aLink_GetPacket(id_), nullptr);
}

TEST_F(TcpLink, ResetRecreatesTheStreamOrLeavesTheLinkStopped)
{
    Start();
    id_ = aLink_CreateTCPIP(kLoopback, port_);
    ASSERT_NE(id_, 0);
    EXPECT_EQ(aLink_Reset(id_), aErrNone);
    EXPECT_EQ(aLink_GetStatus(id_), kLinkRunning);
    EXPECT_EQ(ReadSerial(id_), kSerial);
    EXPECT_EQ(Count(AwaitRecord(record(), Has("tcp open", 2)), "tcp open"), 2u);

    program_.reset();
    EXPECT_NE(aLink_Reset(id_), aErrNone);
    EXPECT_EQ(aLink_GetStatus(id_), kLinkNoStream);
    uint8_t option = 9;
    EXPECT_EQ(aLink_AwaitFirst(id_, IsSystemReply, &option, 5000), nullptr);
    EXPECT_EQ(aLinkManager_GetUseCount(id_), 1);
}

TEST(Link, AnIdThatNamesNoLinkFindsNothing)
{
    int32_t unknown = 0x7FFFFFF0;
    EXPECT_EQ(aLink_GetStatus(unknown), kLinkNoStream);
    EXPECT_EQ(aLink_GetStatus(0), kLinkNoStream);
    EXPECT_EQ(aLink_Start(unknown), aErrParam);
    EXPECT_EQ(aLink_Sync(unknown), aErrParam);
    EXPECT_EQ(aLink_ForceRoute(unknown, true), aErrNotFound);
    EXPECT_EQ(aLink_Reset(unknown), aErrParam);
    EXPECT_EQ(aLink_Stop(nullptr), aErrParam);
    EXPECT_EQ(aLink_InstallUserPacketFilter(unknown, nullptr, nullptr), aErrParam);
    EXPECT_EQ(aLink_GetPacket(unknown), nullptr);
    EXPECT_EQ(aLink_AwaitPacket(unknown, 10), nullptr);
    EXPECT_EQ(aLink_DrainPackets(unknown, aLink_AcceptAll, nullptr), 0u);
    const uint8_t none[1] = {0};
    aPacket* packet = aPacket_CreateWithData(kModuleAddress, 0, none);
    EXPECT_EQ(aLink_PutPacket(unknown, packet), aErrParam);
    aPacket_Destroy(&packet);
    uint8_t direction;
    uint32_t length = 0;
    EXPECT_EQ(aLink_PacketDebug_Enable(unknown), aErrParam);
    EXPECT_EQ(aLink_PacketDebug_Read(unknown, &direction, &length, nullptr), aErrParam);
    int32_t holder = unknown;
    EXPECT_EQ(aLink_Destroy(&holder), aErrParam);
    EXPECT_EQ(holder, 0);
    // Link server clients are not available yet.
    EXPECT_EQ(aLink_CreateClient(kLoopback, 9000, 0), 0);
}

// A pseudo-terminal standing in for a serial line; the test keeps the master.
class SerialLink : public ::testing::Test {
protected:
    void SetUp() override
    {
        char name[256];
        ASSERT_EQ(openpty(&master_, &slave_, name, nullptr, nullptr), 0);
        path_ = name;
    }
    void TearDown() override
    {
        close(slave_);
        close(master_);
    }

    int master_ = -1;
    int slave_ = -1;   // held open so the line keeps its settings to be read
    std::string path_;
};

TEST_F(SerialLink, AcceptsOnlyTheListedRates)
{
    const struct {
        uint32_t rate;
        speed_t speed;   // B0: refused
    } cases[] = {
        {2400, B2400}, {4800, B4800}, {9600, B9600}, {115200, B115200}, {230400, B230400},
        {1200, B0}, {0, B0}, {115201, B0}, {460800, B0},
    };
    const uint32_t serial = 0x5E51A100;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.rate);
        int32_t id = aLink_CreateSerial(serial, path_.c_str(), c.rate);
        if (c.speed == B0) {
            EXPECT_EQ(id, 0);
            EXPECT_EQ(aLinkManager_LookupByIdentifier(serial), nullptr);
            continue;
        }
        ASSERT_NE(id, 0);
        EXPECT_EQ(aLink_GetStatus(id), kLinkRunning);
        struct termios line;
        ASSERT_EQ(tcgetattr(slave_, &line), 0);
        EXPECT_EQ(cfgetospeed(&line), c.speed);
        EXPECT_EQ(aLink_Destroy(&id), aErrNone);
    }
    EXPECT_EQ(aLink_CreateSerial(serial, "/nonexistent/tty", 9600), 0);
    EXPECT_EQ(aLinkManager_LookupByIdentifier(serial), nullptr);
}

TEST_F(SerialLink, SharedBySerialNumberAndResetReopensTheLine)
{
    const uint32_t serial = 0x5E51A200;
    int32_t id = aLink_CreateSerial(serial, path_.c_str(), 115200);
    ASSERT_NE(id, 0);
    int32_t second = aLink_CreateSerial(serial, "/dev/null", 9600);
    EXPECT_EQ(second, id);
    EXPECT_EQ(aLinkManager_GetUseCount(id), 2);
    EXPECT_EQ(aLink_Destroy(&second), aErrNone);

    EXPECT_EQ(aLink_Reset(id), aErrNone);
    EXPECT_EQ(aLink_GetStatus(id), kLinkRunning);
    // Frames still flow both ways on the reopened line.
    const uint8_t frame[] = {0x04, 0x01, 0x2A};
    ASSERT_EQ(write(master_, frame, sizeof frame), static_cast<ssize_t>(sizeof frame));
    aPacket* packet = aLink_AwaitPacket(id, 5000);
    ASSERT_NE(packet, nullptr);
    EXPECT_EQ(packet->address, 0x04);
    EXPECT_EQ(packet->data[0], 0x2A);
    aPacket_Destroy(&packet);
    EXPECT_EQ(aLink_Destroy(&id), aErrNone);
}

// The library's USB code with the virtual USB bus in front of libusb.
class UsbLink : public ::testing::Test {
protected:
    void SetUp() override
    {
        setenv(usbbus::kDirEnv, bus_.path().c_str(), 1);
        setenv(LUMASTRIX_NODE_DIR_ENV, nodes_.path().c_str(), 1);
        program_.reset(new VModuleProcess({"--serial", "40F5849A", "--heartbeat", "0", "--tcp", "off", "--usb", "on",
                                           "--usb-bus", bus_.path(), "--record", bus_.file("record")}));
    }
    void TearDown() override
    {
        program_.reset();
        unsetenv(usbbus::kDirEnv);
        unsetenv(LUMASTRIX_NODE_DIR_ENV);
    }

    TempDir bus_;
    TempDir nodes_;
    std::unique_ptr<VModuleProcess> program_;
};

TEST_F(UsbLink, SameModuleTwiceSharesOneLink)
{
    int32_t id = aLink_CreateUSB(kSerial);
    ASSERT_NE(id, 0);
    EXPECT_EQ(aLink_GetStatus(id), kLinkRunning);
    int32_t second = aLink_CreateUSB(kSerial);
    EXPECT_EQ(second, id);
    EXPECT_EQ(aLinkManager_GetUseCount(id), 2);
    EXPECT_EQ(ReadSerial(id), kSerial);

    EXPECT_EQ(aLink_Destroy(&second), aErrNone);
    EXPECT_EQ(aLink_GetStatus(id), kLinkRunning);
    EXPECT_EQ(ReadSerial(id), kSerial);
    int32_t last = id;
    EXPECT_EQ(aLink_Destroy(&last), aErrNone);
    EXPECT_EQ(aLink_GetStatus(id), kLinkNoStream);
    std::vector<std::string> lines = AwaitRecord(bus_.file("record"), Has("rx AF 01 00"));
    EXPECT_EQ(Count(lines, "usb open"), 1u);
}

TEST_F(UsbLink, UnknownSerialNumberNoLink)
{
    EXPECT_EQ(aLink_CreateUSB(0x12345678), 0);
    EXPECT_EQ(aLinkManager_LookupByIdentifier(0x12345678), nullptr);
}

}  // namespace

int main(int argc, char** argv)
{
    testsupport::ReexecWithUsbBus(argv);
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
