// quorvel-test: threaded
// The update command (-U) of the real binary against the virtual module
// program: over the virtual USB bus, over TCP/IP inside a private network
// namespace, and through a router (by the router scan, or in-process with
// the module's address given). The simulated flash shows what arrived and
// how a generic image was stamped; the module's record shows the
// sub-commands; the store shows the transfer recorded. Also the refusals
// (serial number, model), retried and failing firmware blocks, the choice
// of the build from the server and the store, and -G -U in one run.

#include <gtest/gtest.h>

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <algorithm>
#include <filesystem>
#include <regex>
#include <string>
#include <vector>

#include "BirdWriter.h"
#include "NetnsRun.h"
#include "RecordWait.h"
#include "Quorvel.h"
#include "UsbBus.h"
#include "VModuleFlash.h"
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
const char* const SERIAL = "40F5849A";
const uint32_t kSerial = 0x40F5849A;
const uint32_t kLoaderAddress = 0x20000000;
const uint32_t kBlock1 = 0x10000;
const uint32_t kBlock2 = 0x11000;
// Where a generic image keeps the serial word and the string descriptor.
const uint32_t kSerialWord = kBlock1 + 0x10;
const uint32_t kDescriptor = kBlock1 + 0x40;

std::string Text(const birdwriter::Bytes& bytes)
{
    return std::string(bytes.begin(), bytes.end());
}

// A loader of 60 bytes and two firmware blocks of 300 and 100 bytes.
birdwriter::Image TwoBlockImage(uint32_t serial, const std::string& model = "Cindrel", uint32_t build = 42)
{
    birdwriter::Image image;
    image.Loader(kLoaderAddress, birdwriter::Pattern(60, 1))
        .Firmware(kBlock1, birdwriter::Pattern(300, 2))
        .Firmware(kBlock2, birdwriter::Pattern(100, 3))
        .Info(build, "2.17.0", serial, model);
    if (serial == 0)
        image.SerialOffsets(kSerialWord, kDescriptor);
    return image;
}

std::string WriteImage(const std::string& path, const birdwriter::Image& image)
{
    std::string error;
    EXPECT_TRUE(image.Write(path, &error)) << error;
    return path;
}

// Standard output without the version line, which must come first, and
// with the update time's digits replaced by N.
std::vector<std::string> Lines(const std::string& out)
{
    std::vector<std::string> lines = SplitLines(out);
    EXPECT_FALSE(lines.empty());
    if (lines.empty())
        return lines;
    EXPECT_EQ(lines.front(), VERSION_LINE);
    lines.erase(lines.begin());
    static const std::regex time("^Update time: [0-9]+\\.[0-9]{4} sec$");
    for (std::string& line : lines)
        if (std::regex_match(line, time))
            line = "Update time: N sec";
    return lines;
}

// What the update shows for TwoBlockImage after its first line.
const std::vector<std::string> kTransferLines = {
    "Transferring loader to device",
    "Transferring loader block 1 of 1, 64 bytes",
    "Transferred 1 blocks, 64 total bytes",
    "Starting Load on Device",
    "Transferring firmware block 1 of 2, 304 bytes",
    "Transferring firmware block 2 of 2, 104 bytes",
    "Transferred 2 blocks, 408 total bytes",
    "Update time: N sec",
};

std::vector<std::string> Expect(std::vector<std::string> first, const std::vector<std::string>& rest = kTransferLines)
{
    first.insert(first.end(), rest.begin(), rest.end());
    return first;
}

// The flash holds both firmware blocks as sent; the loader's RAM the loader.
void ExpectFlashed(const std::string& dumpPath)
{
    testsupport::FlashDump dump = testsupport::ReadFlashDump(dumpPath);
    EXPECT_EQ(dump.flash.At(kBlock1, 300), Text(birdwriter::Pattern(300, 2)));
    EXPECT_EQ(dump.flash.At(kBlock2, 100), Text(birdwriter::Pattern(100, 3)));
    EXPECT_EQ(dump.loader.At(kLoaderAddress, 60), Text(birdwriter::Pattern(60, 1)));
}

// The upgrade sub-commands a module's record shows, by name.
std::vector<std::string> UpgradeEvents(const std::string& record, const std::string& serial, const std::string& name)
{
    std::vector<std::string> found;
    for (const std::string& e : testsupport::RecordEvents(record, serial))
        if (e.rfind("upgrade " + name, 0) == 0)
            found.push_back(e);
    return found;
}

std::string Attribute(const std::string& settings, const std::string& key)
{
    for (const std::string& line : SplitLines(testsupport::ReadFile(settings)))
        if (line.rfind(key + "=", 0) == 0)
            return line.substr(key.size() + 1);
    return "(absent)";
}

// The transfer recorded in the device's attribute file.
void ExpectRecorded(const std::string& storage, const std::string& serial, const std::string& transferred)
{
    std::string settings = storage + "/quorvel/" + serial + "/.settings";
    EXPECT_EQ(Attribute(settings, "LATEST_TRANSFER"), transferred);
    static const std::regex date("^[A-Z][a-z]{2} [A-Z][a-z]{2} [ 0-9][0-9] [0-9]{2}:[0-9]{2}:[0-9]{2} [0-9]{4}$");
    std::string when = Attribute(settings, "LAST_TRANSFER_DATE");
    EXPECT_TRUE(std::regex_match(when, date)) << when;
}

// ---------------------------------------------------------------------------
// USB, on the virtual bus

// Every run of Quorvel here goes inside a private network namespace of its
// own: a module missing from the bus (say, still restarting) makes the
// update look for it over TCP/IP, which sends multicast. The bus is a
// directory of UNIX sockets, so it is reached from inside all the same; an
// update server, when a test needs one, runs inside with it.
const char* const kNamespaceScript = R"(server=$1 tree=$2 fifo=$3; shift 3
if [ -n "$tree" ]; then
  mkfifo "$fifo" || exit 1
  "$server" --root "$tree" --listen 127.0.0.1:8089 > "$fifo" 2> /dev/null &
  pid=$!
  read line < "$fifo"
fi
"$@"
rc=$?
if [ -n "$tree" ]; then kill $pid; wait $pid; fi
exit $rc
)";
const char* const kServerInNamespace = "http://127.0.0.1:8089/cgi/u";
const char* const kNoServer = "http://127.0.0.1:1/cgi/u";

class UsbUpdate : public ::testing::Test {
protected:
    void SetUp() override
    {
        ProcResult r = InNamespace({"true"});
        if (r.status == testsupport::kNamespacesUnavailable)
            GTEST_SKIP() << (SplitLines(r.err).empty() ? "private network namespaces are unavailable"
                                                       : SplitLines(r.err)[0]);
    }
    // The command inside a private namespace, with the virtual USB bus in
    // front of libusb and no kernel driver nodes; with an update server on
    // serverTree when one is given.
    ProcResult InNamespace(const std::vector<std::string>& command, const std::string& serverTree = "")
    {
        std::vector<std::string> argv = {std::string(QUORVEL_SOURCE_DIR) + "/tools/netns/run-in-netns", "--",
                                         "/bin/sh", "-c", kNamespaceScript, "sh", QUORVEL_UPDATESERVER_BIN,
                                         serverTree, dir_.file("server-started-" + std::to_string(++runs_)),
                                         "env", "LD_PRELOAD=" + testsupport::UsbBusPreload(),
                                         std::string(usbbus::kDirEnv) + "=" + bus_.path(),
                                         std::string(LUMASTRIX_NODE_DIR_ENV) + "=" + nodes_.path()};
        argv.insert(argv.end(), command.begin(), command.end());
        testsupport::RunOptions options;
        // The namespace tools run without the bus; the command gets it back.
        options.env = {"LD_PRELOAD="};
        return testsupport::Run(argv, options);
    }
    ProcResult Quorvel(const std::vector<std::string>& args, const std::string& serverTree = "")
    {
        std::vector<std::string> command = {QUORVEL_BIN, "-i", store_.path(), "-u",
                                            serverTree.empty() ? kNoServer : kServerInNamespace};
        command.insert(command.end(), args.begin(), args.end());
        return InNamespace(command, serverTree);
    }
    // One USB module per entry (a module behind a router has no link of its
    // own): quick restarts and the record, then the entry's options.
    std::vector<std::string> Modules(const std::vector<std::vector<std::string>>& modules)
    {
        std::vector<std::string> args = {"--usb-bus", bus_.path()};
        for (size_t i = 0; i < modules.size(); ++i) {
            if (i > 0)
                args.push_back("--module");
            args.insert(args.end(), {"--model", "13", "--heartbeat", "0", "--restart-delay", "100",
                                     "--next-version", "2.17.0", "--next-build", "42"});
            // A module behind a router records into its router's record.
            if (std::find(modules[i].begin(), modules[i].end(), "--parent") == modules[i].end())
                args.insert(args.end(), {"--tcp", "off", "--usb", "on", "--record", record()});
            args.insert(args.end(), modules[i].begin(), modules[i].end());
        }
        return args;
    }
    // Waits until the module is back from every restart so far, so that the
    // next run finds it on the bus.
    void AwaitBack(const std::string& serial)
    {
        int restarts = 0;
        for (const std::string& e : testsupport::RecordEvents(record(), serial))
            restarts += e.rfind("restart into ", 0) == 0;
        EXPECT_TRUE(testsupport::AwaitRecordEvent(record(), serial, "back", restarts)) << serial << " is not back";
    }
    std::string record() const { return dir_.file("record"); }
    std::string dump(const std::string& serial) const { return dir_.file(serial + ".flash"); }
    std::string image(const std::string& name) const { return dir_.file(name); }
    std::string store() const { return store_.path(); }

    TempDir bus_;
    TempDir nodes_;
    TempDir store_;
    TempDir dir_;
    int runs_ = 0;
};

TEST_F(UsbUpdate, TransfersLoaderAndFirmwareWhetherTheLoaderRestartsTheModuleOrNot)
{
    VModuleProcess program(Modules({
        {"--serial", SERIAL, "--address", "6", "--flash-dump", dump(SERIAL)},
        {"--serial", "1234", "--address", "8", "--load", "answer", "--flash-dump", dump("00001234")},
    }));
    std::string specific = WriteImage(image("40F5849A.bird"), TwoBlockImage(kSerial));
    ProcResult r = Quorvel({"-U", "-d", SERIAL, "-f", specific});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(Lines(r.out), Expect({"Updating from Birdfile: " + specific}));
    ExpectFlashed(dump(SERIAL));
    // The device had no store entry: it got one for the record.
    ExpectRecorded(store(), SERIAL, specific);
    AwaitBack(SERIAL);
    auto events = testsupport::RecordEvents(record(), SERIAL);
    EXPECT_NE(std::find(events.begin(), events.end(), "upgrade LOAD"), events.end());
    EXPECT_NE(std::find(events.begin(), events.end(), "firmware started version 2.17.0 build 42"), events.end());

    std::string other = WriteImage(image("1234.bird"), TwoBlockImage(0x1234));
    r = Quorvel({"-U", "-d", "1234", "-f", other});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(Lines(r.out), Expect({"Updating from Birdfile: " + other}));
    ExpectFlashed(dump("00001234"));
    EXPECT_EQ(UpgradeEvents(record(), "00001234", "LOAD"), std::vector<std::string>{"upgrade LOAD answered"});
    AwaitBack("00001234");

    // The new firmware is what discovery finds now.
    r = Quorvel({"-D"});
    EXPECT_NE(r.out.find("    40F5849A  06       06      Cindrel        2.17.0 (42)"), std::string::npos) << r.out;
}

TEST_F(UsbUpdate, AModuleAwayLongerThanTheLoaderStartWaitsIsFoundAgainAfterwards)
{
    // Away 4 s: longer than the loader start's five reconnection attempts, so
    // the update's own search after the loader started finds it.
    VModuleProcess program(Modules({{"--serial", SERIAL, "--address", "6", "--restart-delay", "4000",
                                     "--flash-dump", dump(SERIAL)}}));
    std::string specific = WriteImage(image("40F5849A.bird"), TwoBlockImage(kSerial));
    ProcResult r = Quorvel({"-U", "-d", SERIAL, "-f", specific});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(Lines(r.out), Expect({"Updating from Birdfile: " + specific}));
    ExpectFlashed(dump(SERIAL));
}

TEST_F(UsbUpdate, AGenericImageIsStampedWithTheModulesSerialNumber)
{
    VModuleProcess program(Modules({{"--serial", SERIAL, "--address", "6", "--load", "answer",
                                     "--flash-dump", dump(SERIAL)}}));
    std::string generic = WriteImage(image("generic.bird"), TwoBlockImage(0));
    ProcResult r = Quorvel({"-U", "-d", SERIAL, "-f", generic});
    ASSERT_EQ(r.status, 0) << r.err;

    testsupport::FlashDump dump = testsupport::ReadFlashDump(this->dump(SERIAL));
    std::string sent = Text(birdwriter::Pattern(300, 2));
    std::string expected = sent;
    // The serial word least significant byte first; the hex text in every
    // second byte of the descriptor, the bytes between left alone.
    expected.replace(kSerialWord - kBlock1, 4, std::string("\x9A\x84\xF5\x40", 4));
    for (int i = 0; i < 8; ++i)
        expected[kDescriptor - kBlock1 + 2 * i] = SERIAL[i];
    EXPECT_EQ(dump.flash.At(kBlock1, 300), expected);
    EXPECT_NE(expected, sent);
    // The image file itself is unchanged.
    EXPECT_EQ(testsupport::ReadFile(generic), Text(TwoBlockImage(0).File()));
}

TEST_F(UsbUpdate, AnImageForAnotherDeviceOrModelIsRefusedUnlessOverridden)
{
    VModuleProcess program(Modules({{"--serial", SERIAL, "--address", "6", "--load", "answer",
                                     "--flash-dump", dump(SERIAL)}}));
    struct Case {
        const char* what;
        birdwriter::Image image;
        std::vector<std::string> errors;
    } cases[] = {
        {"made for another serial number", TwoBlockImage(0x1234), {"Birdfile failed validation"}},
        {"made for another model", TwoBlockImage(kSerial, "Avolin"),
         {"Connected device model and Bird file model do not match [Cindrel] (0)", "Birdfile failed validation"}},
    };
    for (auto& c : cases) {
        SCOPED_TRACE(c.what);
        std::string path = WriteImage(image("refused.bird"), c.image);
        size_t initsBefore = UpgradeEvents(record(), SERIAL, "INIT").size();
        ProcResult r = Quorvel({"-U", "-d", SERIAL, "-f", path});
        EXPECT_EQ(r.status, 1);
        EXPECT_EQ(SplitLines(r.err), c.errors);
        EXPECT_EQ(Lines(r.out), std::vector<std::string>{"Updating from Birdfile: " + path});
        EXPECT_EQ(UpgradeEvents(record(), SERIAL, "INIT").size(), initsBefore) << "nothing was sent";

        std::filesystem::remove(dump(SERIAL));
        r = Quorvel({"-U", "-d", SERIAL, "-f", path, "-OVERRIDE"});
        EXPECT_EQ(r.status, 0) << r.err;
        EXPECT_EQ(r.err, "");
        EXPECT_EQ(Lines(r.out), Expect({"Updating from Birdfile: " + path}));
        ExpectFlashed(dump(SERIAL));
        AwaitBack(SERIAL);
    }
}

TEST_F(UsbUpdate, AFirmwareBlockFailingTwiceIsRetriedAndFiveFailuresEndTheUpdate)
{
    VModuleProcess program(Modules({
        {"--serial", "BAD2", "--address", "6", "--load", "answer", "--fault", "wrong-sum:2,1",
         "--flash-dump", dump("0000BAD2")},
        {"--serial", "BAD5", "--address", "8", "--load", "answer", "--fault", "wrong-sum:5,2"},
    }));
    ProcResult r = Quorvel({"-U", "-d", "BAD2", "-f", WriteImage(image("bad2.bird"), TwoBlockImage(0xBAD2))});
    EXPECT_EQ(r.status, 0) << r.err;
    std::vector<std::string> retried = kTransferLines;
    retried.insert(retried.begin() + 5, {"Transferring firmware block 1 of 2, 304 bytes", "  Retry 1",
                                         "Transferring firmware block 1 of 2, 304 bytes", "  Retry 2"});
    EXPECT_EQ(Lines(r.out), Expect({"Updating from Birdfile: " + image("bad2.bird")}, retried));
    ExpectFlashed(dump("0000BAD2"));

    r = Quorvel({"-U", "-d", "BAD5", "-f", WriteImage(image("bad5.bird"), TwoBlockImage(0xBAD5))});
    EXPECT_EQ(r.status, 1);
    std::vector<std::string> shown = Lines(r.out);
    EXPECT_EQ(std::count(shown.begin(), shown.end(), "Transferring firmware block 2 of 2, 104 bytes"), 5);
    EXPECT_EQ(shown.back(), "Transferred 1 blocks, 304 total bytes");
    EXPECT_EQ(SplitLines(r.err).back(), "Firmware update failed [29, aErrInvalidOption]");
    EXPECT_EQ(UpgradeEvents(record(), "0000BAD5", "REBOOT"), std::vector<std::string>{}) << "left in its loader";
    EXPECT_EQ(Attribute(store() + "/quorvel/0000BAD5/.settings", "LATEST_TRANSFER"), "(absent)");
}

TEST_F(UsbUpdate, TheBuildComesFromTheServerTheLatestDownloadOrTheLatestTransfer)
{
    VModuleProcess program(Modules({{"--serial", SERIAL, "--address", "6", "--load", "answer",
                                     "--flash-dump", dump(SERIAL)}}));
    // The server's current build for the device is 9.
    TempDir tree;
    std::filesystem::create_directories(tree.file(SERIAL));
    WriteImage(tree.file(std::string(SERIAL) + "/9.bird"), TwoBlockImage(kSerial, "Cindrel", 9));
    std::string device = store() + "/quorvel/" + SERIAL;
    std::filesystem::create_directories(device);
    auto settings = [&](const std::string& lines) { testsupport::WriteFile(device + "/.settings", lines); };
    auto update = [&](bool withServer) { return Quorvel({"-U", "-d", SERIAL}, withServer ? tree.path() : ""); };

    // Nothing stored: no build anywhere.
    ProcResult r = update(true);
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "Could not find valid build for this device.\n");
    EXPECT_EQ(Lines(r.out), (std::vector<std::string>{
                                "New firmware is available.  Quorvel will proceed if valid firmware is found locally."}));

    // The current build is not stored, the last download is.
    WriteImage(device + "/5.bird", TwoBlockImage(kSerial, "Cindrel", 5));
    settings("LATEST_DOWNLOAD=5.bird\n");
    r = update(true);
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(Lines(r.out), Expect({"New firmware is available.  Quorvel will proceed if valid firmware is found locally.",
                                    "Updating with the Latest Download", "Updating firmware with build: 5"}));
    ExpectRecorded(store(), SERIAL, "5.bird");
    AwaitBack(SERIAL);

    // The current build is stored: taken without a word about the choice.
    WriteImage(device + "/9.bird", TwoBlockImage(kSerial, "Cindrel", 9));
    r = update(true);
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(Lines(r.out), Expect({"Updating firmware with build: 9"}));
    ExpectRecorded(store(), SERIAL, "9.bird");
    AwaitBack(SERIAL);

    // No server and no download recorded: the last transfer.
    settings("LATEST_TRANSFER=9.bird\n");
    r = update(false);
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(Lines(r.out), Expect({"Updating with the Latest Transfer", "Updating firmware with build: 9"}));
    EXPECT_EQ(Attribute(device + "/.settings", "LATEST_DOWNLOAD"), "(absent)") << "reading a key does not add it";
}

TEST_F(UsbUpdate, GetAndUpdateInOneRunTransfersTheBuildJustDownloaded)
{
    VModuleProcess program(Modules({{"--serial", SERIAL, "--address", "6", "--load", "answer",
                                     "--flash-dump", dump(SERIAL)}}));
    TempDir tree;
    std::filesystem::create_directories(tree.file(SERIAL));
    WriteImage(tree.file(std::string(SERIAL) + "/12.bird"), TwoBlockImage(kSerial, "Cindrel", 12));

    ProcResult r = Quorvel({"-G", "-U", "-d", SERIAL}, tree.path());
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(Lines(r.out), Expect({"Retrieving firmware for device with serial number 40F5849A", "No build specified",
                                    "Using Latest build", "Retrieving build 12", "Validating build 12 with server",
                                    "Build 12 is valid", "Updating firmware with build: 12"}));
    ExpectFlashed(dump(SERIAL));
    std::string settings = store() + "/quorvel/" + SERIAL + "/.settings";
    EXPECT_EQ(Attribute(settings, "LATEST_DOWNLOAD"), "12.bird");
    ExpectRecorded(store(), SERIAL, "12.bird");
}

TEST_F(UsbUpdate, ThroughARouterTheModuleIsFoundByTheScanAndRoutingIsOnOnlyMeanwhile)
{
    VModuleProcess program(Modules({
        {"--serial", "C0FFEE", "--address", "16"},
        {"--serial", "2181F0EE", "--parent", "C0FFEE", "--address", "4", "--flash-dump", dump("2181F0EE")},
    }));
    std::string path = WriteImage(image("child.bird"), TwoBlockImage(0x2181F0EE));
    ProcResult r = Quorvel({"-U", "-d", "2181F0EE", "-r", "C0FFEE", "-f", path});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(Lines(r.out), Expect({"Updating from Birdfile: " + path}));
    ExpectFlashed(dump("2181F0EE"));
    std::vector<std::string> routing;
    for (const std::string& e : testsupport::RecordEvents(record(), "00C0FFEE"))
        if (e.rfind("route to me ", 0) == 0)
            routing.push_back(e);
    EXPECT_EQ(routing, (std::vector<std::string>{"route to me on", "route to me off", "route to me on",
                                                 "route to me off"}))
        << "the scan, then the update";
    AwaitBack("2181F0EE");

    r = Quorvel({"-U", "-d", "0BAD", "-r", "C0FFEE", "-f", path});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "Module address required for indirect firmware update, could not find serial number "
                     "[0x00000BAD] on network\n");
}

// The engine itself with the module's address given (the command line has
// no way to give it): no scan runs. It runs in a helper process inside a
// private namespace, as the binary would.
constexpr const char* kRoutedUpdate = "--routed-update";

int RoutedUpdate(const char* image, const char* storage)
{
    struct Shown final : QuorvelDisplayInterface {
        void display_progress(bool) override {}
        void update_progress(double, const char*) override {}
        void update_spinner(bool, const char*) override {}
        void info_message(const char*) override {}
        void error_message(const char* text) override { printf("error: %s\n", text); }
    } display;
    ::Quorvel engine(kNoServer, storage, display);
    bool updated = engine.Update_Firmware(0x2181F0EE, 0, image, 4, 0xC0FFEE, false);
    printf("%s\n", updated ? "updated" : "failed");
    return 0;
}

TEST_F(UsbUpdate, ThroughARouterAtAGivenAddressNoScanRuns)
{
    VModuleProcess program(Modules({
        {"--serial", "C0FFEE", "--address", "16"},
        {"--serial", "2181F0EE", "--parent", "C0FFEE", "--address", "4", "--load", "answer",
         "--flash-dump", dump("2181F0EE")},
    }));
    std::string path = WriteImage(image("child.bird"), TwoBlockImage(0x2181F0EE));
    ProcResult r = InNamespace({testsupport::SelfPath(), kRoutedUpdate, path, store_.file("quorvel")});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, "updated\n");
    ExpectFlashed(dump("2181F0EE"));
    for (const std::string& e : testsupport::RecordEvents(record(), "00C0FFEE"))
        EXPECT_EQ(e.rfind("i2c ", 0), std::string::npos) << "no scan: " << e;
}

// ---------------------------------------------------------------------------
// TCP/IP, only inside a private network namespace: the virtual modules run on
// the test host (10.77.0.2) and answer discovery there.

TEST(TcpipUpdate, UpdatesAModuleFoundOverTcpipDirectlyAndThroughARouter)
{
    TempDir dir;
    std::string direct = dir.file("direct.flash"), routed = dir.file("routed.flash");
    std::string host = testsupport::VModuleBinary() + " --discovery 10.77.0.2" +
                       " --serial 40F5849A --address 6 --heartbeat 0 --tcp 10.77.0.2:4001 --restart-delay 100"
                       " --flash-dump " + direct +
                       " --module --serial D272031D --address 32 --heartbeat 0 --tcp 10.77.0.2:4004"
                       " --module --serial 2181F0EE --parent D272031D --address 2 --heartbeat 0 --restart-delay 100"
                       " --flash-dump " + routed;
    std::string directImage = WriteImage(dir.file("direct.bird"), TwoBlockImage(kSerial));
    std::string routedImage = WriteImage(dir.file("routed.bird"), TwoBlockImage(0x2181F0EE));
    // Each command's output and status land in files; an empty virtual USB
    // bus keeps the USB half of each look-up to this test's own devices.
    std::string bus = dir.file("bus");
    std::filesystem::create_directory(bus);
    std::string noServer = "http://127.0.0.1:1/cgi/u";
    std::string script = std::string("Q=$1 P=$2 B=$3 S=$4 D=$5\n") +
                         "run() { name=$1; shift; env LD_PRELOAD=\"$P\" " + usbbus::kDirEnv + "=\"$B\" " +
                         LUMASTRIX_NODE_DIR_ENV + "=\"$B\" \"$Q\" -i \"$S\" -u " + noServer +
                         " \"$@\" > \"$D/$name.out\" 2> \"$D/$name.err\"; echo $? > \"$D/$name.rc\"; }\n"
                         "run direct -U -d 40F5849A -f " + directImage + "\n"
                         "run routed -U -d 2181F0EE -r D272031D -f " + routedImage + "\n";
    ProcResult r = testsupport::RunInNamespace(host, {"/bin/sh", "-c", script, "sh", QUORVEL_BIN,
                                                      testsupport::UsbBusPreload(), bus, dir.file("store"), dir.path()});
    if (r.status == testsupport::kNamespacesUnavailable)
        GTEST_SKIP() << (SplitLines(r.err).empty() ? "private network namespaces are unavailable" : SplitLines(r.err)[0]);
    ASSERT_EQ(r.status, 0) << r.err;

    for (const char* name : {"direct", "routed"}) {
        SCOPED_TRACE(name);
        EXPECT_EQ(testsupport::ReadFile(dir.file(std::string(name) + ".rc")), "0\n");
        EXPECT_EQ(testsupport::ReadFile(dir.file(std::string(name) + ".err")), "");
        std::string path = name == std::string("direct") ? directImage : routedImage;
        EXPECT_EQ(Lines(testsupport::ReadFile(dir.file(std::string(name) + ".out"))),
                  Expect({"Updating from Birdfile: " + path}));
    }
    ExpectFlashed(direct);
    ExpectFlashed(routed);
}

}  // namespace

int main(int argc, char** argv)
{
    if (argc == 4 && strcmp(argv[1], kRoutedUpdate) == 0)
        return RoutedUpdate(argv[2], argv[3]);
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
