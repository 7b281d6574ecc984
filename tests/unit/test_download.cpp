// The engine's downloads against the update server program: the worker
// thread and spinner, the fingerprint form, load_bird, and argument errors.
// quorvel-test: threaded
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <stdexcept>
#include <string>
#include <vector>

#include "BirdFile.h"
#include "BirdWriter.h"
#include "CaptureDisplay.h"
#include "LogCapture.h"
#include "Quorvel.h"
#include "UpdateServerProcess.h"
#include "testsupport.h"

namespace {

using testsupport::TempDir;
using testsupport::UpdateServerProcess;

const uint32_t SERIAL = 0x40F5849A;

std::string Image(uint32_t build, const std::string& version)
{
    birdwriter::Bytes file = birdwriter::Image()
                                 .Info(build, version, 0, "Avolin")
                                 .Firmware(0x1000, birdwriter::Pattern(256, build))
                                 .File();
    return std::string(file.begin(), file.end());
}

// Device 40F5849A with builds 99 and 125; DEADDEAD with recovery build 3;
// one listed fingerprint.
class Download : public ::testing::Test {
protected:
    void SetUp() override
    {
        Put("40F5849A/99.bird", Image(99, "1.9.4"));
        Put("40F5849A/125.bird", Image(125, "2.1.0"));
        Put("DEADDEAD/3.bird", Image(3, "0.0.3"));
        Put("fingerprints", "0A1B2C3D 1 2 3  40F5849A 99\n");
    }
    void Put(const std::string& name, const std::string& content)
    {
        std::filesystem::create_directories(std::filesystem::path(tree.file(name)).parent_path());
        testsupport::WriteFile(tree.file(name), content);
    }
    std::string Stored(const std::string& name) const { return store.file(name); }

    TempDir tree;
    TempDir store;
    CaptureDisplay display;
};

double Milliseconds(std::chrono::steady_clock::duration d)
{
    return std::chrono::duration<double, std::milli>(d).count();
}

TEST_F(Download, SpinnerAdvancesInHundredMillisecondStepsWhileTheWorkerFetches)
{
    UpdateServerProcess server(tree.path(), {"--delay", "bird=700"});
    Quorvel engine(server.url(), store.path(), display);
    auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(engine.Download_Firmware(SERIAL, "", false, false), 125u);
    double elapsed = Milliseconds(std::chrono::steady_clock::now() - start);
    // One frame at once, then one per 100 ms wait that ended without the result.
    EXPECT_GE(display.spinnerFrames, 4);
    EXPECT_LE(display.spinnerFrames, 1 + static_cast<int>(elapsed / 100));
    EXPECT_EQ(display.cleared, 1);
    EXPECT_TRUE(display.errors.empty());
    EXPECT_EQ(testsupport::ReadFile(Stored("40F5849A/125.bird")), Image(125, "2.1.0"));
}

TEST_F(Download, ArgumentErrors)
{
    UpdateServerProcess server(tree.path());
    Quorvel engine(server.url(), store.path(), display);
    EXPECT_EQ(engine.Download_Firmware(SERIAL, "abc", false, false), 0u);
    EXPECT_EQ(engine.Download_Firmware(SERIAL, "99999999999", false, false), 0u);
    EXPECT_EQ(engine.Download_Firmware(0, "", false, false), 0u);
    EXPECT_EQ(display.errors, (std::vector<std::string>{"Build number 'abc' must be an number",
                                                        "Build number '99999999999' must be an number",
                                                        "Serial Number must be non-zero"}));
    EXPECT_TRUE(server.log().empty()) << server.log();
}

TEST_F(Download, FingerprintFormUsesTheRecoveryInformation)
{
    UpdateServerProcess server(tree.path());
    Quorvel engine(server.url(), store.path(), display);
    // Listed: the device and its recovery build 99.
    EXPECT_EQ(engine.Download_Firmware(Fingerprint{{0x0A1B2C3D, 1, 2, 3}}, "", false), 99u);
    EXPECT_TRUE(std::filesystem::exists(Stored("40F5849A/99.bird")));
    // A build given wins over the recovery build.
    EXPECT_EQ(engine.Download_Firmware(Fingerprint{{0x0A1B2C3D, 1, 2, 3}}, "125", false), 125u);
    // Not listed: the default recovery image.
    EXPECT_EQ(engine.Download_Firmware(Fingerprint{{9, 9, 9, 9}}, "0", false), 3u);
    EXPECT_TRUE(std::filesystem::exists(Stored("DEADDEAD/3.bird")));
    EXPECT_TRUE(display.errors.empty());

    UpdateServerProcess failing(tree.path(), {"--status", "fix=500"});
    Quorvel other(failing.url(), store.path(), display);
    EXPECT_EQ(other.Download_Firmware(Fingerprint{{0x0A1B2C3D, 1, 2, 3}}, "", false), 0u);
    EXPECT_EQ(display.errors,
              std::vector<std::string>{"Failed to retrieve recovery information from Veltrane update server"});
}

TEST_F(Download, AnImageThatCannotBeStoredFailsTheDownloadAndIsNotRecorded)
{
    UpdateServerProcess server(tree.path());
    Quorvel engine(server.url(), store.path(), display);
    // A directory where the image should go: the write cannot replace it.
    std::filesystem::create_directories(Stored("40F5849A/125.bird"));
    EXPECT_EQ(engine.Download_Firmware(SERIAL, "", false, false), 0u);
    ASSERT_EQ(display.errors.size(), 1u);
    EXPECT_EQ(display.errors[0].rfind("Failed to write file with ", 0), 0u) << display.errors[0];
    EXPECT_EQ(testsupport::ReadFile(Stored("40F5849A/.settings")).find("LATEST_DOWNLOAD"), std::string::npos);
}

TEST_F(Download, CarriageReturnsInRepliesStillGiveNumbers)
{
    Put("40F5849A/99.version", "1.9.4\n");
    UpdateServerProcess server(tree.path(), {"--crlf"});
    Quorvel engine(server.url(), store.path(), display);
    LogCapture log(DEBUG_Quorvel);
    // "125\r" from the query reply reads as 125; the image line keeps its CR
    // and so is not Base64, which fails the download without storing anything.
    EXPECT_EQ(engine.Download_Firmware(SERIAL, "", false, false), 0u);
    EXPECT_FALSE(log.contains("Could not convert"));
    EXPECT_NE(std::find(display.info.begin(), display.info.end(), "Retrieving build 125"), display.info.end());
    EXPECT_EQ(display.errors, std::vector<std::string>{"The BIRD file from the server is not valid Base64"});
    EXPECT_FALSE(std::filesystem::exists(Stored("40F5849A/125.bird")));
    EXPECT_EQ(engine.Get_BuildList(SERIAL), (BuildMap{{"125", "unknown"}, {"99", "1.9.4"}}));
}

TEST_F(Download, LoadBirdFromAFileFromTheStoreOrDownloaded)
{
    std::string path = tree.file("40F5849A/99.bird");
    std::string unreachable = "http://127.0.0.1:" + std::to_string(testsupport::UnusedPort()) + "/cgi/u";
    Quorvel offline(unreachable, store.path(), display);

    BirdFile fromFile = offline.load_bird("Updating", path, SERIAL, 0, false);
    EXPECT_EQ(fromFile.GetBuild(), 99u);
    EXPECT_THROW(offline.load_bird("Updating", tree.file("absent.bird"), SERIAL, 0, false), std::runtime_error);

    try {
        offline.load_bird("Updating", "", SERIAL, 125, false);
        ADD_FAILURE() << "no exception";
    } catch (const std::runtime_error& e) {
        EXPECT_STREQ(e.what(), "Error reading birdfile");
    }

    UpdateServerProcess server(tree.path());
    Quorvel online(server.url(), store.path(), display);
    BirdFile downloaded = online.load_bird("Recovering", "", SERIAL, 125, true);
    EXPECT_EQ(downloaded.GetBuild(), 125u);
    EXPECT_EQ(downloaded.GetVersion(), "2.1.0");

    // Already in the store: no server needed.
    BirdFile stored = offline.load_bird("Updating", "", SERIAL, 125, false);
    EXPECT_EQ(stored.GetBuild(), 125u);
    EXPECT_EQ(display.info, (std::vector<std::string>{
                                "Updating from Birdfile: " + path,
                                "Updating from Birdfile: " + tree.file("absent.bird"),
                                "Updating firmware with build: 125",
                                "Recovering firmware with build: 125",
                                "Downloading firmware build 125",
                                "Retrieving build 125",
                                "Validating build 125 with server",
                                "Build 125 is valid",
                                "Updating firmware with build: 125",
                            }));

    // Missing, and the download fails: the read error reaches the caller.
    EXPECT_THROW(offline.load_bird("Recovering", "", SERIAL, 99, true), std::runtime_error);
}

}  // namespace
