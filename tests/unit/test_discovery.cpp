// Module discovery. USB runs the library's real enumeration against the
// virtual USB bus (preloaded in front of libusb). TCP/IP discovery sends
// multicast, so it runs only inside the private network namespaces of
// tools/netns/run-in-netns: the test starts this program again there in probe
// mode, and the probe reports what the library found on standard output.

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <map>
#include <string>
#include <vector>

#include "Elapsed.h"
#include "UsbBus.h"
#include "VModuleProcess.h"
#include "discover.h"
#include "testsupport.h"
#include "usbbus_control.h"

using testsupport::MillisecondsSince;
using testsupport::ProcResult;
using testsupport::TempDir;

namespace {

// ---------------------------------------------------------------------------
// Shared by the tests and the probe

// One line per specifier; fields the type does not name must be zero.
std::string Describe(const linkSpec& spec)
{
    char text[200];
    if (spec.type == USB) {
        snprintf(text, sizeof text, "USB serial %08X module %u router %u router_serial %08X model %u usb_id %08X",
                 spec.serial_num, spec.module, spec.router, spec.router_serial_num, spec.model, spec.usb_id);
    } else {
        char ip[INET_ADDRSTRLEN] = "?";
        struct in_addr in;
        in.s_addr = spec.ip_address;
        inet_ntop(AF_INET, &in, ip, sizeof ip);
        std::string type = spec.type == TCPIP ? "TCPIP" : "type " + std::to_string(spec.type);
        snprintf(text, sizeof text, "%s serial %08X module %u router %u router_serial %08X model %u ip %s port %u",
                 type.c_str(), spec.serial_num, spec.module, spec.router, spec.router_serial_num, spec.model, ip,
                 spec.port);
    }
    size_t named = spec.type == USB ? 28 : 32;
    const uint8_t* bytes = reinterpret_cast<const uint8_t*>(&spec);
    for (size_t i = named; i < sizeof spec; ++i)
        if (bytes[i])
            return std::string(text) + " (stray bytes)";
    return text;
}

// A callback that records what it is handed.
struct Recorder {
    bool accept = true;
    bool goOn = true;
    int calls = 0;
    std::vector<std::string> found;

    static bool Callback(const linkSpec* spec, bool* success, void* reference)
    {
        Recorder* self = static_cast<Recorder*>(reference);
        EXPECT_FALSE(*success);
        self->calls++;
        self->found.push_back(Describe(*spec));
        *success = self->accept;
        return self->goOn;
    }
};

// ---------------------------------------------------------------------------
// Probe mode: runs inside the namespace and prints one line per result. Lines
// that end in " ms=N" carry the time the operation took.

constexpr const char* kProbe = "--netns-probe";
constexpr const char* kLateResponder = "--late-responder";
constexpr const char* kUsbCount = "--usb-count";

bool InPrivateNamespace()
{
    const char* mark = getenv("QUORVEL_NETNS_PRIVATE");
    return mark && strcmp(mark, "1") == 0;
}

void PrintEnumeration(const char* name, bool accept, bool goOn)
{
    Recorder recorder;
    recorder.accept = accept;
    recorder.goOn = goOn;
    auto start = std::chrono::steady_clock::now();
    unsigned count = aDiscovery_EnumerateModules(TCPIP, Recorder::Callback, &recorder, 0);
    long ms = MillisecondsSince(start);
    for (const auto& f : recorder.found)
        printf("%s found %s\n", name, f.c_str());
    printf("%s count %u calls %d ms=%ld\n", name, count, recorder.calls, ms);
}

void PrintFound(const char* name, linkSpec* spec, std::chrono::steady_clock::time_point start)
{
    long ms = MillisecondsSince(start);
    printf("%s %s ms=%ld\n", name, spec ? Describe(*spec).c_str() : "none", ms);
    aLinkSpec_Destroy(&spec);
}

// A socket that hears discovery requests on the interface with this address;
// -1 (errno set) when it cannot.
int ListenForRequests(struct in_addr interface)
{
    int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    int on = 1;
    struct sockaddr_in local = {};
    local.sin_family = AF_INET;
    local.sin_port = htons(aDISCOVERY_REQUEST_PORT);
    struct ip_mreq membership = {};
    inet_pton(AF_INET, aDISCOVERY_GROUP, &membership.imr_multiaddr);
    membership.imr_interface = interface;
    if (fd < 0 || setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on) != 0 ||
        bind(fd, reinterpret_cast<sockaddr*>(&local), sizeof local) != 0 ||
        setsockopt(fd, IPPROTO_IP, IP_ADD_MEMBERSHIP, &membership, sizeof membership) != 0)
        return -1;
    return fd;
}

// A socket that hears discovery requests on the loopback interface, where an
// enumeration must send none.
int ListenForRequestsOnLoopback()
{
    struct in_addr loopback = {};
    loopback.s_addr = htonl(INADDR_LOOPBACK);
    int fd = ListenForRequests(loopback);
    if (fd < 0) {
        perror("probe: cannot listen for requests on loopback");
        exit(1);
    }
    return fd;
}

int CountDatagrams(int fd, int waitMs)
{
    int seen = 0;
    struct pollfd pfd = {fd, POLLIN, 0};
    while (poll(&pfd, 1, waitMs) > 0) {
        char buffer[64];
        if (recv(fd, buffer, sizeof buffer, 0) >= 0)
            seen++;
        waitMs = 0;
    }
    return seen;
}

// What a request sent on loopback looks like to the listener: proves it can
// hear one, so hearing none from the enumeration means something.
void SendRequestOnLoopback()
{
    int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    struct in_addr loopback;
    loopback.s_addr = htonl(INADDR_LOOPBACK);
    struct sockaddr_in group = {};
    group.sin_family = AF_INET;
    group.sin_port = htons(aDISCOVERY_REQUEST_PORT);
    inet_pton(AF_INET, aDISCOVERY_GROUP, &group.sin_addr);
    uint8_t request[aDISCOVERY_MESSAGE_SIZE] = {aDISCOVERY_REQUEST_TAG};
    setsockopt(fd, IPPROTO_IP, IP_MULTICAST_IF, &loopback, sizeof loopback);
    sendto(fd, request, sizeof request, 0, reinterpret_cast<sockaddr*>(&group), sizeof group);
    close(fd);
}

// Operations, run in order: interfaces CAPACITY | enumerate | stop-after-first
// | find HEX | first | loopback-silence.
int Probe(int argc, char** argv)
{
    if (!InPrivateNamespace()) {
        fprintf(stderr, "probe: runs only inside a private network namespace (tools/netns/run-in-netns)\n");
        return 2;
    }
    for (int i = 2; i < argc; ++i) {
        std::string op = argv[i];
        if (op == "interfaces" && i + 1 < argc) {
            std::vector<uint32_t> addresses(50);
            size_t capacity = strtoul(argv[++i], nullptr, 10);
            size_t count = aDiscovery_GetIPv4Interfaces(addresses.data(), std::min(capacity, addresses.size()));
            printf("interfaces %zu", count);
            for (size_t a = 0; a < count; ++a) {
                char text[aDISCOVERY_IPV4_TEXT_SIZE];
                aDiscovery_ConvertIPv4Interface(addresses[a], text, sizeof text);
                printf(" %s", text);
            }
            printf("\n");
        } else if (op == "enumerate") {
            PrintEnumeration("enumerate", true, true);
        } else if (op == "stop-after-first") {
            PrintEnumeration("stop-after-first", true, false);
        } else if (op == "find" && i + 1 < argc) {
            auto start = std::chrono::steady_clock::now();
            uint32_t serial = static_cast<uint32_t>(strtoul(argv[++i], nullptr, 16));
            PrintFound("find", aDiscovery_FindModule(TCPIP, serial, 0), start);
        } else if (op == "first") {
            auto start = std::chrono::steady_clock::now();
            PrintFound("first", aDiscovery_FindFirstModule(TCPIP, 0), start);
        } else if (op == "loopback-silence") {
            int listener = ListenForRequestsOnLoopback();
            PrintEnumeration("enumerate", true, true);
            printf("requests seen %d\n", CountDatagrams(listener, 300));
            SendRequestOnLoopback();
            printf("control requests seen %d\n", CountDatagrams(listener, 2000));
            close(listener);
        } else {
            fprintf(stderr, "probe: unknown operation %s\n", op.c_str());
            return 2;
        }
        fflush(stdout);
    }
    return 0;
}

void SleepUntil(const struct timespec& start, long ms)
{
    struct timespec at = start;
    at.tv_sec += ms / 1000;
    at.tv_nsec += (ms % 1000) * 1000000L;
    if (at.tv_nsec >= 1000000000L) {
        at.tv_sec++;
        at.tv_nsec -= 1000000000L;
    }
    while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &at, nullptr) != 0) {
    }
}

// A module on the test host that answers the first request late: one reply
// per delay (ms after the request, comma-separated), serial numbers 1, 2, ...
int LateResponder(int argc, char** argv)
{
    const char* host = getenv("QUORVEL_NETNS_TEST_HOST");
    if (!InPrivateNamespace() || !host || argc < 3) {
        fprintf(stderr, "late responder: runs only on run-in-netns's test host, with delays\n");
        return 2;
    }
    std::vector<long> delays;
    for (char* p = argv[2]; *p;) {
        delays.push_back(strtol(p, &p, 10));
        if (*p == ',')
            ++p;
    }
    struct in_addr hostAddress = {};
    inet_pton(AF_INET, host, &hostAddress);
    int fd = ListenForRequests(hostAddress);
    if (fd < 0) {
        perror("late responder");
        return 1;
    }
    printf("ready\n");
    fflush(stdout);
    uint8_t request[64];
    struct sockaddr_in from = {};
    socklen_t length = sizeof from;
    if (recvfrom(fd, request, sizeof request, 0, reinterpret_cast<sockaddr*>(&from), &length) <= 0)
        return 1;
    struct timespec heard;
    clock_gettime(CLOCK_MONOTONIC, &heard);
    from.sin_port = htons(aDISCOVERY_REPLY_PORT);
    for (size_t i = 0; i < delays.size(); ++i) {
        SleepUntil(heard, delays[i]);
        uint8_t reply[aDISCOVERY_MESSAGE_SIZE] = {};
        reply[1] = static_cast<uint8_t>(2 * (i + 1));
        reply[2] = 0x88;   // port 5000
        reply[3] = 0x13;
        reply[4] = static_cast<uint8_t>(i + 1);
        reply[12] = 13;
        sendto(fd, reply, sizeof reply, 0, reinterpret_cast<sockaddr*>(&from), sizeof from);
    }
    close(fd);
    return 0;
}

int UsbCount()
{
    Recorder recorder;
    printf("%u\n", aDiscovery_EnumerateModules(USB, Recorder::Callback, &recorder, 0));
    return 0;
}

// ---------------------------------------------------------------------------
// Running the probe

std::string SelfPath()
{
    char path[4096];
    ssize_t n = readlink("/proc/self/exe", path, sizeof path - 1);
    return n > 0 ? std::string(path, static_cast<size_t>(n)) : std::string();
}

std::string NetnsRunner()
{
    return std::string(QUORVEL_SOURCE_DIR) + "/tools/netns/run-in-netns";
}

// Runs the command under run-in-netns (with a test host when testHost is
// given). The bus preload stays outside: the namespace tools are not ours.
ProcResult RunInNamespace(const std::string& testHost, const std::vector<std::string>& command)
{
    std::vector<std::string> argv = {NetnsRunner()};
    if (!testHost.empty())
        argv.insert(argv.end(), {"--test-host", testHost, "--wait-for", "ready"});
    argv.push_back("--");
    argv.insert(argv.end(), command.begin(), command.end());
    testsupport::RunOptions options;
    options.env = {"LD_PRELOAD="};
    options.timeoutSeconds = 60;
    return testsupport::Run(argv, options);
}

// The probe's lines without their times, and the times by line.
struct ProbeReport {
    std::vector<std::string> lines;
    std::map<std::string, long> ms;
};

ProbeReport Parse(const std::string& out)
{
    ProbeReport report;
    for (std::string line : testsupport::SplitLines(out)) {
        size_t at = line.rfind(" ms=");
        if (at != std::string::npos) {
            long ms = strtol(line.c_str() + at + 4, nullptr, 10);
            line.erase(at);
            report.ms[line] = ms;
        }
        report.lines.push_back(line);
    }
    return report;
}

std::string VModuleOnTestHost(const std::string& modules)
{
    return testsupport::VModuleBinary() + " --discovery 10.77.0.2 " + modules;
}

const char* const kModuleA = "--serial 40F5849A --address 2 --model 13 --heartbeat 0 --tcp 10.77.0.2:4001";
const char* const kModuleB = "--module --serial 1234 --address 8 --model 5 --heartbeat 0 --tcp 10.77.0.2:4002";
const char* const kFoundA = "TCPIP serial 40F5849A module 2 router 2 router_serial 40F5849A model 13 ip 10.77.0.2 port 4001";
const char* const kFoundB = "TCPIP serial 00001234 module 8 router 8 router_serial 00001234 model 5 ip 10.77.0.2 port 4002";

// ---------------------------------------------------------------------------
// USB on the virtual bus

class UsbDiscovery : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(testsupport::UsbBusLoaded());
        setenv(usbbus::kDirEnv, bus_.path().c_str(), 1);
    }
    void TearDown() override { unsetenv(usbbus::kDirEnv); }

    // Devices are listed in name order.
    void Attach(const std::string& name, const std::string& lines)
    {
        ASSERT_TRUE(usbbus::WriteDevice(bus_.path(), name, lines + "log = yes\n"));
    }
    std::vector<std::string> Calls(const std::string& name)
    {
        return testsupport::SplitLines(testsupport::ReadFile(usbbus::LogPath(bus_.path(), name)));
    }
    static int Count(const std::vector<std::string>& calls, const std::string& line)
    {
        return static_cast<int>(std::count(calls.begin(), calls.end(), line));
    }

    TempDir bus_;
};

const char* const kUsbA = "USB serial 40F5849A module 0 router 0 router_serial 00000000 model 13 usb_id 40F5849A";
const char* const kUsbB = "USB serial 00001234 module 0 router 0 router_serial 00000000 model 5 usb_id 00001234";

TEST_F(UsbDiscovery, ListsOnlyModulesWithAnEightDigitSerialInBusOrder)
{
    struct {
        const char* name;
        const char* lines;
    } devices[] = {
        {"a-module", "product = 0x000D\nserial = 40F5849A\n"},
        {"b-seven", "serial = 40F5849\n"},
        {"c-nine", "serial = 40F5849A0\n"},
        {"d-module", "product = 0x0105\nserial = 00001234\n"},   // model is the product id's low byte
        {"e-vendor", "vendor = 0x1234\nserial = 00000005\n"},
        {"f-product", "product = 0x8004\nserial = 00000006\n"},
        {"g-unopenable", "open = access\nserial = 00000007\n"},
        {"h-no-serial", "product = 0x0004\n"},
        {"i-not-hex", "serial = 40F5849Z\n"},
        {"j-string-fails", "string = io\nserial = 00000009\n"},
    };
    for (const auto& d : devices)
        Attach(d.name, d.lines);

    Recorder recorder;
    EXPECT_EQ(aDiscovery_EnumerateModules(USB, Recorder::Callback, &recorder, 0), 2);
    EXPECT_EQ(recorder.found, (std::vector<std::string>{kUsbA, kUsbB}));
    // Every device that opened was closed again.
    for (const auto& d : devices) {
        auto calls = Calls(d.name);
        EXPECT_EQ(Count(calls, "open ok"), Count(calls, "close")) << d.name;
    }
    EXPECT_EQ(Count(Calls("b-seven"), "open ok"), 1);
    EXPECT_EQ(Count(Calls("e-vendor"), "open ok"), 0);
}

TEST_F(UsbDiscovery, TheCallbackDecidesWhatCountsAndWhenToStop)
{
    Attach("a", "product = 0x000D\nserial = 40F5849A\n");
    Attach("b", "product = 0x0005\nserial = 00001234\n");
    struct {
        bool accept, goOn;
        int calls, count;
    } cases[] = {
        {true, false, 1, 1},
        {false, false, 1, 0},
        {false, true, 2, 0},
        {true, true, 2, 2},
    };
    for (const auto& c : cases) {
        std::string where = "accept " + std::to_string(c.accept) + " go on " + std::to_string(c.goOn);
        unlink(usbbus::LogPath(bus_.path(), "b").c_str());
        Recorder recorder;
        recorder.accept = c.accept;
        recorder.goOn = c.goOn;
        EXPECT_EQ(aDiscovery_EnumerateModules(USB, Recorder::Callback, &recorder, 0), c.count) << where;
        EXPECT_EQ(recorder.calls, c.calls) << where;
        // A stopped enumeration does not even open the next device.
        EXPECT_EQ(Count(Calls("b"), "open ok"), c.calls - 1) << where;
    }
}

TEST_F(UsbDiscovery, FindersCopyTheWholeRecordOfTheModuleOrGiveNull)
{
    Attach("a-zero", "serial = 00000000\n");
    Attach("b", "product = 0x000D\nserial = 40F5849A\n");
    Attach("c", "product = 0x0105\nserial = 00001234\n");

    linkSpec* found = aDiscovery_FindModule(USB, 0x1234, 0);
    ASSERT_NE(found, nullptr);
    EXPECT_EQ(Describe(*found), kUsbB);
    EXPECT_EQ(aLinkSpec_Destroy(&found), aErrNone);

    EXPECT_EQ(aDiscovery_FindModule(USB, 0x1235, 0), nullptr);

    // The first module with a serial number at all.
    found = aDiscovery_FindFirstModule(USB, 0);
    ASSERT_NE(found, nullptr);
    EXPECT_EQ(Describe(*found), kUsbA);
    aLinkSpec_Destroy(&found);
}

TEST_F(UsbDiscovery, AMachineWhereLibusbCannotStartHasNoModules)
{
    Attach("a", "serial = 40F5849A\n");
    testsupport::WriteFile(bus_.file(usbbus::kBusFile), "init = other\n");
    // A fresh process, since the libusb context lives as long as the process.
    ProcResult r = testsupport::Run({SelfPath(), kUsbCount});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, "0\n");
}

TEST(Discovery, LinkTypesThatCannotBeEnumeratedFindNothing)
{
    for (int type : {int(SERIAL), int(INVALID), 5, 7}) {
        Recorder recorder;
        EXPECT_EQ(aDiscovery_EnumerateModules(static_cast<linkType>(type), Recorder::Callback, &recorder, 0), 0)
            << type;
        EXPECT_EQ(recorder.calls, 0) << type;
        EXPECT_EQ(aDiscovery_FindFirstModule(static_cast<linkType>(type), 0), nullptr) << type;
    }
    EXPECT_EQ(aDiscovery_EnumerateModules(USB, nullptr, nullptr, 0), 0);
}

TEST(Discovery, ConvertsAnAddressIntoAClearedBufferOfAtLeastSixteenBytes)
{
    struct {
        const char* address;
        size_t size;
        size_t result;
        const char* text;   // null: buffer untouched
    } cases[] = {
        {"10.77.0.1", 32, 9, "10.77.0.1"},
        {"255.255.255.255", 16, 15, "255.255.255.255"},
        {"0.0.0.0", 16, 7, "0.0.0.0"},
        {"127.0.0.1", 15, 0, nullptr},
        {"127.0.0.1", 0, 0, nullptr},
    };
    for (const auto& c : cases) {
        struct in_addr in;
        ASSERT_EQ(inet_pton(AF_INET, c.address, &in), 1);
        std::string buffer(40, 'x');
        EXPECT_EQ(aDiscovery_ConvertIPv4Interface(in.s_addr, &buffer[0], c.size), c.result) << c.address;
        std::string expected(40, 'x');
        if (c.text) {
            expected.replace(0, c.size, c.size, '\0');
            expected.replace(0, strlen(c.text), c.text);
        }
        EXPECT_EQ(buffer, expected) << c.address << " in " << c.size;
    }
    EXPECT_EQ(aDiscovery_ConvertIPv4Interface(0x0100007F, nullptr, 16), 0u);
    EXPECT_EQ(aDiscovery_GetIPv4Interfaces(nullptr, 50), 0u);
}

// ---------------------------------------------------------------------------
// TCP/IP inside private network namespaces

#define SKIP_WITHOUT_NAMESPACES(r)                      \
    if ((r).status == 77)                               \
        GTEST_SKIP() << testsupport::SplitLines((r).err).front()

TEST(TcpDiscovery, ModulesOnTheTestHostAnswerWithTheirAddressPortSerialAndModel)
{
    // The third module answers on no interface.
    std::string modules = std::string(kModuleA) + " " + kModuleB +
                          " --module --serial 77 --discoverable off --heartbeat 0 --tcp 10.77.0.2:4003";
    ProcResult r = RunInNamespace(VModuleOnTestHost(modules),
                                  {SelfPath(), kProbe, "interfaces", "50", "interfaces", "0", "enumerate", "find",
                                   "1234", "find", "77", "first", "stop-after-first"});
    SKIP_WITHOUT_NAMESPACES(r);
    ASSERT_EQ(r.status, 0) << r.err;
    ProbeReport report = Parse(r.out);
    EXPECT_EQ(report.lines, (std::vector<std::string>{
                                "interfaces 1 10.77.0.1",
                                "interfaces 0",
                                std::string("enumerate found ") + kFoundA,
                                std::string("enumerate found ") + kFoundB,
                                "enumerate count 2 calls 2",
                                std::string("find ") + kFoundB,
                                "find none",
                                std::string("first ") + kFoundA,
                                std::string("stop-after-first found ") + kFoundA,
                                "stop-after-first count 1 calls 1",
                            }));
    // Replies are awaited until two seconds pass without one, unless the
    // callback stops first.
    EXPECT_GE(report.ms["enumerate count 2 calls 2"], 2000);
    // Upper bounds leave room for a loaded machine (sanitizer builds run
    // tests side by side); a stopped enumeration stays under the window.
    EXPECT_LT(report.ms["enumerate count 2 calls 2"], 5000);
    EXPECT_LT(report.ms[std::string("find ") + kFoundB], 1900);
    EXPECT_GE(report.ms["find none"], 2000);
    EXPECT_LT(report.ms[std::string("first ") + kFoundA], 1900);
    EXPECT_LT(report.ms["stop-after-first count 1 calls 1"], 1900);
}

TEST(TcpDiscovery, AModuleHeardThroughTwoInterfaceAddressesIsReportedTwice)
{
    // A second address on the same link: two requests, two answers each.
    std::string probe = SelfPath() + " " + kProbe + " enumerate";
    ProcResult r = RunInNamespace(VModuleOnTestHost(kModuleA),
                                  {"/bin/sh", "-c", "ip addr add 10.77.0.3/24 dev qh0 && exec " + probe});
    SKIP_WITHOUT_NAMESPACES(r);
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(Parse(r.out).lines, (std::vector<std::string>{
                                      std::string("enumerate found ") + kFoundA,
                                      std::string("enumerate found ") + kFoundA,
                                      "enumerate count 2 calls 2",
                                  }));
}

TEST(TcpDiscovery, TheListenerWaitsTwoSecondsAfterTheLastReply)
{
    // Replies 1 s and 2.5 s after the request are heard (each restarts the
    // two seconds); one 2.5 s after those is not.
    std::string responder = SelfPath() + " " + kLateResponder + " 1000,2500,5000";
    ProcResult r = RunInNamespace(responder, {SelfPath(), kProbe, "enumerate"});
    SKIP_WITHOUT_NAMESPACES(r);
    ASSERT_EQ(r.status, 0) << r.err;
    ProbeReport report = Parse(r.out);
    EXPECT_EQ(report.lines, (std::vector<std::string>{
                                "enumerate found TCPIP serial 00000001 module 2 router 2 router_serial 00000001 "
                                "model 13 ip 10.77.0.2 port 5000",
                                "enumerate found TCPIP serial 00000002 module 4 router 4 router_serial 00000002 "
                                "model 13 ip 10.77.0.2 port 5000",
                                "enumerate count 2 calls 2",
                            }));
    EXPECT_GE(report.ms["enumerate count 2 calls 2"], 4500);
}

TEST(TcpDiscovery, WithOnlyLoopbackNothingIsSentAndTheEnumerationReturnsAtOnce)
{
    ProcResult r = RunInNamespace("", {SelfPath(), kProbe, "interfaces", "50", "loopback-silence"});
    SKIP_WITHOUT_NAMESPACES(r);
    ASSERT_EQ(r.status, 0) << r.err;
    ProbeReport report = Parse(r.out);
    EXPECT_EQ(report.lines, (std::vector<std::string>{
                                "interfaces 0",
                                "enumerate count 0 calls 0",
                                "requests seen 0",
                                "control requests seen 1",
                            }));
    EXPECT_LT(report.ms["enumerate count 0 calls 0"], 1500);
}

}  // namespace

int main(int argc, char** argv)
{
    // Helper modes first: they run inside namespaces or as a fresh process,
    // without the test framework.
    if (argc > 1 && strcmp(argv[1], kProbe) == 0)
        return Probe(argc, argv);
    if (argc > 1 && strcmp(argv[1], kLateResponder) == 0)
        return LateResponder(argc, argv);
    if (argc > 1 && strcmp(argv[1], kUsbCount) == 0)
        return UsbCount();
    testsupport::ReexecWithUsbBus(argv);
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
