// The virtual module program's side of the upgrade command (0x5F), byte for
// byte over raw frames: the firmware taking loader blocks and starting the
// loader (answering LOAD, or restarting into it and coming back on TCP and
// USB), the loader taking firmware blocks into its simulated flash and
// rebooting into the new firmware, the upgrade fault switches, the flash dump
// and the record of sub-commands, for a module reached directly and for one
// behind a router. Nothing here goes through the library's link engine.

#include <gtest/gtest.h>
#include <signal.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <random>
#include <stdexcept>
#include <string>
#include <vector>

#include "RecordWait.h"
#include "VModuleFlash.h"
#include "VModuleProcess.h"
#include "VModuleRecord.h"
#include "testsupport.h"

using namespace testsupport;

namespace {

using Bytes = std::vector<uint8_t>;

constexpr uint8_t kModule = 0x06;
constexpr size_t kChunk = 26;
const Bytes kAddressQuery{0xAD, 0x00};
const std::string kSerial = "40F5849A";

Bytes Frame(uint8_t address, Bytes data)
{
    data.insert(data.begin(), {address, static_cast<uint8_t>(data.size())});
    return data;
}

Bytes BE32(uint32_t value)
{
    return {static_cast<uint8_t>(value >> 24), static_cast<uint8_t>(value >> 16), static_cast<uint8_t>(value >> 8),
            static_cast<uint8_t>(value)};
}

Bytes Join(Bytes head, const Bytes& tail)
{
    head.insert(head.end(), tail.begin(), tail.end());
    return head;
}

std::string Hex8(uint32_t value)
{
    char text[16];
    snprintf(text, sizeof text, "%08X", value);
    return text;
}

uint32_t SumOf(const std::string& bytes)
{
    uint32_t sum = 0;
    for (unsigned char b : bytes)
        sum += b;
    return sum;
}

std::string RandomBytes(size_t count, unsigned seed)
{
    std::mt19937 random(seed);
    std::string bytes(count, '\0');
    for (auto& b : bytes)
        b = static_cast<char>(random());
    return bytes;
}

// The host's requests and the module's answers, for the module at `a`.
Bytes Init(uint8_t a = kModule) { return Frame(a, {0x5F, 0x00}); }
Bytes Load(uint8_t a = kModule) { return Frame(a, {0x5F, 0x02}); }
Bytes Sum(uint8_t a = kModule) { return Frame(a, {0x5F, 0x04}); }
Bytes Reboot(uint8_t a = kModule) { return Frame(a, {0x5F, 0x06}); }
Bytes Prepare(uint32_t address, uint8_t flags = 0, uint8_t a = kModule)
{
    return Frame(a, Join({0x5F, 0x03, flags}, BE32(address)));
}
Bytes Data(const std::string& chunk, uint8_t a = kModule)
{
    return Frame(a, Join({0x5F, 0x01}, Bytes(chunk.begin(), chunk.end())));
}
Bytes Write(uint16_t count, uint8_t a = kModule)
{
    return Frame(a, {0x5F, 0x05, static_cast<uint8_t>(count >> 8), static_cast<uint8_t>(count)});
}
Bytes InitReply(uint32_t base, uint8_t a = kModule) { return Frame(a, Join({0x5F, 0x00}, BE32(base))); }
Bytes LoadReply(uint8_t a = kModule) { return Frame(a, {0x5F, 0x02}); }
Bytes PrepareReply(uint8_t status, uint16_t size, uint8_t a = kModule)
{
    return Frame(a, {0x5F, 0x07, status, static_cast<uint8_t>(size >> 8), static_cast<uint8_t>(size)});
}
Bytes DataReply(size_t count, uint8_t a = kModule) { return Frame(a, {0x5F, 0x01, static_cast<uint8_t>(count)}); }
Bytes SumReply(uint32_t sum, uint8_t a = kModule) { return Frame(a, Join({0x5F, 0x07, 0x00}, BE32(sum))); }
Bytes StatusReply(uint8_t status, uint8_t a = kModule) { return Frame(a, {0x5F, 0x07, status}); }

// The host's side of the exchanges, checking every answer byte for byte and
// noting the record line each request should leave.
class Host {
public:
    Host(FrameSocket& socket, uint8_t address = kModule) : socket_(socket), address_(address) {}

    void Exchange(const Bytes& request, const Bytes& reply, const std::string& recorded = "")
    {
        socket_.Send(request);
        if (reply.empty()) {
            // Nothing comes back: the answer to a query sent after it must be next.
            socket_.Send(kAddressQuery);
            EXPECT_EQ(socket_.ReadFrame(), Frame(linkModule, {})) << recorded << ": answered";
        } else {
            EXPECT_EQ(socket_.ReadFrame(), reply) << recorded;
        }
        if (!recorded.empty())
            expected.push_back(recorded);
    }

    // One transfer: DATA chunks of 26 bytes, each taken whole, then SUM.
    void Transfer(uint32_t address, const std::string& payload)
    {
        for (size_t at = 0; at < payload.size(); at += kChunk) {
            std::string chunk = payload.substr(at, kChunk);
            Exchange(Data(chunk, address_), DataReply(chunk.size(), address_),
                     "upgrade DATA " + Hex8(address + static_cast<uint32_t>(at)) + " " +
                         std::to_string(chunk.size()));
        }
        Exchange(Sum(address_), SumReply(SumOf(payload), address_), "upgrade SUM " + Hex8(SumOf(payload)));
    }

    void LoaderBlock(uint32_t address, const std::string& payload, uint16_t grantedSize)
    {
        Exchange(Prepare(address, 0, address_), PrepareReply(0, grantedSize, address_),
                 "upgrade PREPARE flags 0 address " + Hex8(address) + " size " + std::to_string(grantedSize));
        Transfer(address, payload);
    }

    // A firmware block as the loader takes it: pieces of the block size,
    // each transferred and written.
    void FirmwareBlock(uint32_t address, uint8_t flags, const std::string& payload, uint16_t blockSize,
                       int block, int attempt = 1)
    {
        Exchange(Prepare(address, flags, address_), PrepareReply(0, blockSize, address_),
                 "upgrade PREPARE flags " + std::to_string(flags) + " address " + Hex8(address) + " size " +
                     std::to_string(blockSize) + " block " + std::to_string(block) + " attempt " +
                     std::to_string(attempt));
        for (size_t at = 0; at < payload.size(); at += blockSize) {
            std::string piece = payload.substr(at, blockSize);
            uint32_t pieceAddress = address + static_cast<uint32_t>(at);
            Transfer(pieceAddress, piece);
            Exchange(Write(static_cast<uint16_t>(piece.size()), address_), StatusReply(0, address_),
                     "upgrade WRITE " + Hex8(pieceAddress) + " " + std::to_string(piece.size()));
        }
    }

    std::vector<std::string> expected;  // record lines, "upgrade ..."
    uint8_t linkModule = kModule;       // who answers the address query on this link

private:
    FrameSocket& socket_;
    uint8_t address_;
};

std::vector<std::string> UpgradeEvents(const std::string& record, const std::string& serial = kSerial)
{
    std::vector<std::string> events;
    for (const auto& e : RecordEvents(record, serial))
        if (e.compare(0, 8, "upgrade ") == 0)
            events.push_back(e);
    return events;
}

// Seconds of the first record event with this text.
double EventTime(const std::string& record, const std::string& serial, const std::string& text)
{
    for (const auto& line : SplitLines(ReadFile(record))) {
        size_t space = line.find(' ', 3);
        if (line.compare(0, 3, "ev ") == 0 && space != std::string::npos && line.substr(space + 1) == serial + " " + text)
            return std::stod(line.substr(3, space - 3));
    }
    ADD_FAILURE() << "no event " << text;
    return 0;
}

// Version (system option 7) and build number, as the module reports them now.
void ExpectIdentity(FrameSocket& socket, uint8_t a, uint32_t version, uint32_t build)
{
    socket.Send(Frame(a, {0x03, 0x47, 0x20}));
    EXPECT_EQ(socket.ReadFrame(), Frame(a, Join({0x03, 0x07, 0x00}, BE32(version))));
    socket.Send(Frame(a, {0x49, 0xFF}));
    EXPECT_EQ(socket.ReadFrame(), Frame(a, Join({0x49, 0xFF}, BE32(build))));
}

}  // namespace

TEST(VModuleUpgrade, LoaderAndFirmwareGoInAndTheNewFirmwareReportsItsVersion)
{
    TempDir dir;
    std::string record = dir.file("record"), dump = dir.file("flash");
    VModuleProcess program({"--address", "6", "--heartbeat", "0", "--record", record, "--flash-dump", dump, "--load",
                            "answer", "--block-size", "256", "--restart-delay", "100", "--next-version", "2.17.0",
                            "--next-build", "42"});
    FrameSocket socket(program.port());
    Host host(socket);
    std::string loader1 = RandomBytes(60, 1), loader2 = RandomBytes(30, 2);
    std::string firmware1 = RandomBytes(600, 3), firmware2 = RandomBytes(40, 4);

    host.Exchange(Init(), InitReply(0x20000000), "upgrade INIT base 20000000");
    // Loader blocks: 60 bytes go as 26, 26 and 8, then one SUM, and no WRITE.
    host.LoaderBlock(0x20000000, loader1, 256);
    host.LoaderBlock(0x20001000, loader2, 256);
    host.Exchange(Load(), LoadReply(), "upgrade LOAD answered");
    // Firmware blocks: 600 bytes in pieces of 256, 256 and 88, each written.
    host.FirmwareBlock(0x00010000, 1, firmware1, 256, 1);
    host.FirmwareBlock(0x00020000, 0, firmware2, 256, 2);
    // REBOOT: no answer, the link drops.
    socket.Send(Reboot());
    host.expected.push_back("upgrade REBOOT");
    EXPECT_TRUE(socket.ClosedByPeer());

    // The flash dump was written before the link dropped.
    FlashDump flash = ReadFlashDump(dump);
    EXPECT_EQ(flash.flash.ranges, (std::vector<std::pair<uint32_t, uint32_t>>{{0x10000, 600}, {0x20000, 40}}));
    EXPECT_EQ(flash.flash.At(0x10000, 600), firmware1);
    EXPECT_EQ(flash.flash.At(0x20000, 40), firmware2);
    EXPECT_EQ(flash.loader.ranges, (std::vector<std::pair<uint32_t, uint32_t>>{{0x20000000, 60}, {0x20001000, 30}}));
    EXPECT_EQ(flash.loader.At(0x20000000, 60), loader1);
    EXPECT_EQ(flash.loader.At(0x20001000, 30), loader2);

    ASSERT_TRUE(AwaitRecordEvent(record, kSerial, "back"));
    FrameSocket again(program.port());
    ExpectIdentity(again, kModule, 0x2F021100, 42);

    EXPECT_EQ(UpgradeEvents(record), host.expected);
    auto events = RecordEvents(record, kSerial);
    std::vector<std::string> life;
    for (const auto& e : events)
        if (e == "loader started" || e.rfind("restart ", 0) == 0 || e.rfind("firmware started", 0) == 0 ||
            e == "back" || e.rfind("flash dumped", 0) == 0)
            life.push_back(e);
    EXPECT_EQ(life, (std::vector<std::string>{"loader started", "flash dumped to " + dump,
                                              "restart into firmware in 100 ms",
                                              "firmware started version 2.17.0 build 42", "back"}));
    EXPECT_EQ(program.Stop(SIGTERM), 0);
}

TEST(VModuleUpgrade, RestartingIntoTheLoaderDropsEveryLinkAndComesBackWhereItWas)
{
    TempDir dir;
    std::string record = dir.file("record");
    std::string device = dir.file(kSerial + ".dev"), pipe = dir.file(kSerial + ".sock");
    VModuleProcess program({"--usb-bus", dir.path(), "--address", "6", "--heartbeat", "0", "--record", record,
                            "--usb", "on", "--restart-delay", "300", "--block-size", "16"});
    int port = program.port();
    auto tcp = std::make_unique<FrameSocket>(port);
    auto usb = std::make_unique<FrameSocket>(FrameSocket::UnixPath{pipe});
    Host overTcp(*tcp), overUsb(*usb);
    overTcp.Exchange(Init(), InitReply(0x20000000));
    overUsb.LoaderBlock(0x20000000, RandomBytes(40, 5), 16);

    // LOAD: no answer; the module restarts into the loader, so every link
    // drops and it is off USB and TCP until it comes back.
    tcp->Send(Load());
    EXPECT_TRUE(tcp->ClosedByPeer());
    EXPECT_TRUE(usb->ClosedByPeer());
    EXPECT_FALSE(std::filesystem::exists(device));
    EXPECT_THROW(FrameSocket refused(port), std::runtime_error);
    EXPECT_THROW(FrameSocket gone(FrameSocket::UnixPath{pipe}), std::runtime_error);

    ASSERT_TRUE(AwaitRecordEvent(record, kSerial, "back"));
    EXPECT_GE(EventTime(record, kSerial, "loader started") - EventTime(record, kSerial, "upgrade LOAD"), 0.300);
    EXPECT_TRUE(std::filesystem::exists(device));
    // The loader on the same TCP port and on USB: it takes a firmware block
    // (a WRITE the firmware would refuse) and reboots.
    tcp = std::make_unique<FrameSocket>(port);
    usb = std::make_unique<FrameSocket>(FrameSocket::UnixPath{pipe});
    Host loaderTcp(*tcp), loaderUsb(*usb);
    loaderTcp.Exchange(kAddressQuery, Frame(kModule, {}));
    std::string firmware = RandomBytes(50, 6);
    loaderUsb.FirmwareBlock(0x8000, 2, firmware, 16, 1);
    usb->Send(Reboot());
    EXPECT_TRUE(usb->ClosedByPeer());
    EXPECT_TRUE(tcp->ClosedByPeer());
    EXPECT_FALSE(std::filesystem::exists(device));

    // Without next-version and next-build, the new firmware reports what ran before.
    ASSERT_TRUE(AwaitRecordEvent(record, kSerial, "back", 2));
    FrameSocket after(port);
    ExpectIdentity(after, kModule, 0x2F021000, 1);
    auto events = RecordEvents(record, kSerial);
    for (const char* wanted : {"restart into loader in 300 ms", "usb detached", "tcp closed",
                               "link 1 closed restart into loader", "link 2 closed restart into loader",
                               "restart into firmware in 300 ms", "firmware started version 2.16.0 build 1"})
        EXPECT_TRUE(Contains(events, wanted)) << wanted;
    EXPECT_TRUE(Contains(events, "tcp open 127.0.0.1:" + std::to_string(port)));
    EXPECT_EQ(program.Stop(SIGTERM), 0);
}

namespace {

struct FaultCase {
    const char* fault;
    // Runs the exchanges in the loader, with a block size of 8.
    std::function<void(Host&)> run;
    std::vector<std::string> recorded;       // among the record's events
    std::map<uint32_t, std::string> flash;   // what the dump holds afterwards
};

std::vector<FaultCase> FaultCases()
{
    const std::string ab = "ab", xyz = "xyz";
    return {
        {"drop-data:1",
         [=](Host& h) {
             h.Exchange(Prepare(0x100), PrepareReply(0, 8));
             h.Exchange(Data(ab), {});
             h.Exchange(Prepare(0x100), PrepareReply(0, 8));
             h.Exchange(Data(ab), DataReply(2));
             h.Exchange(Sum(), SumReply(SumOf(ab)));
             h.Exchange(Write(2), StatusReply(0));
         },
         {"upgrade DATA 00000100 2 unanswered (fault drop-data)",
          "upgrade PREPARE flags 0 address 00000100 size 8 block 1 attempt 2"},
         {{0x100, ab}}},
        {"drop-data:2,2",
         [=](Host& h) {
             h.Exchange(Prepare(0x100), PrepareReply(0, 8));
             h.Exchange(Data("a"), DataReply(1));
             h.Exchange(Data("b"), {});
             h.Exchange(Data("b"), {});
             h.Exchange(Data("b"), DataReply(1));
             h.Exchange(Sum(), SumReply(SumOf(ab)));
             h.Exchange(Write(2), StatusReply(0));
         },
         {"upgrade DATA 00000101 1 unanswered (fault drop-data)"},
         {{0x100, ab}}},
        {"wrong-count:1,2",
         [=](Host& h) {
             h.Exchange(Prepare(0x100), PrepareReply(0, 8));
             h.Exchange(Data(xyz), DataReply(2));
             h.Exchange(Data(xyz), DataReply(2));
             h.Exchange(Data(xyz), DataReply(3));
             h.Exchange(Sum(), SumReply(SumOf(xyz)));  // taken once
             h.Exchange(Write(3), StatusReply(0));
         },
         {"upgrade DATA 00000100 3 answered 2 (fault wrong-count)"},
         {{0x100, xyz}}},
        {"wrong-sum:2",  // fails twice, then succeeds
         [=](Host& h) {
             for (uint32_t attempt = 1; attempt <= 3; ++attempt) {
                 h.Exchange(Prepare(0x100), PrepareReply(0, 8));
                 h.Exchange(Data(ab), DataReply(2));
                 h.Exchange(Sum(), SumReply(SumOf(ab) + (attempt <= 2 ? 1 : 0)));
             }
             h.Exchange(Write(2), StatusReply(0));
         },
         {"upgrade SUM 000000C4 for 000000C3 (fault wrong-sum)", "upgrade SUM 000000C3"},
         {{0x100, ab}}},
        {"wrong-sum:5",  // fails five times: as long as a host retries a block
         [=](Host& h) {
             for (uint32_t attempt = 1; attempt <= 6; ++attempt) {
                 h.Exchange(Prepare(0x100), PrepareReply(0, 8));
                 h.Exchange(Data(ab), DataReply(2));
                 h.Exchange(Sum(), SumReply(SumOf(ab) + (attempt <= 5 ? 1 : 0)));
             }
         },
         {"upgrade PREPARE flags 0 address 00000100 size 8 block 1 attempt 6"},
         {}},
        {"wrong-sum:1,2",  // the second block only
         [=](Host& h) {
             h.Exchange(Prepare(0x100), PrepareReply(0, 8));
             h.Exchange(Data(ab), DataReply(2));
             h.Exchange(Sum(), SumReply(SumOf(ab)));
             h.Exchange(Write(2), StatusReply(0));
             h.Exchange(Prepare(0x200), PrepareReply(0, 8));
             h.Exchange(Data(xyz), DataReply(3));
             h.Exchange(Sum(), SumReply(SumOf(xyz) + 1));
             h.Exchange(Prepare(0x200), PrepareReply(0, 8));
             h.Exchange(Data(xyz), DataReply(3));
             h.Exchange(Sum(), SumReply(SumOf(xyz)));
             h.Exchange(Write(3), StatusReply(0));
         },
         {"upgrade PREPARE flags 0 address 00000200 size 8 block 2 attempt 2"},
         {{0x100, ab}, {0x200, xyz}}},
        {"fail-prepare:2",
         [=](Host& h) {
             h.Exchange(Prepare(0x100), PrepareReply(0, 8));
             h.Exchange(Data(ab), DataReply(2));
             h.Exchange(Write(2), StatusReply(0));
             h.Exchange(Prepare(0x200), PrepareReply(1, 0));
             h.Exchange(Data(ab), DataReply(0));  // no block to take it into
             h.Exchange(Write(0), StatusReply(1));
         },
         {"upgrade PREPARE flags 0 address 00000200 size 8 block 2 attempt 1 failed (fault fail-prepare)"},
         {{0x100, ab}}},
        {"fail-write:1",
         [=](Host& h) {
             h.Exchange(Prepare(0x100), PrepareReply(0, 8));
             h.Exchange(Data(ab), DataReply(2));
             h.Exchange(Write(2), StatusReply(1));
             h.Exchange(Prepare(0x100), PrepareReply(0, 8));
             h.Exchange(Data(xyz), DataReply(3));
             h.Exchange(Write(3), StatusReply(0));
         },
         {"upgrade WRITE 00000100 2 failed (fault fail-write)", "upgrade WRITE 00000100 3"},
         {{0x100, xyz}}},
        {"reboot-keeps-link",
         [=](Host& h) {
             h.Exchange(Prepare(0x100), PrepareReply(0, 8));
             h.Exchange(Data(ab), DataReply(2));
             h.Exchange(Write(2), StatusReply(0));
             h.Exchange(Reboot(), {});  // the link stays: the address query is answered
             h.Exchange(Prepare(0x100), PrepareReply(0, 8));  // still the loader
         },
         {"upgrade REBOOT ignored (fault reboot-keeps-link)",
          "upgrade PREPARE flags 0 address 00000100 size 8 block 1 attempt 2"},
         {{0x100, ab}}},
    };
}

}  // namespace

TEST(VModuleUpgrade, FaultSwitchesMisleadTheHostAsAsked)
{
    for (const auto& c : FaultCases()) {
        SCOPED_TRACE(c.fault);
        TempDir dir;
        std::string record = dir.file("record"), dump = dir.file("flash");
        VModuleProcess program({"--address", "6", "--heartbeat", "0", "--record", record, "--flash-dump", dump,
                                "--load", "answer", "--block-size", "8", "--fault", c.fault});
        FrameSocket socket(program.port());
        Host host(socket);
        // The firmware's own exchanges are not the faults' business.
        host.Exchange(Init(), InitReply(0x20000000));
        host.LoaderBlock(0x20000000, "loader", 8);
        host.Exchange(Load(), LoadReply());
        c.run(host);
        EXPECT_EQ(program.Stop(SIGTERM), 0);
        auto events = RecordEvents(record, kSerial);
        for (const auto& wanted : c.recorded)
            EXPECT_TRUE(Contains(events, wanted)) << wanted;
        const DumpedMemory& flash = ReadFlashDump(dump).flash;
        size_t size = 0;
        for (const auto& [address, bytes] : c.flash) {
            EXPECT_EQ(flash.At(address, bytes.size()), bytes);
            size += bytes.size();
        }
        EXPECT_EQ(flash.bytes.size(), size);
    }
}

TEST(VModuleUpgrade, RequestsOutOfTurnOrMisshapenAreRefused)
{
    TempDir dir;
    std::string record = dir.file("record"), dump = dir.file("flash");
    VModuleProcess program({"--address", "6", "--heartbeat", "0", "--record", record, "--flash-dump", dump,
                            "--load", "answer", "--block-size", "8"});
    FrameSocket socket(program.port());
    Host host(socket);
    std::string ten = "0123456789";
    // The firmware writes no flash and does not reboot; unknown sub-commands
    // go unanswered.
    host.Exchange(Write(0), StatusReply(1), "upgrade WRITE 00000000 0 refused: no firmware block prepared");
    host.Exchange(Reboot(), {}, "upgrade REBOOT ignored: not in the loader");
    host.Exchange(Frame(kModule, {0x5F, 0x09}), {}, "upgrade sub-command 09 unanswered");
    host.Exchange(Frame(kModule, {0x5F}), {}, "upgrade sub-command missing unanswered");
    host.Exchange(Load(), LoadReply(), "upgrade LOAD answered");
    // The loader: nothing taken before a PREPARE, a short PREPARE refused, at
    // most a block's worth taken before WRITE, and WRITE only of what was taken.
    host.Exchange(Data("ab"), DataReply(0), "upgrade DATA 00000000 2 took 0 (no block prepared)");
    host.Exchange(Frame(kModule, {0x5F, 0x03, 0x00}), PrepareReply(1, 0), "upgrade PREPARE refused: 3 bytes");
    host.Exchange(Prepare(0x100), PrepareReply(0, 8), "upgrade PREPARE flags 0 address 00000100 size 8 block 1 attempt 1");
    host.Exchange(Data(ten), DataReply(8), "upgrade DATA 00000100 10 took 8 (block size 8)");
    host.Exchange(Data("89"), DataReply(0), "upgrade DATA 00000108 2 took 0 (block size 8)");
    host.Exchange(Write(7), StatusReply(1), "upgrade WRITE 00000100 7 refused: 8 bytes taken");
    host.Exchange(Frame(kModule, {0x5F, 0x05, 0x00}), StatusReply(1), "upgrade WRITE refused: 3 bytes");
    host.Exchange(Write(8), StatusReply(0), "upgrade WRITE 00000100 8");
    host.Exchange(Data("89"), DataReply(2), "upgrade DATA 00000108 2");
    host.Exchange(Write(2), StatusReply(0), "upgrade WRITE 00000108 2");
    // A loader sent again to a module left in its loader goes to RAM whole,
    // whatever the block size.
    host.Exchange(Init(), InitReply(0x20000000), "upgrade INIT base 20000000");
    host.LoaderBlock(0x20000000, RandomBytes(30, 7), 8);
    EXPECT_EQ(program.Stop(SIGTERM), 0);
    EXPECT_EQ(UpgradeEvents(record), host.expected);
    FlashDump flash = ReadFlashDump(dump);
    EXPECT_EQ(flash.flash.ranges, (std::vector<std::pair<uint32_t, uint32_t>>{{0x100, 10}}));
    EXPECT_EQ(flash.flash.At(0x100, 10), ten);
    EXPECT_EQ(flash.loader.At(0x20000000, 30), RandomBytes(30, 7));
}

TEST(VModuleUpgrade, AModuleBehindARouterRestartsOffTheRoutersBusAndItsLinkStays)
{
    TempDir dir;
    std::string record = dir.file("record"), dump = dir.file("flash");
    const uint8_t child = 0x08;
    const std::string childSerial = "00000101";
    VModuleProcess program({"--address", "6", "--heartbeat", "0", "--record", record, "--module", "--serial", "101",
                            "--address", "8", "--parent", kSerial, "--restart-delay", "500", "--next-build", "7",
                            "--flash-dump", dump});
    FrameSocket socket(program.port());
    Host host(socket, child);
    host.Exchange(Frame(kModule, {0x03, 0x94, 0x20, 0x01}), Frame(kModule, {0x03, 0xD4, 0x00}));  // route to me on
    host.Exchange(Init(child), InitReply(0x20000000, child));
    host.LoaderBlock(0x20000000, "loader", 256);
    // LOAD: the module behind the router restarts; the router's link stays,
    // and frames for the module go nowhere until it is back.
    host.Exchange(Load(child), {});
    host.Exchange(Init(child), {});
    ASSERT_TRUE(AwaitRecordEvent(record, childSerial, "back"));
    std::string firmware = RandomBytes(300, 8);
    host.FirmwareBlock(0x4000, 0, firmware, 256, 1);
    host.Exchange(Reboot(child), {});
    ASSERT_TRUE(AwaitRecordEvent(record, childSerial, "back", 2));
    ExpectIdentity(socket, child, 0x2F021000, 7);
    EXPECT_EQ(program.Stop(SIGTERM), 0);

    EXPECT_TRUE(Contains(RecordEvents(record, kSerial), "frame for address 08 ignored"));
    EXPECT_FALSE(Contains(RecordEvents(record, kSerial), "link 1 closed restart into loader"));
    auto events = RecordEvents(record, childSerial);
    for (const char* wanted : {"upgrade LOAD", "restart into loader in 500 ms", "loader started", "upgrade REBOOT",
                               "restart into firmware in 500 ms", "firmware started version 2.16.0 build 7"})
        EXPECT_TRUE(Contains(events, wanted)) << wanted;
    // Written on REBOOT and again when the program stopped.
    EXPECT_EQ(ReadFlashDump(dump).flash.At(0x4000, 300), firmware);
}

TEST(VModuleUpgrade, BadUpgradeSettingsEndWithOneLine)
{
    struct Case {
        std::vector<std::string> args;
        std::string error;
    } cases[] = {
        {{"--block-size", "65536"}, "--block-size: a block size is 0..65535"},
        {{"--load", "later"}, "--load: expected restart or answer"},
        {{"--restart-delay", "60001"}, "--restart-delay: a restart delay is 0..60000 milliseconds"},
        {{"--next-build", "-1"}, "--next-build: a build number is a 32-bit unsigned number"},
        {{"--fault", "drop-data:0"}, "--fault: drop-data:0: FIRST and COUNT are 1 or more"},
        {{"--fault", "wrong-count:1,0"}, "--fault: wrong-count:1,0: FIRST and COUNT are 1 or more"},
        {{"--fault", "wrong-sum"}, "--fault: wrong-sum: expected wrong-sum:K[,BLOCK]"},
        {{"--fault", "fail-write:1,2,3"}, "--fault: fail-write:1,2,3: expected fail-write:FIRST[,COUNT]"},
        {{"--flash-dump", "x", "--module", "--serial", "2", "--flash-dump", "x"},
         "module 00000002: flash-dump x is given to another module too"},
    };
    for (const auto& c : cases) {
        std::vector<std::string> argv{VModuleBinary()};
        argv.insert(argv.end(), c.args.begin(), c.args.end());
        ProcResult r = testsupport::Run(argv);
        EXPECT_EQ(r.status, 2) << c.error;
        EXPECT_EQ(r.err, "quorvel-vmodule: " + c.error + " (see --help)\n");
    }
}
