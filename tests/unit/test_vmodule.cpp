// The virtual module program (sim/vmodule) as tests and the demo use it: the
// device side of the frame protocol over its TCP link service, heartbeats,
// the traffic record, the system entity's identity options, fault switches,
// configuration and a clean stop. Each test talks to the program through a
// plain socket, never through the library's link engine.

#include <gtest/gtest.h>
#include <signal.h>

#include <algorithm>
#include <filesystem>
#include <random>
#include <regex>
#include <string>
#include <vector>

#include "VModuleProcess.h"
#include "VModuleRecord.h"
#include "testsupport.h"

using namespace testsupport;

namespace {

using Bytes = std::vector<uint8_t>;

const Bytes kAddressQuery{0xAD, 0x00};

std::vector<double> RecordTimes(const std::string& path, const std::string& kindAndBytes)
{
    std::vector<double> times;
    for (const auto& text : SplitLines(ReadFile(path))) {
        size_t space = text.find(' ', 3);
        if (text.compare(0, 2, kindAndBytes.substr(0, 2)) == 0 && text.substr(space + 1) == kindAndBytes.substr(3))
            times.push_back(std::stod(text.substr(3, space - 3)));
    }
    return times;
}

// Reads frames until one equals `wanted`, skipping others (heartbeats, replies
// to garbage). True when it came.
bool AwaitFrame(FrameSocket& socket, const Bytes& wanted, int maxFrames = 200)
{
    for (int i = 0; i < maxFrames; ++i) {
        Bytes frame = socket.ReadFrame();
        if (frame.empty())
            return false;
        if (frame == wanted)
            return true;
    }
    return false;
}

}  // namespace

TEST(VModule, EachModuleAnswersTheAddressQueryFromItsOwnEvenAddress)
{
    VModuleProcess program({"--serial", "1234ABCD", "--address", "6", "--heartbeat", "0", "--module", "--serial",
                            "40F5849A", "--address", "0x0A", "--heartbeat", "0", "--tcp", "127.0.0.1:0"});
    ASSERT_EQ(program.modules().size(), 2u);
    EXPECT_EQ(program.modules()[0].serial, 0x1234ABCDu);
    EXPECT_EQ(program.modules()[1].serial, 0x40F5849Au);
    EXPECT_EQ(program.modules()[0].host, "127.0.0.1");

    FrameSocket first(program.port(0)), second(program.port(1));
    first.Send(kAddressQuery);
    second.Send(kAddressQuery);
    EXPECT_EQ(first.ReadFrame(), (Bytes{0x06, 0x00}));
    EXPECT_EQ(second.ReadFrame(), (Bytes{0x0A, 0x00}));
    // The host's synchronisation burst: six queries, six answers, in step.
    Bytes burst;
    for (int i = 0; i < 6; ++i)
        burst.insert(burst.end(), kAddressQuery.begin(), kAddressQuery.end());
    first.Send(burst);
    for (int i = 0; i < 6; ++i)
        EXPECT_EQ(first.ReadFrame(), (Bytes{0x06, 0x00})) << i;
}

TEST(VModule, BytesThatCannotStartAFrameAreDroppedAndRecorded)
{
    struct Case {
        Bytes garbage;
        const char* dropped;
    } cases[] = {
        {{0x03}, "03"},                  // odd address
        {{0x00}, "00"},                  // address 0
        {{0x06, 0x1D}, "06 1D"},         // length 29: the address was garbage, and so is 0x1D
        {{0xAF, 0x05}, "AF 05"},         // route control must carry one byte
        {{0xAD, 0x01}, "AD 01"},         // the address query carries none
        {{0x03, 0x05, 0x07}, "03 05 07"},
    };
    TempDir dir;
    std::string record = dir.file("record");
    VModuleProcess program({"--address", "6", "--heartbeat", "0", "--record", record});
    FrameSocket socket(program.port());
    for (const auto& c : cases) {
        socket.Send(c.garbage);
        socket.Send(kAddressQuery);
        EXPECT_EQ(socket.ReadFrame(), (Bytes{0x06, 0x00})) << c.dropped;
    }
    auto lines = RecordLines(record);
    for (const auto& c : cases)
        EXPECT_TRUE(Contains(lines, std::string("ev 40F5849A link 1 dropped ") + c.dropped)) << c.dropped;
}

TEST(VModule, RandomBytesNeverStopTheModule)
{
    TempDir dir;
    // A router with route to me on: noise reaches the module behind it too.
    VModuleProcess program({"--address", "6", "--heartbeat", "0", "--record", dir.file("record"), "--module",
                            "--serial", "101", "--address", "8", "--parent", "40F5849A"});
    FrameSocket socket(program.port());
    socket.Send({0x06, 0x04, 0x03, 0x94, 0x20, 0x01});
    ASSERT_EQ(socket.ReadFrame(), (Bytes{0x06, 0x03, 0x03, 0xD4, 0x00}));
    std::mt19937 random(20240611);
    Bytes noise(64 * 1024);
    for (auto& b : noise)
        b = static_cast<uint8_t>(random());
    socket.Send(noise);
    // As the host does after a framing error: bursts of address queries until
    // the answer comes. Three bursts outlast any frame the noise left open.
    Bytes bursts;
    for (int i = 0; i < 18; ++i)
        bursts.insert(bursts.end(), kAddressQuery.begin(), kAddressQuery.end());
    socket.Send(bursts);
    EXPECT_TRUE(AwaitFrame(socket, {0x06, 0x00}, 100000));
    EXPECT_EQ(program.Stop(SIGTERM), 0) << program.errors();
}

TEST(VModule, HeartbeatsComeAtTheIntervalAndTheHostsAnswersAreChecked)
{
    TempDir dir;
    std::string record = dir.file("record");
    VModuleProcess program({"--address", "6", "--heartbeat", "250", "--record", record});
    FrameSocket socket(program.port());

    ASSERT_EQ(socket.ReadFrame(), (Bytes{0x06, 0x02, 0x00, 0x00}));
    socket.Send({0x06, 0x02, 0x00, 0x02});           // right: x + 2
    ASSERT_EQ(socket.ReadFrame(), (Bytes{0x06, 0x02, 0x00, 0x01}));
    socket.Send({0x06, 0x02, 0x00, 0x07});           // wrong
    ASSERT_EQ(socket.ReadFrame(), (Bytes{0x06, 0x02, 0x00, 0x00}));
    // ...left unanswered until the next one comes.
    ASSERT_EQ(socket.ReadFrame(), (Bytes{0x06, 0x02, 0x00, 0x01}));
    socket.Send({0x06, 0x02, 0x00, 0x03});
    // The answer to a query sent after them proves the module has taken them in.
    socket.Send(kAddressQuery);
    ASSERT_TRUE(AwaitFrame(socket, {0x06, 0x00}));

    auto lines = RecordLines(record);
    std::vector<std::string> checks;
    for (const auto& line : lines)
        if (line.find(" heartbeat ") != std::string::npos)
            checks.push_back(line.substr(line.find(" heartbeat ") + 11));
    EXPECT_EQ(checks, (std::vector<std::string>{"ok 00", "wrong expected 03 got 07", "missed 00", "ok 01"}));

    std::vector<double> beats = RecordTimes(record, "tx 06 02 00 00");
    std::vector<double> odd = RecordTimes(record, "tx 06 02 00 01");
    beats.insert(beats.end(), odd.begin(), odd.end());
    std::sort(beats.begin(), beats.end());
    ASSERT_GE(beats.size(), 4u);
    for (size_t i = 1; i < beats.size(); ++i)
        EXPECT_GE(beats[i] - beats[i - 1], 0.250 - 0.0005) << i;
    EXPECT_EQ(program.Stop(SIGTERM), 0);
    // Later beats may have gone out meanwhile; the answers are all counted.
    EXPECT_TRUE(std::regex_match(RecordLines(record).back(),
                                 std::regex(R"(ev 40F5849A stopped heartbeats sent \d+ ok 2 wrong 1 missed \d+)")))
        << RecordLines(record).back();
}

TEST(VModule, RecordHoldsEveryFrameReceivedAndSentInOrder)
{
    TempDir dir;
    std::string record = dir.file("record");
    VModuleProcess program({"--address", "6", "--heartbeat", "0", "--record", record});
    FrameSocket socket(program.port());
    socket.Send({0xAF, 0x01, 0x01, 0xAD, 0x00, 0x06, 0x03, 0x03, 0x49, 0x20, 0xAF, 0x01, 0x00});
    EXPECT_EQ(socket.ReadFrame(), (Bytes{0x06, 0x00}));
    EXPECT_EQ(socket.ReadFrame(), (Bytes{0x06, 0x07, 0x03, 0x09, 0x00, 0x40, 0xF5, 0x84, 0x9A}));
    socket.Send(kAddressQuery);
    EXPECT_EQ(socket.ReadFrame(), (Bytes{0x06, 0x00}));
    EXPECT_EQ(program.Stop(SIGTERM), 0);

    auto lines = RecordLines(record);
    ASSERT_FALSE(lines.empty());
    EXPECT_TRUE(std::regex_match(lines[0], std::regex(R"(ev 40F5849A link 1 tcp open 127\.0\.0\.1:\d+)"))) << lines[0];
    std::vector<std::string> traffic(lines.begin() + 1, lines.end());
    EXPECT_EQ(traffic, (std::vector<std::string>{
                           "rx AF 01 01",
                           "ev 40F5849A link 1 route on",
                           "rx AD 00",
                           "tx 06 00",
                           "rx 06 03 03 49 20",
                           "tx 06 07 03 09 00 40 F5 84 9A",
                           "rx AF 01 00",
                           "ev 40F5849A link 1 route off",
                           "rx AD 00",
                           "tx 06 00",
                           "ev 40F5849A link 1 closed module stopped",
                           "ev 40F5849A stopped heartbeats sent 0 ok 0 wrong 0 missed 0",
                       }));
    // Timestamps never go backwards.
    double last = 0;
    for (const auto& text : SplitLines(ReadFile(record))) {
        double t = std::stod(text.substr(3));
        EXPECT_GE(t, last) << text;
        last = t;
    }
}

TEST(VModule, SystemEntityAnswersIdentityOptionsAndRefusesTheRest)
{
    // In order: the sets change what later gets read.
    struct Exchange {
        const char* what;
        Bytes request;
        Bytes reply;
    } exchanges[] = {
        {"serial", {0x04, 0x03, 0x03, 0x49, 0x20}, {0x04, 0x07, 0x03, 0x09, 0x00, 0x12, 0x34, 0x56, 0x78}},
        {"model", {0x04, 0x03, 0x03, 0x48, 0x20}, {0x04, 0x04, 0x03, 0x08, 0x00, 0x11}},
        {"version (legacy layout as given)", {0x04, 0x03, 0x03, 0x47, 0x20}, {0x04, 0x07, 0x03, 0x07, 0x00, 0x2A, 0x00, 0x00, 0x06}},
        {"module address", {0x04, 0x03, 0x03, 0x41, 0x20}, {0x04, 0x04, 0x03, 0x01, 0x00, 0x04}},
        {"router address", {0x04, 0x03, 0x03, 0x42, 0x20}, {0x04, 0x04, 0x03, 0x02, 0x00, 0x0C}},
        {"set router", {0x04, 0x04, 0x03, 0x82, 0x20, 0x10}, {0x04, 0x03, 0x03, 0xC2, 0x00}},
        {"router after set", {0x04, 0x03, 0x03, 0x42, 0x20}, {0x04, 0x04, 0x03, 0x02, 0x00, 0x10}},
        {"set router odd", {0x04, 0x04, 0x03, 0x82, 0x20, 0x11}, {0x04, 0x04, 0x03, 0xC2, 0x80, 2}},
        {"set router without value", {0x04, 0x03, 0x03, 0x82, 0x20}, {0x04, 0x04, 0x03, 0xC2, 0x80, 27}},
        {"set router too long", {0x04, 0x05, 0x03, 0x82, 0x20, 0x10, 0x00}, {0x04, 0x04, 0x03, 0xC2, 0x80, 14}},
        {"route to me", {0x04, 0x04, 0x03, 0x94, 0x20, 0x01}, {0x04, 0x03, 0x03, 0xD4, 0x00}},
        {"set read-only model", {0x04, 0x04, 0x03, 0x88, 0x20, 0x01}, {0x04, 0x04, 0x03, 0xC8, 0x80, 29}},
        {"unknown option", {0x04, 0x03, 0x03, 0x7F, 0x20}, {0x04, 0x04, 0x03, 0x3F, 0x80, 29}},
        {"second system entity", {0x04, 0x03, 0x03, 0x49, 0x21}, {0x04, 0x04, 0x03, 0x09, 0x81, 26}},
    };
    VModuleProcess program({"--serial", "12345678", "--model", "17", "--version", "0x2A000006", "--address", "4",
                            "--router", "12", "--heartbeat", "0"});
    FrameSocket socket(program.port());
    for (const auto& e : exchanges) {
        socket.Send(e.request);
        EXPECT_EQ(socket.ReadFrame(), e.reply) << e.what;
    }
    // Requests the entity cannot read as get or set, or not for this module,
    // get no answer: the next reply is the one to the query after them.
    socket.Send({0x04, 0x03, 0x03, 0x09, 0x20, 0x04, 0x02, 0x03, 0x49, 0x08, 0x03, 0x03, 0x49, 0x20, 0x04, 0x01,
                 0x63});
    socket.Send(kAddressQuery);
    EXPECT_EQ(socket.ReadFrame(), (Bytes{0x04, 0x00}));
}

TEST(VModule, FaultSwitchesChangeWhatTheHostSees)
{
    const Bytes getSerial{0x02, 0x03, 0x03, 0x49, 0x20};
    const Bytes serialReply{0x02, 0x07, 0x03, 0x09, 0x00, 0x40, 0xF5, 0x84, 0x9A};
    {
        VModuleProcess program({"--heartbeat", "0", "--fault", "no-address-reply"});
        FrameSocket socket(program.port());
        socket.Send(kAddressQuery);
        socket.Send(getSerial);
        EXPECT_EQ(socket.ReadFrame(), serialReply);
    }
    {
        VModuleProcess program({"--heartbeat", "0", "--fault", "drop-reply:3"});
        FrameSocket socket(program.port());
        socket.Send(getSerial);
        socket.Send(kAddressQuery);
        EXPECT_EQ(socket.ReadFrame(), (Bytes{0x02, 0x00}));
    }
    {
        VModuleProcess program({"--heartbeat", "0", "--fault", "drop-link:2"});
        FrameSocket socket(program.port());
        socket.Send({0xAD, 0x00, 0xAD, 0x00, 0xAD, 0x00});
        EXPECT_EQ(socket.ReadFrame(), (Bytes{0x02, 0x00}));
        EXPECT_TRUE(socket.ClosedByPeer());
        // The service stays up for the next connection.
        FrameSocket again(program.port());
        again.Send(kAddressQuery);
        EXPECT_EQ(again.ReadFrame(), (Bytes{0x02, 0x00}));
    }
    {
        VModuleProcess program({"--heartbeat", "0", "--fault", "stray-byte"});
        FrameSocket socket(program.port());
        socket.Send({0xAD, 0x00, 0xAD, 0x00});
        // The odd byte goes out once, before the first answer only.
        EXPECT_EQ(socket.ReadBytes(5), (Bytes{0x03, 0x02, 0x00, 0x02, 0x00}));
    }
}

TEST(VModule, StopsCleanlyOnTerminationSignals)
{
    for (int signal : {SIGTERM, SIGINT}) {
        TempDir dir;
        std::string record = dir.file("record");
        VModuleProcess program({"--heartbeat", "0", "--record", record});
        FrameSocket socket(program.port());
        socket.Send(kAddressQuery);
        ASSERT_EQ(socket.ReadFrame(), (Bytes{0x02, 0x00}));
        EXPECT_EQ(program.Stop(signal), 0) << signal;
        EXPECT_TRUE(socket.ClosedByPeer()) << signal;
        auto lines = RecordLines(record);
        ASSERT_FALSE(lines.empty());
        EXPECT_EQ(lines.back(), "ev 40F5849A stopped heartbeats sent 0 ok 0 wrong 0 missed 0");
        EXPECT_TRUE(Contains(lines, "ev 40F5849A link 1 closed module stopped")) << signal;
    }
}

TEST(VModule, ModulesComeFromAConfigurationFile)
{
    TempDir dir;
    WriteFile(dir.file("modules.conf"),
              "# two modules, one record\n"
              "[module]\n"
              "serial = 00C0FFEE\n"
              "address = 8\n"
              "heartbeat = 0\n"
              "record = " + dir.file("record") + "\n"
              "\n"
              "[module]\n"
              "  serial=BEEF  \n"
              "address = 10\n"
              "heartbeat = 0\n"
              "tcp = 127.0.0.1:0\n"
              "fault = drop-reply:3\n");
    VModuleProcess program({"--config", dir.file("modules.conf"), "--serial", "5", "--heartbeat", "0"});
    ASSERT_EQ(program.modules().size(), 3u);
    EXPECT_EQ(program.modules()[0].serial, 0xC0FFEEu);
    EXPECT_EQ(program.modules()[1].serial, 0xBEEFu);
    EXPECT_EQ(program.modules()[2].serial, 0x5u);
    const uint8_t addresses[] = {8, 10, 2};
    for (size_t i = 0; i < 3; ++i) {
        FrameSocket socket(program.port(i));
        socket.Send({addresses[i], 0x03, 0x03, 0x49, 0x20});
        socket.Send(kAddressQuery);
        Bytes first = socket.ReadFrame();
        if (i == 1)
            EXPECT_EQ(first, (Bytes{addresses[i], 0x00})) << "drop-reply only on the second module";
        else
            EXPECT_EQ(first.size(), 9u) << i;
    }
}

TEST(VModule, BadConfigurationEndsWithOneLine)
{
    TempDir dir;
    WriteFile(dir.file("unknown.conf"), "[module]\nserial = 1\ncolour = red\n");
    WriteFile(dir.file("outside.conf"), "serial = 1\n");
    WriteFile(dir.file("nokey.conf"), "[module]\nserial\n");
    struct Case {
        std::vector<std::string> args;
        std::string message;
    } cases[] = {
        {{"--serial", "0"}, "--serial: a serial number is 1 to 8 hex digits, not 0"},
        {{"--serial", "123456789"}, "--serial: a serial number is 1 to 8 hex digits, not 0"},
        {{"--serial", "XYZ"}, "--serial: a serial number is 1 to 8 hex digits, not 0"},
        {{"--address", "3"}, "--address: a module address is even, from 2 to 254"},
        {{"--address", "0"}, "--address: a module address is even, from 2 to 254"},
        {{"--address", "256"}, "--address: a module address is even, from 2 to 254"},
        {{"--version", "1.2"}, "--version: a version is MAJOR.MINOR.PATCH (each 0..255) or a packed 32-bit number"},
        {{"--version", "1.2.256"}, "--version: a version is MAJOR.MINOR.PATCH (each 0..255) or a packed 32-bit number"},
        {{"--heartbeat", "-1"}, "--heartbeat: a heartbeat interval is 0..3600000 milliseconds"},
        {{"--tcp", "1.2.3:80"}, "--tcp: expected off, PORT or IPV4:PORT (port 0 picks a free one)"},
        {{"--tcp", "127.0.0.1:65536"}, "--tcp: expected off, PORT or IPV4:PORT (port 0 picks a free one)"},
        {{"--fault", "melt"}, "--fault: unknown fault melt"},
        {{"--fault", "drop-reply"}, "--fault: drop-reply: expected drop-reply:CMD"},
        {{"--fault", "drop-reply:x"}, "--fault: drop-reply:x: arguments must be numbers"},
        {{"--colour", "red"}, "unknown option --colour"},
        {{"--serial"}, "--serial needs a value"},
        {{"stray"}, "unexpected argument stray"},
        {{"--serial", "1", "--module", "--serial", "01"}, "serial number 00000001 is given to two modules"},
        {{"--config", dir.file("unknown.conf")}, dir.file("unknown.conf") + ":3: unknown module key colour"},
        {{"--config", dir.file("outside.conf")}, dir.file("outside.conf") + ":1: serial belongs in a [module] section"},
        {{"--config", dir.file("nokey.conf")}, dir.file("nokey.conf") + ":2: expected \"key = value\" or \"[module]\""},
        {{"--config", dir.file("missing.conf")}, "cannot read " + dir.file("missing.conf") + ": No such file or directory"},
        {{"--discovery", "10.77.0.2"}, "--discovery runs only inside a private network namespace (tools/netns/run-in-netns)"},
        {{"--fault", "refuse-option:64,29"}, "--fault: refuse-option:64,29: OPT is 0..63, ERR 0..255"},
        {{"--fault", "wrong-length:3,29"}, "--fault: wrong-length:3,29: CMD is 0..255, LEN 0..28"},
        {{"--fault", "late-reply:3"}, "--fault: late-reply:3: expected late-reply:CMD,MS"},
        {{"--option", "30:1"}, "--option: option 30 is not an option of the system entity"},
        {{"--option", "8:1"}, "--option: option 8 is set with the model key"},
        {{"--option", "20:1"}, "--option: option 20 holds no value to start with"},
        {{"--option", "32:1"}, "--option: option 32 is set with the name key"},
        {{"--option", "4:256"}, "--option: option 4 takes 0..255"},
        {{"--option", "27:-2147483649"}, "--option: option 27 takes -2147483648..2147483647"},
        {{"--option", "12:-1"}, "--option: option 12 takes 0..4294967295"},
        {{"--option", "12"}, "--option: expected OPTION:VALUE, an option 0..63 and a number"},
        {{"--option31", "words"}, "--option31: expected byte or bytes"},
        {{"--parent", "0"}, "--parent: a parent is the serial number of another module, 1 to 8 hex digits"},
        {{"--serial", "1", "--parent", "2"}, "module 00000001: parent 00000002 is not one of the modules"},
        {{"--serial", "1", "--parent", "1"}, "module 00000001: parent 00000001 is not one of the modules"},
        {{"--serial", "1", "--module", "--serial", "2", "--address", "4", "--parent", "1", "--tcp", "off"},
         "module 00000002: a module behind a router has no tcp or usb link of its own"},
        {{"--serial", "1", "--module", "--serial", "2", "--parent", "1"},
         "module 00000002: I2C address 2 is the router's own"},
        {{"--serial", "1", "--module", "--serial", "2", "--address", "4", "--parent", "1", "--module", "--serial", "3",
          "--address", "4", "--parent", "1"},
         "module 00000003: I2C address 4 of 00000001 is taken by 00000002"},
        {{"--serial", "1", "--module", "--serial", "2", "--address", "4", "--parent", "1", "--module", "--serial", "3",
          "--address", "8", "--parent", "2"},
         "module 00000003: parent 00000002 is itself behind a router"},
    };
    for (const auto& c : cases) {
        std::vector<std::string> argv{VModuleBinary()};
        argv.insert(argv.end(), c.args.begin(), c.args.end());
        RunOptions options;
        options.env = {"QUORVEL_NETNS_PRIVATE="};
        ProcResult r = testsupport::Run(argv, options);
        EXPECT_EQ(r.status, 2) << c.message;
        EXPECT_EQ(r.out, "") << c.message;
        std::string expected = "quorvel-vmodule: " + c.message;
        EXPECT_TRUE(r.err == expected + " (see --help)\n" || r.err == expected + "\n") << r.err;
    }
}

TEST(VModule, ABusyPortEndsWithOneLine)
{
    VModuleProcess first({"--heartbeat", "0"});
    std::string where = "127.0.0.1:" + std::to_string(first.port());
    ProcResult r = testsupport::Run({VModuleBinary(), "--tcp", where});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "quorvel-vmodule: module 40F5849A: cannot listen on " + where + ": Address already in use\n");
}

// Discovery sends multicast: only inside the namespaces of run-in-netns.
TEST(VModule, DiscoveryRequestsAreAnsweredInsideAPrivateNamespace)
{
    std::string vmodule = VModuleBinary();
    std::string testHost = vmodule + " --discovery 10.77.0.2 --heartbeat 0 --tcp 10.77.0.2:4001" +
                           " --module --serial 1234 --address 8 --model 5 --heartbeat 0 --tcp 10.77.0.2:4002" +
                           " --module --serial 77 --discoverable off --heartbeat 0 --tcp 10.77.0.2:4003";
    ProcResult r = testsupport::Run({std::string(QUORVEL_SOURCE_DIR) + "/tools/netns/run-in-netns", "--test-host", testHost,
                        "--wait-for", "ready", "--", std::string(QUORVEL_BINARY_DIR) + "/tools/netns/quorvel-discovery-probe",
                        "--interface", "10.77.0.1", "--expect", "2", "--timeout", "5000"});
    if (r.status == 77)
        GTEST_SKIP() << r.err;
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out,
              "reply 10.77.0.2 address 2 port 4001 serial 40F5849A model 13\n"
              "reply 10.77.0.2 address 8 port 4002 serial 00001234 model 5\n");
}

TEST(VModule, AModuleOnTheVirtualUsbBusShowsItsIdentityAndServesEachClaim)
{
    TempDir bus;
    std::string record = bus.file("record");
    VModuleProcess program({"--serial", "40F5849A", "--model", "13", "--address", "6", "--heartbeat", "0", "--tcp",
                            "off", "--usb", "on", "--usb-bus", bus.path(), "--record", record});
    ASSERT_EQ(program.modules().size(), 1u);
    EXPECT_TRUE(program.modules()[0].usb);
    EXPECT_EQ(program.modules()[0].port, 0);
    EXPECT_EQ(ReadFile(bus.file("40F5849A.dev")), "vendor = 0x2F9E\nproduct = 0x000D\nserial = 40F5849A\n");
    {
        // One pipe per claim; a second claim after the first was released.
        FrameSocket claim(FrameSocket::UnixPath{bus.file("40F5849A.sock")});
        claim.Send(kAddressQuery);
        EXPECT_EQ(claim.ReadFrame(), (Bytes{0x06, 0x00}));
    }
    FrameSocket again(FrameSocket::UnixPath{bus.file("40F5849A.sock")});
    again.Send({0x06, 0x03, 0x03, 0x49, 0x20});
    EXPECT_EQ(again.ReadFrame(), (Bytes{0x06, 0x07, 0x03, 0x09, 0x00, 0x40, 0xF5, 0x84, 0x9A}));

    EXPECT_EQ(program.Stop(SIGTERM), 0);
    EXPECT_TRUE(again.ClosedByPeer());
    // Off the bus once stopped.
    EXPECT_FALSE(std::filesystem::exists(bus.file("40F5849A.dev")));
    EXPECT_FALSE(std::filesystem::exists(bus.file("40F5849A.sock")));
    auto lines = RecordLines(record);
    EXPECT_TRUE(Contains(lines, "ev 40F5849A link 1 usb open 40F5849A"));
    EXPECT_TRUE(Contains(lines, "ev 40F5849A link 2 usb open 40F5849A"));
}

TEST(VModule, UsbWithoutABusEndsWithOneLine)
{
    RunOptions options;
    options.env = {"QUORVEL_USBBUS_DIR="};
    ProcResult r = testsupport::Run({VModuleBinary(), "--usb", "on"}, options);
    EXPECT_EQ(r.status, 2);
    EXPECT_EQ(r.err, "quorvel-vmodule: module 40F5849A: usb needs a bus (--usb-bus DIR or QUORVEL_USBBUS_DIR)\n");
}
