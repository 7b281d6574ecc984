// quorvel-test: threaded
// The discover command (-D) of the real binary against the virtual module
// program: USB modules on the virtual USB bus (one held by another process,
// one whose version query fails), TCP/IP modules and a router on the test
// host of a private network namespace, routers over USB with and without
// modules on their I2C bus. The table lines are compared character for
// character; the router's traffic record shows what the scan probed and when
// routing to the host was on.

#include <gtest/gtest.h>

#include <stdio.h>
#include <string.h>
#include <unistd.h>

#include <filesystem>
#include <string>
#include <vector>

#include "BackgroundProcess.h"
#include "Module.h"
#include "NetnsRun.h"
#include "UsbBus.h"
#include "VModuleProcess.h"
#include "VModuleRecord.h"
#include "lxusb_identity.h"
#include "testsupport.h"
#include "usbbus_control.h"

using testsupport::ProcResult;
using testsupport::SplitLines;
using testsupport::TempDir;
using testsupport::VModuleProcess;

namespace {

const char* const VERSION_LINE = "Quorvel (Version: 2.10.6 Mar 15 2024)";
const char* const USB_HEADER = "    Device    Module   Router  Model          Firmware Version (Build)";
const char* const IP_HEADER =
    "    Device    Module   Router  Model          Firmware Version (Build)   [IP address]";

// Helper mode: holds a USB module's interface until stopped, as another
// program using the module would.
constexpr const char* kHoldUsb = "--hold-usb";

int HoldUsb(const char* serialText)
{
    Veltrane::Lumastrix::Module module(2, 0);
    Veltrane::Lumastrix::aWeaveConfig config;
    config.serverMode = false;
    config.fallbackToOther = false;
    module.setConfig(config);
    aErr err = module.connect(USB, static_cast<uint32_t>(strtoul(serialText, nullptr, 16)));
    if (err != aErrNone) {
        fprintf(stderr, "hold: cannot connect to %s: %d\n", serialText, err);
        return 1;
    }
    printf("held\n");
    fflush(stdout);
    pause();   // until SIGTERM ends the process
    return 0;
}

// Standard output without the version line, which must come first.
std::vector<std::string> TableLines(const std::string& out)
{
    std::vector<std::string> lines = SplitLines(out);
    EXPECT_FALSE(lines.empty());
    if (lines.empty())
        return lines;
    EXPECT_EQ(lines.front(), VERSION_LINE);
    lines.erase(lines.begin());
    return lines;
}

// What a router's record shows of one scan: routing to the host switched on,
// a two-byte probe at speed 3 to every even address from 2 to 252 but the
// router's own (acknowledged where a module sits), routing switched off.
std::vector<std::string> ExpectedScan(unsigned routerAddress, const std::vector<unsigned>& children)
{
    std::vector<std::string> events = {"route to me on"};
    for (unsigned address = 2; address <= 252; address += 2) {
        if (address == routerAddress)
            continue;
        bool child = false;
        for (unsigned c : children)
            child = child || c == address;
        char line[64];
        snprintf(line, sizeof line, "i2c write %02X 2 bytes speed 3 %s", address, child ? "ack" : "nak");
        events.push_back(line);
    }
    events.push_back("route to me off");
    return events;
}

// The router's routing and I2C events, in order.
std::vector<std::string> ScanEvents(const std::string& record, const std::string& serial)
{
    std::vector<std::string> events;
    for (const std::string& e : testsupport::RecordEvents(record, serial))
        if (e.rfind("route to me ", 0) == 0 || e.rfind("i2c ", 0) == 0)
            events.push_back(e);
    return events;
}

std::vector<std::string> Repeated(const std::vector<std::string>& once, int times)
{
    std::vector<std::string> all;
    for (int i = 0; i < times; i++)
        all.insert(all.end(), once.begin(), once.end());
    return all;
}

// Discovery only reads: the storage directory stays empty.
void ExpectEmptyStore(const std::string& storage)
{
    std::error_code ec;
    for (const auto& entry : std::filesystem::recursive_directory_iterator(storage, ec))
        ADD_FAILURE() << "discovery wrote " << entry.path();
}

// ---------------------------------------------------------------------------
// USB, on the virtual bus

class UsbDiscover : public ::testing::Test {
protected:
    // Quorvel with the bus in front of libusb and no kernel driver nodes.
    ProcResult Quorvel(const std::vector<std::string>& args)
    {
        std::vector<std::string> all = {"-i", store_.path()};
        all.insert(all.end(), args.begin(), args.end());
        testsupport::RunOptions options;
        options.env = {"LD_PRELOAD=" + testsupport::UsbBusPreload(), std::string(usbbus::kDirEnv) + "=" + bus_.path(),
                       std::string(LUMASTRIX_NODE_DIR_ENV) + "=" + nodes_.path()};
        return testsupport::RunQuorvel(all, options);
    }
    std::vector<std::string> Program(const std::vector<std::string>& modules)
    {
        // Every module records into the one file (modules behind a router
        // record into their router's).
        std::vector<std::string> args = {"--usb-bus", bus_.path()};
        for (const std::string& m : modules) {
            if (m == "--module")
                args.insert(args.end(), {"--record", record()});
            args.push_back(m);
        }
        args.insert(args.end(), {"--record", record()});
        return args;
    }
    std::string record() const { return store_.file("record"); }

    TempDir bus_;
    TempDir nodes_;
    TempDir store_;
};

TEST_F(UsbDiscover, ListsModulesInBusOrderWithVersionsAndTheErrorsOfThoseItCouldNotRead)
{
    VModuleProcess program(Program({
        "--serial", "40F5849A", "--address", "6", "--model", "13", "--build", "1234", "--heartbeat", "0",
        "--tcp", "off", "--usb", "on",
        "--module", "--serial", "1234", "--address", "8", "--model", "5", "--version", "0x2A000006",
        "--build", "77", "--heartbeat", "0", "--tcp", "off", "--usb", "on",
        // held by another program
        "--module", "--serial", "ABCD", "--address", "10", "--heartbeat", "0", "--tcp", "off", "--usb", "on",
        "--module", "--serial", "BEEF", "--address", "12", "--heartbeat", "0", "--tcp", "off", "--usb", "on",
        "--fault", "refuse-option:7,29",
    }));
    testsupport::BackgroundProcess holder(
        {"/usr/bin/env", "LD_PRELOAD=" + testsupport::UsbBusPreload(),
         std::string(usbbus::kDirEnv) + "=" + bus_.path(), std::string(LUMASTRIX_NODE_DIR_ENV) + "=" + nodes_.path(),
         testsupport::SelfPath(), kHoldUsb, "0000ABCD"},
        store_.file("holder.err"));
    ASSERT_EQ(holder.ReadLine(), "held") << testsupport::ReadFile(store_.file("holder.err"));

    ProcResult r = Quorvel({"-D", "-t", "USB"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(TableLines(r.out), (std::vector<std::string>{
                                     "Searching for Lumastrix devices",
                                     "Discovered Devices: (USB)",
                                     USB_HEADER,
                                     "    00001234  08       08      Brevon         2.10.6 (77)",
                                     "    0000ABCD  [Error (25): Is someone else connected to this device?]",
                                     "    0000BEEF  [Error (29): Is someone else connected to this device?]",
                                     "    40F5849A  06       06      Cindrel        2.16.0 (1234)",
                                 }));
    ExpectEmptyStore(store_.file("quorvel"));
}

TEST_F(UsbDiscover, RouterScanFindsTheModulesOnItsI2CBusAndAnEmptyBusGivesAnEmptyList)
{
    VModuleProcess program(Program({
        "--serial", "C0FFEE", "--address", "16", "--model", "19", "--heartbeat", "0", "--tcp", "off", "--usb", "on",
        "--module", "--serial", "C001", "--parent", "C0FFEE", "--address", "4", "--model", "14",
        "--version", "3.1.4", "--build", "42", "--heartbeat", "0",
        "--module", "--serial", "C002", "--parent", "C0FFEE", "--address", "252", "--model", "15",
        "--heartbeat", "0", "--fault", "refuse-option:8,29",
        "--module", "--serial", "E3E3E3", "--address", "2", "--heartbeat", "0", "--tcp", "off", "--usb", "on",
    }));

    ProcResult r = Quorvel({"-D", "-t", "USB", "-r", "00C0FFEE"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(TableLines(r.out), (std::vector<std::string>{
                                     "Searching for Lumastrix Network devices connected to 00C0FFEE",
                                     "Discovered Devices: (USB)",
                                     USB_HEADER,
                                     "    0000C001  04       10      Dorvath        3.1.4 (42)",
                                     "    0000C002  [Error (29): Is someone else connected to this device?]",
                                 }));
    EXPECT_EQ(ScanEvents(record(), "00C0FFEE"), ExpectedScan(16, {4, 252}));

    r = Quorvel({"-D", "-t", "USB", "-r", "E3E3E3"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(TableLines(r.out), (std::vector<std::string>{
                                     "Searching for Lumastrix Network devices connected to 00E3E3E3",
                                     "Discovered Devices: (USB)",
                                     "    No devices found.",
                                 }));
    EXPECT_EQ(ScanEvents(record(), "00E3E3E3"), ExpectedScan(2, {}));
    ExpectEmptyStore(store_.file("quorvel"));
}

// ---------------------------------------------------------------------------
// TCP/IP, only inside a private network namespace: the virtual modules run on
// the test host (10.77.0.2) and answer discovery there. Each test runs its
// commands in one namespace session and reads their results from files.

struct Command {
    const char* name;
    std::vector<std::string> args;
};

class TcpipDiscover : public ::testing::Test {
protected:
    // Runs the commands one after the other against the test host's modules;
    // false when namespaces are unavailable here (the test is then skipped).
    bool RunSession(const std::vector<Command>& commands)
    {
        std::string host = testsupport::VModuleBinary() + " --discovery 10.77.0.2" +
                           " --serial 40F5849A --address 6 --model 13 --build 1234 --heartbeat 0"
                           " --tcp 10.77.0.2:4001"
                           " --module --serial 1234 --address 8 --model 5 --version 0x2A000006 --build 77"
                           " --heartbeat 0 --tcp 10.77.0.2:4002"
                           " --module --serial BEEF --address 12 --model 13 --heartbeat 0 --tcp 10.77.0.2:4003"
                           " --fault refuse-option:7,29"
                           " --module --serial D272031D --address 32 --model 19 --build 5 --heartbeat 0"
                           " --tcp 10.77.0.2:4004 --record " + Record() +
                           " --module --serial 2181F0EE --parent D272031D --address 2 --model 14 --version 3.1.4"
                           " --build 42 --heartbeat 0"
                           " --module --serial C0DE --parent D272031D --address 64 --model 5"
                           " --version 0x2A000006 --build 7 --heartbeat 0"
                           " --module --serial FFFC --parent D272031D --address 252 --model 15 --heartbeat 0"
                           " --fault refuse-option:8,29";
        // Each command's output, errors and status land in files. The empty
        // virtual USB bus in front of libusb keeps the USB half of every
        // look-up to this test's own devices (none).
        std::string script = std::string("Q=$1 P=$2 B=$3 S=$4 D=$5\n") +
                             "run() { name=$1; shift; env LD_PRELOAD=\"$P\" " + usbbus::kDirEnv + "=\"$B\" " +
                             LUMASTRIX_NODE_DIR_ENV + "=\"$B\" \"$Q\" -i \"$S\" \"$@\" > \"$D/$name.out\" "
                             "2> \"$D/$name.err\"; echo $? > \"$D/$name.rc\"; }\n";
        for (const Command& c : commands) {
            script += std::string("run ") + c.name;
            for (const std::string& a : c.args)
                script += " " + a;
            script += "\n";
        }
        std::string bus = dir_.file("bus");
        std::filesystem::create_directory(bus);
        ProcResult r = testsupport::RunInNamespace(host, {"/bin/sh", "-c", script, "sh", QUORVEL_BIN,
                                                          testsupport::UsbBusPreload(), bus, Storage(), dir_.path()});
        if (r.status == testsupport::kNamespacesUnavailable) {
            skip_ = SplitLines(r.err).empty() ? "private network namespaces are unavailable" : SplitLines(r.err)[0];
            return false;
        }
        EXPECT_EQ(r.status, 0) << r.err;
        ExpectEmptyStore(Storage() + "/quorvel");
        return true;
    }

    std::string Record() const { return dir_.file("record"); }
    std::string Storage() const { return dir_.file("store"); }
    // One command's table; every -D run succeeds without an error line.
    std::vector<std::string> Table(const char* name) const
    {
        EXPECT_EQ(testsupport::ReadFile(dir_.file(std::string(name) + ".rc")), "0\n") << name;
        EXPECT_EQ(testsupport::ReadFile(dir_.file(std::string(name) + ".err")), "") << name;
        return TableLines(testsupport::ReadFile(dir_.file(std::string(name) + ".out")));
    }

    TempDir dir_;
    std::string skip_;
};

TEST_F(TcpipDiscover, ListsModulesWithAddressesVersionsAndIPAddressWhateverTheirErrors)
{
    if (!RunSession({{"tcpip", {"-D", "-t", "TCPIP"}}, {"default", {"-D"}}}))
        GTEST_SKIP() << skip_;
    // 0000BEEF refuses the version query: its line shows what discovery and
    // the build query gave, and no version.
    EXPECT_EQ(Table("tcpip"), (std::vector<std::string>{
                                  "Searching for Lumastrix devices",
                                  "Discovered Devices: (TCPIP)",
                                  IP_HEADER,
                                  "    40F5849A  06       06      Cindrel        2.16.0 (1234) [10.77.0.2]",
                                  "    00001234  08       08      Brevon         2.10.6 (77) [10.77.0.2]",
                                  "    0000BEEF  0C       0C      Cindrel        0.0.0 (1) [10.77.0.2]",
                                  "    D272031D  20       20      Istrel         2.16.0 (5) [10.77.0.2]",
                              }));
    // Without a transport only USB is searched, and the bus is empty.
    EXPECT_EQ(Table("default"), (std::vector<std::string>{
                                    "Searching for Lumastrix devices",
                                    "Discovered Devices: (USB)",
                                    "    No devices found.",
                                }));
}

TEST_F(TcpipDiscover, RouterScanListsItsModulesWithTheRoutersIPAddress)
{
    if (!RunSession({{"router", {"-D", "-t", "TCPIP", "-r", "D272031D"}}, {"router-any", {"-D", "-r", "D272031D"}}}))
        GTEST_SKIP() << skip_;
    // 0000FFFC refuses the model query: model 0, the rest is read.
    const std::vector<std::string> modules = {
        "    2181F0EE  02       20      Dorvath        3.1.4 (42) [10.77.0.2]",
        "    0000C0DE  40       20      Brevon         2.10.6 (7) [10.77.0.2]",
        "    0000FFFC  FC       20      Unknown        2.16.0 (1) [10.77.0.2]",
    };
    std::vector<std::string> expected = {"Searching for Lumastrix Network devices connected to D272031D",
                                         "Discovered Devices: (TCPIP)", IP_HEADER};
    expected.insert(expected.end(), modules.begin(), modules.end());
    EXPECT_EQ(Table("router"), expected);

    // Without -t the router is looked up first: only TCP/IP has it.
    expected[1] = "Discovered Devices: (Unknown)";
    EXPECT_EQ(Table("router-any"), expected);

    // Both scans, each inside its own routing on and off.
    EXPECT_EQ(ScanEvents(Record(), "D272031D"), Repeated(ExpectedScan(0x20, {0x02, 0x40, 0xFC}), 2));
}

TEST_F(TcpipDiscover, ARouterNobodyAnswersForGivesAnEmptyListWithoutAMessage)
{
    if (!RunSession({{"nobody", {"-D", "-r", "0BADF00D"}}}))
        GTEST_SKIP() << skip_;
    EXPECT_EQ(Table("nobody"), (std::vector<std::string>{
                                   "Searching for Lumastrix Network devices connected to 0BADF00D",
                                   "Discovered Devices: (Unknown)",
                                   "    No devices found.",
                               }));
    EXPECT_EQ(ScanEvents(Record(), "D272031D"), std::vector<std::string>{});
}

}  // namespace

int main(int argc, char** argv)
{
    if (argc == 3 && strcmp(argv[1], kHoldUsb) == 0)
        return HoldUsb(argv[2]);
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
