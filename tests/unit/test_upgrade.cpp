// quorvel-test: threaded
// The upgrade command on the wire, byte for byte, against a scripted loader
// on 127.0.0.1 (QuorvelEntity), and the update's stages on top of it
// (_validate_birdfile, _transfer_loader, _transfer_firmware): chunking, sums,
// pieces and writes, the bounds on resends and on the wait after REBOOT,
// retries of a firmware block, and what each failure answers.

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <functional>
#include <iterator>
#include <memory>
#include <string>
#include <vector>

#include "BirdFile.h"
#include "BirdWriter.h"
#include "CaptureDisplay.h"
#include "LogCapture.h"
#include "LoopbackLink.h"
#include "Module.h"
#include "QuorvelEntity.h"
#include "Quorvel_update.h"
#include "ScriptedModule.h"
#include "testsupport.h"

using namespace Veltrane::Lumastrix;
using testsupport::FrameBytes;
using testsupport::ScriptedModule;

namespace {

const uint8_t kAddress = 2;
const uint32_t kSerial = 0x40F5849A;
const uint8_t kModelCindrel = 13;

FrameBytes F(const std::vector<uint8_t>& data)
{
    return testsupport::ModuleFrame(kAddress, data);
}

std::vector<uint8_t> Bytes(size_t count, uint8_t first = 1)
{
    std::vector<uint8_t> bytes(count);
    for (size_t i = 0; i < count; ++i)
        bytes[i] = static_cast<uint8_t>(first + i * 7);
    return bytes;
}

// A block's data: the load address, big-endian, then the payload.
std::vector<uint8_t> Block(uint32_t address, const std::vector<uint8_t>& payload)
{
    // Sized up front, like F above (GCC 12's false -Warray-bounds at -O2).
    std::vector<uint8_t> data(payload.size() + 4);
    for (int i = 0; i < 4; ++i)
        data[i] = static_cast<uint8_t>(address >> (24 - 8 * i));
    std::copy(payload.begin(), payload.end(), data.begin() + 4);
    return data;
}

// The usual INIT reply: the load base 0x20000000.
const uint8_t kInitReply[] = {0x5F, 0, 0x20, 0, 0, 0};

// How the scripted loader behaves. Copied into the handler, whose own state
// lives on the scripted module's thread only.
struct Loader {
    std::vector<uint8_t> initReply{std::begin(kInitReply), std::end(kInitReply)};
    uint16_t grant = 256;
    uint8_t prepareStatus = 0;
    bool answerPrepare = true;
    std::vector<uint8_t> prepareReply;  // instead of the usual one, when set
    int wrongCounts = 0;                // DATA answers with a wrong count, from the first on
    bool answerData = true;
    uint32_t sumOffset = 0;
    // The first failingSums SUM answers carry a wrong sum.
    int failingSums = 0;
    uint8_t writeStatus = 0;
    bool answerWrite = true;
    bool answerLoad = true;
    bool dropOnLoad = false;
    bool dropOnReboot = false;
    // Identity for the system entity's serial number and model gets.
    uint32_t serial = kSerial;
    uint8_t model = kModelCindrel;
};

ScriptedModule::Handler LoaderScript(ScriptedModule& peer, Loader config)
{
    struct State {
        uint32_t sum = 0;
        int wrongCounts = 0;
        int failingSums = 0;
    };
    // The module copies its handler for every frame, so the state is shared.
    auto state = std::make_shared<State>(State{0, config.wrongCounts, config.failingSums});
    return [&peer, config, state](const FrameBytes& request) -> std::vector<FrameBytes> {
        const uint8_t* d = &request[2];
        uint8_t length = request[1];
        if (length >= 3 && d[0] == 3 && d[1] == 0x49)
            return {F({3, 9, 0, uint8_t(config.serial >> 24), uint8_t(config.serial >> 16),
                       uint8_t(config.serial >> 8), uint8_t(config.serial)})};
        if (length >= 3 && d[0] == 3 && d[1] == 0x48)
            return {F({3, 8, 0, config.model})};
        if (length < 2 || d[0] != 0x5F)
            return {};
        switch (d[1]) {
        case val_UPGRADE_INIT:
            return {F(config.initReply)};
        case val_UPGRADE_PREPARE:
            state->sum = 0;
            if (!config.answerPrepare)
                return {};
            if (!config.prepareReply.empty())
                return {F(config.prepareReply)};
            return {F({0x5F, 7, config.prepareStatus, uint8_t(config.grant >> 8), uint8_t(config.grant)})};
        case val_UPGRADE_DATA: {
            if (!config.answerData)
                return {};
            uint8_t count = static_cast<uint8_t>(length - 2);
            if (state->wrongCounts > 0) {
                --state->wrongCounts;
                return {F({0x5F, 1, static_cast<uint8_t>(count - 1)})};
            }
            for (uint8_t i = 0; i < count; ++i)
                state->sum += d[2 + i];
            return {F({0x5F, 1, count})};
        }
        case val_UPGRADE_SUM: {
            uint32_t sum = state->sum;
            state->sum = 0;
            if (state->failingSums > 0) {
                --state->failingSums;
                ++sum;
            }
            sum += config.sumOffset;
            return {F({0x5F, 7, 0, uint8_t(sum >> 24), uint8_t(sum >> 16), uint8_t(sum >> 8), uint8_t(sum)})};
        }
        case val_UPGRADE_WRITE:
            if (!config.answerWrite)
                return {};
            return {F({0x5F, 7, config.writeStatus})};
        case val_UPGRADE_LOAD:
            if (config.dropOnLoad)
                peer.Drop();
            if (!config.answerLoad)
                return {};
            return {F({0x5F, 2})};
        case val_UPGRADE_REBOOT:
            if (config.dropOnReboot)
                peer.Drop();
            return {};
        default:
            return {};
        }
    };
}

// The upgrade requests the loader saw, as "SUB:payload length" words:
// "D26 D26 D8 S" for two full chunks, a short one and a sum.
std::string Trace(const std::vector<FrameBytes>& requests)
{
    std::string text;
    for (const auto& r : requests) {
        if (r.size() < 4 || r[2] != 0x5F)
            continue;
        if (!text.empty())
            text += ' ';
        switch (r[3]) {
        case val_UPGRADE_INIT: text += "I"; break;
        case val_UPGRADE_DATA: text += "D" + std::to_string(r[1] - 2); break;
        case val_UPGRADE_LOAD: text += "L"; break;
        case val_UPGRADE_PREPARE: text += "P"; break;
        case val_UPGRADE_SUM: text += "S"; break;
        case val_UPGRADE_WRITE: text += "W" + std::to_string(r.size() >= 6 ? r[4] << 8 | r[5] : -1); break;
        case val_UPGRADE_REBOOT: text += "R"; break;
        default: text += "?";
        }
    }
    return text;
}

class Upgrade : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_EQ(module.connectFromSpec(testsupport::LoopbackTcpSpec(peer.port())), aErrNone);
        ASSERT_EQ(module.getModuleAddress(), kAddress);
        entity.init(&module, 0, true, false);
    }

    void Script(const Loader& loader) { peer.OnRequest(LoaderScript(peer, loader)); }

    std::string Sent()
    {
        // Every exchange has been answered (or given up) before this is read.
        std::string trace = Trace(peer.Requests(0, 0));
        peer.ClearRequests();
        return trace;
    }

    ScriptedModule peer{kAddress};
    Module module{kAddress, 0};
    QuorvelEntity entity;
    CaptureDisplay display;
};

// ---------------------------------------------------------------------------
// QuorvelEntity

TEST_F(Upgrade, RequestsCarryTheSubCommandFlagsAddressAndPayloadBigEndian)
{
    Script(Loader{});
    ASSERT_EQ(entity.LoaderInit(), aErrNone);
    std::vector<uint8_t> block = Block(0x12345678, Bytes(30));
    uint16_t size = 0;
    ASSERT_EQ(entity.TransferPrepare(block.data(), static_cast<uint32_t>(block.size()), 5, &size), aErrNone);
    EXPECT_EQ(size, 256);
    ASSERT_EQ(entity.FirmwareWrite(0x1234), aErrNone);
    auto requests = peer.Requests(3);
    ASSERT_EQ(requests.size(), 3u);
    EXPECT_EQ(requests[0], F({0x5F, 0}));
    EXPECT_EQ(requests[1], F({0x5F, 3, 5, 0x12, 0x34, 0x56, 0x78}));
    EXPECT_EQ(requests[2], F({0x5F, 5, 0x12, 0x34}));
}

TEST_F(Upgrade, ALoaderPayloadGoesInChunksOf26ThenOneSum)
{
    Script(Loader{});
    std::vector<uint8_t> block = Block(0x20000000, Bytes(60));
    ASSERT_EQ(entity.LoaderTransfer(block.data(), static_cast<uint32_t>(block.size())), aErrNone);
    auto requests = peer.Requests(4);
    EXPECT_EQ(Trace(requests), "D26 D26 D8 S");
    // The payload goes in order and without the load address.
    std::vector<uint8_t> carried;
    for (const auto& r : requests)
        if (r[3] == val_UPGRADE_DATA)
            carried.insert(carried.end(), r.begin() + 4, r.end());
    EXPECT_EQ(carried, Bytes(60));
}

TEST_F(Upgrade, AFirmwareBlockGoesInGrantedPiecesEachSummedAndWritten)
{
    Script(Loader{});
    std::vector<uint8_t> block = Block(0x8000, Bytes(1000));
    ASSERT_EQ(entity.FirmwareTransfer(block.data(), static_cast<uint32_t>(block.size()), 256, display), aErrNone);
    std::string piece256 = "D26 D26 D26 D26 D26 D26 D26 D26 D26 D22 S W256";
    EXPECT_EQ(Sent(), piece256 + " " + piece256 + " " + piece256 + " D26 D26 D26 D26 D26 D26 D26 D26 D24 S W232");
    ASSERT_EQ(display.progress.size(), 4u);
    for (size_t i = 1; i < display.progress.size(); ++i)
        EXPECT_LT(display.progress[i - 1], display.progress[i]);
    EXPECT_EQ(display.progress.back(), 1.0);
    EXPECT_EQ(display.cleared, 1);
}

TEST_F(Upgrade, WithoutVerifySumNoSumIsAsked)
{
    Script(Loader{});
    entity.init(&module, 0, false, false);
    std::vector<uint8_t> block = Block(0x20000000, Bytes(30));
    ASSERT_EQ(entity.LoaderTransfer(block.data(), static_cast<uint32_t>(block.size())), aErrNone);
    EXPECT_EQ(Trace(peer.Requests(2)), "D26 D4");
}

TEST_F(Upgrade, AChunkWithAWrongCountIsSentAgainAtMostFiveTimes)
{
    std::vector<uint8_t> block = Block(0x20000000, Bytes(30));
    Loader twice;
    twice.wrongCounts = 2;
    Script(twice);
    EXPECT_EQ(entity.LoaderTransfer(block.data(), static_cast<uint32_t>(block.size())), aErrNone)
        << "the resent chunk counts, the sum is that of the payload once";
    EXPECT_EQ(Sent(), "D26 D26 D26 D4 S");

    Loader always;
    always.wrongCounts = 1000;
    Script(always);
    EXPECT_EQ(entity.LoaderTransfer(block.data(), static_cast<uint32_t>(block.size())), aErrPacket);
    EXPECT_EQ(Sent(), "D26 D26 D26 D26 D26 D26") << "the first send and five more, then no sum";
}

TEST_F(Upgrade, EachFailedExchangeAnswersItsCode)
{
    std::vector<uint8_t> block = Block(0x8000, Bytes(40));
    uint32_t length = static_cast<uint32_t>(block.size());
    auto init = [&] { return entity.LoaderInit(); };
    auto prepare = [&] {
        uint16_t size = 0;
        return entity.TransferPrepare(block.data(), length, 0, &size);
    };
    auto transfer = [&] { return entity.FirmwareTransfer(block.data(), length, 256, display); };
    struct Case {
        const char* what;
        std::function<void(Loader&)> setup;
        std::function<aErr()> run;
        aErr expected;
    } cases[] = {
        {"INIT reply of 5 bytes", [](Loader& l) { l.initReply = {0x5F, 0, 1, 2, 3}; }, init, aErrPacket},
        {"PREPARE status 1", [](Loader& l) { l.prepareStatus = 1; }, prepare, aErrInvalidOption},
        {"PREPARE grants 0", [](Loader& l) { l.grant = 0; }, prepare, aErrInvalidOption},
        {"PREPARE reply without size", [](Loader& l) { l.prepareReply = {0x5F, 7, 0, 1}; }, prepare,
         aErrInvalidOption},
        {"SUM differs", [](Loader& l) { l.sumOffset = 1; }, transfer, aErrInvalidOption},
        {"DATA unanswered", [](Loader& l) { l.answerData = false; }, transfer, aErrPacket},
        {"WRITE status 1", [](Loader& l) { l.writeStatus = 1; }, transfer, aErrInvalidOption},
        {"WRITE unanswered", [](Loader& l) { l.answerWrite = false; }, transfer, aErrInvalidOption},
    };
    for (const auto& c : cases) {
        Loader loader;
        c.setup(loader);
        Script(loader);
        EXPECT_EQ(c.run(), c.expected) << c.what;
    }
    block.resize(3);
    uint16_t size = 0;
    EXPECT_EQ(entity.TransferPrepare(block.data(), 3, 0, &size), aErrParam) << "no room for a load address";
    EXPECT_EQ(entity.FirmwareTransfer(block.data(), 3, 256, display), aErrParam);
    EXPECT_EQ(entity.LoaderTransfer(block.data(), 3), aErrParam);
}

TEST_F(Upgrade, ASumMismatchIsLoggedWhateverTheMaskAndNothingElseIs)
{
    std::vector<uint8_t> block = Block(0x8000, Bytes(40));
    {
        LogCapture log(0);
        Script(Loader{});
        ASSERT_EQ(entity.FirmwareTransfer(block.data(), static_cast<uint32_t>(block.size()), 256, display), aErrNone);
        EXPECT_EQ(log.text(), "") << "every other line is under DEBUG_Network_FIRM";
    }
    {
        LogCapture log(0);
        Loader loader;
        loader.sumOffset = 0x10;
        Script(loader);
        EXPECT_EQ(entity.FirmwareTransfer(block.data(), static_cast<uint32_t>(block.size()), 256, display),
                  aErrInvalidOption);
        uint32_t sum = 0;
        for (uint8_t b : Bytes(40))
            sum += b;
        char expected[128];
        snprintf(expected, sizeof expected, "\nNETWORK: Unable to validate transfer [00] [%08X != %08X].\n", sum,
                 sum + 0x10);
        EXPECT_EQ(log.text(), std::string(expected) + "NETWORK: Failed to transfer firmware\n");
    }
    {
        LogCapture log(DEBUG_Network_FIRM);
        Script(Loader{});
        ASSERT_EQ(entity.FirmwareTransfer(block.data(), static_cast<uint32_t>(block.size()), 256, display), aErrNone);
        EXPECT_TRUE(log.contains("NETWORK: Loader validated write\n\n"));
        EXPECT_TRUE(log.contains("NETWORK: Firmware Transfer (addr=00008000, len=40)\n"));
    }
}

TEST_F(Upgrade, AnUnconfirmedLoadReconnectsAndCountsAsATimeout)
{
    Loader answered;
    Script(answered);
    EXPECT_EQ(entity.LoaderStart(), aErrNone);
    EXPECT_EQ(Sent(), "L");

    Loader restarting;
    restarting.answerLoad = false;
    restarting.dropOnLoad = true;
    Script(restarting);
    EXPECT_EQ(entity.LoaderStart(), aErrTimeout) << "reconnected, but no confirmation came";
    EXPECT_TRUE(module.isConnected()) << "the link was made again";
    EXPECT_EQ(Sent(), "L") << "LOAD is not sent again";
}

// A TCP link stays kLinkRunning when the module closes its connection (the
// stream reconnects by itself); the closed connection still ends the wait,
// long before the limit.
TEST_F(Upgrade, AModuleThatClosesItsConnectionAfterRebootEndsTheWait)
{
    Loader rebooting;
    rebooting.dropOnReboot = true;
    Script(rebooting);
    ASSERT_EQ(entity.rebootWaitLimitMs, QuorvelEntity::REBOOT_WAIT_LIMIT_MS);
    EXPECT_EQ(entity.LoaderReboot(display), aErrNone);
    EXPECT_EQ(Sent(), "R");
    EXPECT_EQ(display.spinnerFrames, 1) << "ended within the first round";
}

// (A link that drops ends the wait at once: the update tests over the
// virtual USB bus show it. This module keeps its TCP connection, as a router
// does for a module behind it.)
TEST_F(Upgrade, ALinkThatStaysUpAfterRebootEndsTheWaitAtTheLimitOrAtOnceWhenNotWatched)
{
    Script(Loader{});
    entity.rebootWaitLimitMs = 600;
    EXPECT_EQ(entity.LoaderReboot(display), aErrTimeout);
    EXPECT_EQ(Sent(), "R");
    EXPECT_GE(display.spinnerFrames, 2) << "the spinner turns while it waits";
    EXPECT_TRUE(module.isConnected());

    CaptureDisplay routed;
    entity.init(&module, 0, true, true);
    EXPECT_EQ(entity.LoaderReboot(routed), aErrNone);
    EXPECT_EQ(routed.spinnerFrames, 1) << "one round only";
}

// ---------------------------------------------------------------------------
// The update's stages

class UpdateStages : public Upgrade {
protected:
    BirdFile Image(const birdwriter::Image& image)
    {
        std::string error;
        std::string path = dir.file("image.bird");
        EXPECT_TRUE(image.Write(path, &error)) << error;
        return BirdFile(path);
    }

    testsupport::TempDir dir;
};

birdwriter::Image TwoFirmwareBlocks()
{
    birdwriter::Image image;
    image.Loader(0x20000000, Bytes(60))
        .Firmware(0x8000, Bytes(300))
        .Firmware(0x9000, Bytes(100))
        .Info(7, "2.17.0", kSerial, "Cindrel");
    return image;
}

TEST_F(UpdateStages, TheImageMustFitTheConnectedModule)
{
    Script(Loader{});
    struct Case {
        const char* what;
        birdwriter::Image image;
        bool valid;
        const char* error;
    } cases[] = {
        {"made for this module", TwoFirmwareBlocks(), true, nullptr},
        {"generic", birdwriter::Image().Firmware(0x8000, Bytes(8)).SerialOffsets(0x8000, 0).Info(7, "v", 0, "Cindrel"),
         true, nullptr},
        {"model name longer than the module's", birdwriter::Image().Firmware(0x8000, Bytes(8)).Info(7, "v", kSerial, "Cind"),
         false, "Connected device model and Bird file model do not match [Cindrel] (0)"},
        {"another model", birdwriter::Image().Firmware(0x8000, Bytes(8)).Info(7, "v", kSerial, "Avolin"), false,
         "Connected device model and Bird file model do not match [Cindrel] (0)"},
        {"another serial number", birdwriter::Image().Firmware(0x8000, Bytes(8)).Info(7, "v", 0x1234, "Cindrel"),
         false, nullptr},
        {"no blocks", birdwriter::Image(), false, nullptr},
    };
    for (auto& c : cases) {
        CaptureDisplay shown;
        BirdFile image = Image(c.image);
        EXPECT_EQ(_validate_birdfile(shown, image, module, kSerial), c.valid) << c.what;
        EXPECT_EQ(shown.errors, c.error ? std::vector<std::string>{c.error} : std::vector<std::string>{}) << c.what;
    }

    Loader other;
    other.serial = 0x1234;
    Script(other);
    BirdFile generic = Image(birdwriter::Image().Firmware(0x8000, Bytes(8)).SerialOffsets(0x8000, 0).Info(7, "v", 0, "Cindrel"));
    EXPECT_FALSE(_validate_birdfile(display, generic, module, kSerial)) << "the module answers another serial number";
}

TEST_F(UpdateStages, TheLoaderIsPreparedSentAndStarted)
{
    Loader loader;
    loader.answerPrepare = false;   // normal firmware need not answer PREPARE for a loader
    Script(loader);
    BirdFile image = Image(TwoFirmwareBlocks());
    EXPECT_EQ(_transfer_loader(display, module, image), aErrNone);
    EXPECT_EQ(Sent(), "I P D26 D26 D8 S L");
    EXPECT_EQ(display.info, (std::vector<std::string>{"Transferring loader to device",
                                                      "Transferring loader block 1 of 1, 64 bytes",
                                                      "Transferred 1 blocks, 64 total bytes",
                                                      "Starting Load on Device"}));
}

TEST_F(UpdateStages, ALoaderWithABlockThatFailedIsNotStarted)
{
    Loader loader;
    loader.answerData = false;
    Script(loader);
    BirdFile image = Image(birdwriter::Image().Loader(0x20000000, Bytes(10)).Loader(0x20001000, Bytes(10)));
    EXPECT_EQ(_transfer_loader(display, module, image), aErrPacket);
    EXPECT_EQ(Sent(), "I P D10");
}

TEST_F(UpdateStages, AFirmwareBlockIsTriedFiveTimesThenTheUpdateStops)
{
    Loader twice;
    twice.failingSums = 2;
    twice.dropOnReboot = true;
    Script(twice);
    BirdFile image = Image(TwoFirmwareBlocks());
    EXPECT_EQ(_transfer_firmware(display, module, image, false), aErrNone);
    EXPECT_EQ(display.info, (std::vector<std::string>{"Transferring firmware block 1 of 2, 304 bytes",
                                                      "Transferring firmware block 1 of 2, 304 bytes",
                                                      "  Retry 1",
                                                      "Transferring firmware block 1 of 2, 304 bytes",
                                                      "  Retry 2",
                                                      "Transferring firmware block 2 of 2, 104 bytes",
                                                      "Transferred 2 blocks, 408 total bytes"}));
    std::string sent = Sent();
    EXPECT_EQ(sent.substr(0, 2), "P ");
    EXPECT_EQ(sent.substr(sent.size() - 2), " R") << "rebooted; a TCP/IP link is not watched for the drop";
}

TEST_F(UpdateStages, FiveFailuresOrAFailedPrepareEndTheFirmwareStageWithoutReboot)
{
    BirdFile image = Image(TwoFirmwareBlocks());
    Loader always;
    always.failingSums = 1000;
    Script(always);
    EXPECT_EQ(_transfer_firmware(display, module, image, false), aErrInvalidOption);
    std::string sent = Sent();
    EXPECT_EQ(std::count(sent.begin(), sent.end(), 'P'), FIRMWARE_BLOCK_TRIES);
    EXPECT_EQ(sent.find('R'), std::string::npos);
    EXPECT_EQ(display.info.back(), "Transferred 0 blocks, 0 total bytes");

    Loader refusing;
    refusing.prepareStatus = 1;
    Script(refusing);
    EXPECT_EQ(_transfer_firmware(display, module, image, false), aErrInvalidOption);
    EXPECT_EQ(Sent(), "P") << "a refused PREPARE is not retried";
}

}  // namespace
