// quorvel-test: threaded
// Module and Link against the virtual module program: connecting by
// specifier over TCP on 127.0.0.1, by serial number on the virtual USB bus
// and (inside a private network namespace) over TCP/IP discovery; address
// learning; reaching a module behind a router through the router's link;
// raw commands, the echo, capability queries and the packet log file.

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <memory>
#include <string>
#include <vector>

#include "Elapsed.h"
#include "I2CClass.h"
#include "LoopbackLink.h"
#include "Module.h"
#include "NetnsRun.h"
#include "SystemClass.h"
#include "UsbBus.h"
#include "VModuleProcess.h"
#include "aLink.h"
#include "aLinkManagerInternal.h"
#include "lxusb_identity.h"
#include "testsupport.h"
#include "usbbus_control.h"

using namespace Veltrane::Lumastrix;
using testsupport::LoopbackTcpSpec;
using testsupport::MillisecondsSince;
using testsupport::ProcResult;
using testsupport::TempDir;
using testsupport::VModuleProcess;

namespace {

const uint32_t kSerial = 0x40F5849A;

int32_t UseCount(const Module& module)
{
    return aLinkManager_GetUseCount(module.getLink()->getLinkId());
}

aWeaveConfig DirectConfig()
{
    aWeaveConfig config;
    config.serverMode = false;
    config.fallbackToOther = false;
    return config;
}

// ---------------------------------------------------------------------------
// Without a module

TEST(ModuleConnect, RefusesWhatItCannotReachAndStaysUnconnected)
{
    Link link("plain");
    EXPECT_STREQ(link.getName(), "plain");
    EXPECT_EQ(link.connect(), aErrConfiguration) << "no specifier";
    aWeaveConfig config;
    EXPECT_EQ(link.getConfig(&config), aErrNone);
    EXPECT_TRUE(config.serverMode);
    EXPECT_TRUE(config.fallbackToOther);
    EXPECT_TRUE(config.loopbackOnly);
    EXPECT_EQ(config.serverPort, 0);
    EXPECT_EQ(config.interfaceAddress, htonl(INADDR_LOOPBACK));

    // A port nobody listens on.
    int probe = socket(AF_INET, SOCK_STREAM, 0);
    struct sockaddr_in local = {};
    local.sin_family = AF_INET;
    local.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t size = sizeof local;
    ASSERT_EQ(bind(probe, reinterpret_cast<sockaddr*>(&local), sizeof local), 0);
    ASSERT_EQ(getsockname(probe, reinterpret_cast<sockaddr*>(&local), &size), 0);
    close(probe);

    struct Case {
        const char* what;
        int32_t type;
        bool serverMode;
        aErr result;
    } cases[] = {
        {"link server client, server mode on", AWEAVE, true, aErrUnimplemented},
        {"link server client, server mode off", AWEAVE, false, aErrConfiguration},
        {"served USB link", USB, true, aErrUnimplemented},
        {"no transport", INVALID, false, aErrMode},
        {"unknown type", 9, false, aErrMode},
        {"nobody listening", TCPIP, false, aErrConnection},
    };
    for (const Case& c : cases) {
        linkSpec spec = LoopbackTcpSpec(ntohs(local.sin_port));
        spec.type = c.type;
        config.serverMode = c.serverMode;
        ASSERT_EQ(link.setConfig(config), aErrNone);
        ASSERT_EQ(link.setLinkSpecifier(spec), aErrNone);
        EXPECT_EQ(link.connect(), c.result) << c.what;
        EXPECT_EQ(link.getLinkId(), 0) << c.what;
        EXPECT_EQ(link.getStatus(), kLinkError) << c.what;
    }

    Module module(2, 0);
    EXPECT_FALSE(module.isConnected());
    EXPECT_EQ(module.getStatus(), kLinkError);
    EXPECT_EQ(module.enablePacketLog("/dev/null"), aErrConfiguration);
    linkSpec spec;
    EXPECT_EQ(module.getLinkSpecifier(&spec), aErrNotFound);
    uint8_t data[1] = {0};
    EXPECT_EQ(module.getLink()->sendPacket(2, 23, 1, data), aErrConnection);
    EXPECT_EQ(module.debug(data, 1), aErrConnection);
    uint8_t count = 0;
    EXPECT_EQ(module.classQuantity(3, &count), aErrConnection);
}

// ---------------------------------------------------------------------------
// TCP on 127.0.0.1

class TcpModule : public ::testing::Test {
protected:
    TempDir dir_;
    VModuleProcess program_{{"--serial", "40F5849A", "--address", "6", "--model", "13", "--heartbeat", "0"}};
    linkSpec spec_ = LoopbackTcpSpec(program_.port());
};

TEST_F(TcpModule, ConnectsFromASpecifierLearnsTheAddressAndHoldsTheConnectionUntilDisconnected)
{
    Module module(0, 0);
    ASSERT_EQ(module.connectFromSpec(spec_), aErrNone);
    EXPECT_TRUE(module.isConnected());
    EXPECT_EQ(module.getStatus(), kLinkRunning);
    EXPECT_EQ(module.getModuleAddress(), 6);
    SystemClass system;
    system.init(&module, 0);
    uint32_t serial = 0;
    EXPECT_EQ(system.getSerialNumber(&serial), aErrNone);
    EXPECT_EQ(serial, kSerial);

    // While connected the connection and its settings stay as they are.
    EXPECT_EQ(module.connectFromSpec(spec_), aErrBusy);
    EXPECT_EQ(module.getLink()->connect(), aErrConnection);
    EXPECT_EQ(module.reconnect(), aErrConnection);
    aWeaveConfig config;
    ASSERT_EQ(module.getConfig(&config), aErrNone);
    EXPECT_EQ(module.setConfig(config), aErrPermission);
    EXPECT_EQ(module.getLink()->setLinkSpecifier(spec_), aErrBusy);
    EXPECT_TRUE(module.isConnected());
    EXPECT_EQ(UseCount(module), 1);

    int32_t id = module.getLink()->getLinkId();
    EXPECT_EQ(module.disconnect(), aErrNone);
    EXPECT_FALSE(module.isConnected());
    EXPECT_EQ(module.getStatus(), kLinkError);
    EXPECT_EQ(aLink_GetStatus(id), kLinkNoStream) << "the link was released";
    EXPECT_EQ(system.getSerialNumber(&serial), aErrConnection);

    module.setModuleAddress(0);
    ASSERT_EQ(module.reconnect(), aErrNone);
    EXPECT_EQ(module.getModuleAddress(), 6);
    linkSpec stored;
    ASSERT_EQ(module.getLinkSpecifier(&stored), aErrNone);
    EXPECT_EQ(memcmp(&stored, &spec_, sizeof stored), 0);
}

TEST_F(TcpModule, RawCommandsCheckTheirArgumentsAndTimeOut)
{
    Module module(0, 0);
    ASSERT_EQ(module.connectFromSpec(spec_), aErrNone);
    Link* link = module.getLink();
    uint8_t data[aPACKET_MAX_DATA] = {1, 2, 3, 4, 5};
    EXPECT_EQ(link->sendPacket(6, 23, 28, data), aErrParam);
    EXPECT_EQ(link->sendPacket(7, 23, 1, data), aErrPacket);
    EXPECT_EQ(link->sendPacket(0, 23, 1, data), aErrPacket);
    ASSERT_EQ(link->sendPacket(6, 23, 27, data), aErrNone);

    const uint8_t echo = 23;
    uint8_t length = 1;
    uint8_t reply[aPACKET_MAX_DATA];
    ASSERT_EQ(link->receivePacket(6, &echo, &length, reply), aErrNone);
    EXPECT_EQ(length, 28);
    EXPECT_EQ(reply[0], 23);
    EXPECT_EQ(memcmp(&reply[1], data, 27), 0);

    length = 1;
    EXPECT_EQ(link->receivePacket(5, &echo, &length, reply), aErrPacket);
    auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(link->receivePacket(6, &echo, &length, reply), aErrTimeout);
    EXPECT_GE(MillisecondsSince(start), 900);

    // The echo test and the capability queries on the same link.
    EXPECT_EQ(module.debug(data, 5), aErrNone);
    EXPECT_EQ(module.hasUEI(3, 8, 0, 0x40), aErrNone);
    EXPECT_EQ(module.hasUEI(8, 1, 0, 0x40), aErrInvalidOption);
    uint8_t count = 9;
    EXPECT_EQ(module.classQuantity(3, &count), aErrNone);
    EXPECT_EQ(count, 1);
    EXPECT_EQ(module.classQuantity(77, &count), aErrNone);
    EXPECT_EQ(count, 0);
}

TEST_F(TcpModule, PacketLogFileHoldsStartAndTheFramesOfAnExchange)
{
    Module module(0, 0);
    ASSERT_EQ(module.connectFromSpec(spec_), aErrNone);
    std::string path = dir_.file("packets.log");
    ASSERT_EQ(module.enablePacketLog(path.c_str()), aErrNone);
    SystemClass system;
    system.init(&module, 0);
    uint8_t model = 0;
    ASSERT_EQ(system.getModel(&model), aErrNone);
    EXPECT_EQ(model, 13);
    ASSERT_EQ(module.disablePacketLog(), aErrNone);
    std::string log = testsupport::ReadFile(path);
    EXPECT_EQ(log.rfind(std::string("6 < START\0\r\n", 12), 0), 0u) << log;
    EXPECT_NE(log.find("5 > 0x6 0x3 0x3 0x48 0x20 \r\n"), std::string::npos) << log;
    EXPECT_NE(log.find("6 < 0x6 0x4 0x3 0x8 0x0 0xD \r\n"), std::string::npos) << log;

    // Switched off, nothing more is written.
    ASSERT_EQ(system.getModel(&model), aErrNone);
    EXPECT_EQ(testsupport::ReadFile(path), log);
}

TEST(TcpModuleFaults, AnUnansweredAddressQueryFailsTheConnectButLeavesTheLinkUp)
{
    VModuleProcess program({"--serial", "40F5849A", "--address", "6", "--heartbeat", "0", "--fault",
                            "no-address-reply"});
    linkSpec spec = LoopbackTcpSpec(program.port());
    Module module(10, 0);
    EXPECT_EQ(module.connectFromSpec(spec), aErrNotReady);
    EXPECT_TRUE(module.isConnected());
    EXPECT_EQ(module.getModuleAddress(), 10);
    module.setModuleAddress(6);
    SystemClass system;
    system.init(&module, 0);
    uint8_t model = 0;
    EXPECT_EQ(system.getModel(&model), aErrNone);

    // Without networking mode nothing is asked; the link is shared.
    Module known(6, false, 0);
    EXPECT_EQ(known.connectFromSpec(spec), aErrNone);
    EXPECT_EQ(UseCount(known), 2);
}

TEST(TcpRouter, AModuleBehindTheRouterSharesItsLinkAndKeepsItsI2CAddress)
{
    VModuleProcess program({"--serial", "100", "--address", "2", "--heartbeat", "0", "--module", "--serial", "200",
                            "--parent", "100", "--address", "4", "--heartbeat", "0"});
    Module router(0, 0);
    ASSERT_EQ(router.connectFromSpec(LoopbackTcpSpec(program.port())), aErrNone);
    ASSERT_EQ(router.getModuleAddress(), 2);

    // The I2C write probe: only where a module sits is it acknowledged.
    I2CClass bus;
    bus.init(&router, 0);
    EXPECT_EQ(bus.write(4, 0, nullptr), aErrNone);
    EXPECT_EQ(bus.write(6, 0, nullptr), aErrNotFound);

    Module child(4, 0);
    ASSERT_EQ(child.connectThroughLinkModule(&router), aErrNone);
    EXPECT_EQ(child.getLink()->getLinkId(), router.getLink()->getLinkId());
    EXPECT_EQ(UseCount(router), 2);
    EXPECT_EQ(child.getModuleAddress(), 4);
    EXPECT_EQ(child.connectThroughLinkModule(&router), aErrNone) << "already connected";
    EXPECT_EQ(UseCount(router), 2);

    SystemClass routerSystem, childSystem;
    routerSystem.init(&router, 0);
    childSystem.init(&child, 0);
    ASSERT_EQ(routerSystem.routeToMe(1), aErrNone);
    uint32_t serial = 0;
    EXPECT_EQ(childSystem.getSerialNumber(&serial), aErrNone);
    EXPECT_EQ(serial, 0x200u);

    // Networking mode is off: reconnecting does not take the router's address.
    EXPECT_EQ(child.disconnect(), aErrNone);
    EXPECT_TRUE(router.isConnected());
    EXPECT_EQ(UseCount(router), 1);
    ASSERT_EQ(child.reconnect(), aErrNone);
    EXPECT_EQ(child.getModuleAddress(), 4);
    EXPECT_EQ(UseCount(router), 2);

    // A router that holds no link, or never had a specifier.
    child.disconnect();
    router.disconnect();
    Module other(8, 0);
    EXPECT_EQ(other.connectThroughLinkModule(&router), aErrInitialization);
    Module never(0, 0);
    EXPECT_EQ(other.connectThroughLinkModule(&never), aErrNotFound);
    EXPECT_EQ(other.connectThroughLinkModule(nullptr), aErrParam);
    EXPECT_FALSE(other.isConnected());
}

// ---------------------------------------------------------------------------
// USB on the virtual bus

class UsbModule : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(testsupport::UsbBusLoaded());
        setenv(usbbus::kDirEnv, bus_.path().c_str(), 1);
        setenv(LUMASTRIX_NODE_DIR_ENV, nodes_.path().c_str(), 1);
        program_.reset(new VModuleProcess({"--usb-bus", bus_.path(), "--serial", "40F5849A", "--address", "6",
                                           "--model", "13", "--heartbeat", "0", "--tcp", "off", "--usb", "on",
                                           "--module", "--serial", "1234", "--address", "8", "--model", "5",
                                           "--heartbeat", "0", "--tcp", "off", "--usb", "on"}));
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

TEST_F(UsbModule, ConnectsBySerialNumberAndSharesTheLinkWithASecondModuleObject)
{
    Module module(0, 0);
    EXPECT_EQ(module.connect(USB, 0), aErrParam);
    // The default settings put a link server in front of a USB link.
    EXPECT_EQ(module.connect(USB, kSerial), aErrUnimplemented);
    EXPECT_FALSE(module.isConnected());

    ASSERT_EQ(module.setConfig(DirectConfig()), aErrNone);
    ASSERT_EQ(module.connect(USB, kSerial), aErrNone);
    EXPECT_EQ(module.getModuleAddress(), 6);
    linkSpec spec;
    ASSERT_EQ(module.getLinkSpecifier(&spec), aErrNone);
    EXPECT_EQ(spec.type, USB);
    EXPECT_EQ(spec.serial_num, kSerial);

    Module second(0, 0);
    ASSERT_EQ(second.setConfig(DirectConfig()), aErrNone);
    ASSERT_EQ(second.connect(USB, kSerial), aErrNone);
    EXPECT_EQ(second.getLink()->getLinkId(), module.getLink()->getLinkId());
    EXPECT_EQ(UseCount(module), 2);
    EXPECT_EQ(second.disconnect(), aErrNone);
    EXPECT_TRUE(module.isConnected());
    SystemClass system;
    system.init(&module, 0);
    uint32_t serial = 0;
    EXPECT_EQ(system.getSerialNumber(&serial), aErrNone);
    EXPECT_EQ(serial, kSerial);

    Module absent(0, 0);
    ASSERT_EQ(absent.setConfig(DirectConfig()), aErrNone);
    EXPECT_EQ(absent.connect(USB, 0x12345678), aErrNotFound);
}

TEST_F(UsbModule, WithoutASerialNumberTheFirstModuleOfTheModelIsTaken)
{
    struct Case {
        uint8_t model;
        uint8_t address;
        aErr result;
    } cases[] = {  // the bus lists devices in name order: 00001234 first
        {5, 8, aErrNone}, {13, 6, aErrNone}, {0, 8, aErrNone}, {99, 0, aErrNotFound}};
    for (const Case& c : cases) {
        Module module(0, c.model);
        ASSERT_EQ(module.setConfig(DirectConfig()), aErrNone);
        EXPECT_EQ(module.discoverAndConnect(USB, 0), c.result) << int(c.model);
        EXPECT_EQ(module.getModuleAddress(), c.address) << int(c.model);
    }
}

// ---------------------------------------------------------------------------
// TCP/IP discovery, only inside a private network namespace: the test starts
// this program again there, and the probe reports what it connected to.

constexpr const char* kConnectProbe = "--connect-probe";

void ProbeConnect(const char* what, Module& module, aErr err)
{
    uint32_t serial = 0;
    if (err == aErrNone) {
        SystemClass system;
        system.init(&module, 0);
        system.getSerialNumber(&serial);
    }
    printf("%s %s address %u serial %08X\n", what, aError_GetErrorText(err), module.getModuleAddress(), serial);
    module.disconnect();
}

int ConnectProbe()
{
    if (!testsupport::InPrivateNamespace()) {
        fprintf(stderr, "probe: runs only inside a private network namespace (tools/netns/run-in-netns)\n");
        return 2;
    }
    {
        Module module(0, 0);
        ProbeConnect("serial", module, module.connect(TCPIP, 0x1234));
    }
    {
        Module module(0, 13);
        ProbeConnect("model", module, module.discoverAndConnect(TCPIP, 0));
    }
    {
        Module module(0, 0);
        ProbeConnect("absent", module, module.connect(TCPIP, 0x777));
    }
    return 0;
}

TEST(TcpDiscoveryModule, ConnectsBySerialNumberOrModelFoundOnTheTestHost)
{
    std::string host = testsupport::VModuleBinary() +
                       " --discovery 10.77.0.2"
                       " --serial 40F5849A --address 2 --model 13 --heartbeat 0 --tcp 10.77.0.2:4001"
                       " --module --serial 1234 --address 8 --model 5 --heartbeat 0 --tcp 10.77.0.2:4002";
    ProcResult r = testsupport::RunInNamespace(host, {testsupport::SelfPath(), kConnectProbe});
    if (r.status == testsupport::kNamespacesUnavailable)
        GTEST_SKIP() << testsupport::SplitLines(r.err).front();
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(testsupport::SplitLines(r.out), (std::vector<std::string>{
                                                  "serial aErrNone address 8 serial 00001234",
                                                  "model aErrNone address 2 serial 40F5849A",
                                                  "absent aErrNotFound address 0 serial 00000000",
                                              }));
}

}  // namespace

int main(int argc, char** argv)
{
    if (argc > 1 && strcmp(argv[1], kConnectProbe) == 0)
        return ConnectProbe();
    testsupport::ReexecWithUsbBus(argv);
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
