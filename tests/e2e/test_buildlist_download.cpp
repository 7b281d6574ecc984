// Quorvel -B and -G against the update server program on 127.0.0.1: the
// printed lines, exit statuses, store files and the requests the server saw.
#include <gtest/gtest.h>

#include <filesystem>
#include <regex>
#include <string>
#include <vector>

#include "UpdateServerProcess.h"
#include "testsupport.h"

namespace {

using testsupport::ProcResult;
using testsupport::ReadFile;
using testsupport::SplitLines;
using testsupport::TempDir;
using testsupport::UpdateServerProcess;

const char* const VERSION_LINE = "Quorvel (Version: 2.10.6 Mar 15 2024)";

// Image bytes are stored as they come, so any bytes do; these hold every value.
std::string ImageBytes(int seed)
{
    std::string bytes = "bird\x01\x01";
    for (int i = 0; i < 600; ++i)
        bytes += static_cast<char>((i * 7 + seed) & 0xFF);
    return bytes;
}

// The text with "%s" replaced by the server's URL.
std::string WithUrl(std::string text, const std::string& url)
{
    size_t at = text.find("%s");
    return at == std::string::npos ? text : text.replace(at, 2, url);
}

bool Exists(const std::string& path)
{
    return std::filesystem::exists(path);
}

// The operations a server answered, in order, from its request log.
std::vector<std::string> Operations(const UpdateServerProcess& server)
{
    std::vector<std::string> ops;
    std::regex line("\" \\d+ (\\S+) ");
    for (const std::string& entry : SplitLines(server.log())) {
        std::smatch m;
        if (std::regex_search(entry, m, line))
            ops.push_back(m[1]);
    }
    return ops;
}

// Device 40F5849A has builds 99, 100 and 125 (current: the highest).
class BuildListDownload : public ::testing::Test {
protected:
    void SetUp() override
    {
        Put("40F5849A/99.bird", ImageBytes(99));
        Put("40F5849A/99.version", "1.9.4\n");
        Put("40F5849A/100.bird", ImageBytes(100));
        Put("40F5849A/100.version", "10.0.0\n");
        Put("40F5849A/125.bird", ImageBytes(125));
        Put("40F5849A/125.version", "2.1.0\n");
    }
    void Put(const std::string& name, const std::string& content)
    {
        std::filesystem::create_directories(std::filesystem::path(tree.file(name)).parent_path());
        testsupport::WriteFile(tree.file(name), content);
    }
    ProcResult Run(const std::string& url, std::vector<std::string> args, testsupport::RunOptions options = {})
    {
        args.insert(args.end(), {"-u", url, "-i", home.path()});
        return testsupport::RunQuorvel(args, options);
    }
    std::string Stored(const std::string& name) const { return home.file("quorvel/" + name); }
    std::string Settings(const std::string& serial) const { return ReadFile(Stored(serial + "/.settings")); }

    TempDir tree;
    TempDir home;
};

TEST_F(BuildListDownload, BuildListIsPrintedInVersionTextOrder)
{
    UpdateServerProcess server(tree.path());
    ProcResult r = Run(server.url(), {"-B", "-d", "40F5849A"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.err, "");
    // Byte-wise text order: "1.9.4" < "10.0.0" < "2.1.0".
    std::vector<std::string> expected = {
        VERSION_LINE,
        "Build List for device [40F5849A]:",
        "",
        "Build          \tVersion        ",
        "99             \t1.9.4          ",
        "100            \t10.0.0         ",
        "125            \t2.1.0          ",
    };
    EXPECT_EQ(SplitLines(r.out), expected);
    EXPECT_EQ(Operations(server), (std::vector<std::string>{"hi", "builds"}));
}

TEST_F(BuildListDownload, BuildListFailuresPrintNoBuildsAndSucceed)
{
    struct Case { std::vector<std::string> serverArgs; const char* serial; const char* error; const char* shown; };
    const Case cases[] = {
        {{}, "ABCD", "Failed to retrieve builds for 0000ABCD\n", "0000ABCD"},
        {{"--status", "builds=500"}, "40F5849A", "Failed to retrieve builds for 40F5849A\n", "40F5849A"},
        {{"--status", "hi=503"}, "40F5849A", "Server request failed for %s\n", "40F5849A"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.error);
        UpdateServerProcess server(tree.path(), c.serverArgs);
        ProcResult r = Run(server.url(), {"-B", "-d", c.serial});
        EXPECT_EQ(r.status, 0);
        EXPECT_EQ(r.err, WithUrl(c.error, server.url()));
        EXPECT_EQ(SplitLines(r.out),
                  (std::vector<std::string>{VERSION_LINE, std::string("No builds found for device [") + c.shown + "]"}));
    }
    std::string down = "http://127.0.0.1:" + std::to_string(testsupport::UnusedPort()) + "/cgi/u";
    ProcResult r = Run(down, {"-B", "-d", "40F5849A"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.err, "Server request failed for " + down + "\n");
}

TEST_F(BuildListDownload, GetDownloadsTheCurrentBuildIntoTheStore)
{
    UpdateServerProcess server(tree.path());
    ProcResult r = Run(server.url(), {"-G", "-d", "40F5849A"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.err, "");
    std::vector<std::string> expected = {
        VERSION_LINE,
        "Retrieving firmware for device with serial number 40F5849A",
        "No build specified",
        "Using Latest build",
        "Retrieving build 125",
        "Validating build 125 with server",
        "Build 125 is valid",
    };
    EXPECT_EQ(SplitLines(r.out), expected);
    EXPECT_EQ(Operations(server), (std::vector<std::string>{"hi", "qu", "builds", "bird"}));
    EXPECT_EQ(ReadFile(Stored("40F5849A/125.bird")), ImageBytes(125));

    std::string settings = Settings("40F5849A");
    EXPECT_NE(settings.find("\nLATEST_DOWNLOAD=125.bird\n"), std::string::npos) << settings;
    std::smatch date;
    ASSERT_TRUE(std::regex_search(settings, date, std::regex("\nLAST_DOWNLOAD_DATE=(.*)\n"))) << settings;
    // ctime's layout: "Fri Mar 15 09:05:01 2024", day padded with a space.
    EXPECT_TRUE(std::regex_match(date[1].str(),
                                 std::regex("(Sun|Mon|Tue|Wed|Thu|Fri|Sat) [A-Z][a-z]{2} [ 123]\\d "
                                            "\\d\\d:\\d\\d:\\d\\d \\d{4}")))
        << date[1];
    EXPECT_NE(settings.find("CREATED_TIME="), std::string::npos);
}

TEST_F(BuildListDownload, GetWithBuildKeepsEarlierDownloads)
{
    Put("40F5849A/current", "100\n");
    UpdateServerProcess server(tree.path());
    ASSERT_EQ(Run(server.url(), {"-G", "-d", "40F5849A"}).status, 0);
    ProcResult r = Run(server.url(), {"-G", "-d", "40F5849A", "-b", "99"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.err, "");
    std::vector<std::string> lines = SplitLines(r.out);
    ASSERT_GE(lines.size(), 3u);
    EXPECT_EQ(lines[2], "Retrieving firmware build 99");
    EXPECT_EQ(lines.back(), "Build 99 is valid");
    EXPECT_EQ(ReadFile(Stored("40F5849A/100.bird")), ImageBytes(100));
    EXPECT_EQ(ReadFile(Stored("40F5849A/99.bird")), ImageBytes(99));
    EXPECT_FALSE(Exists(Stored("40F5849A/125.bird")));
    EXPECT_NE(Settings("40F5849A").find("\nLATEST_DOWNLOAD=99.bird\n"), std::string::npos);
}

TEST_F(BuildListDownload, BuildNotOnTheListFailsUnlessOverridden)
{
    UpdateServerProcess server(tree.path());
    ProcResult r = Run(server.url(), {"-G", "-d", "40F5849A", "-b", "98"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "No valid build 98\n");
    EXPECT_EQ(SplitLines(r.out).back(), "Validating build 98 with server");
    EXPECT_EQ(Operations(server), (std::vector<std::string>{"hi", "qu", "builds"}));

    // With the check skipped, the server is asked for the image and has none.
    r = Run(server.url(), {"-G", "-d", "40F5849A", "-b", "98", "-OVERRIDE"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "Download failed\nFailed to retrieve a valid BIRD file\n");
    EXPECT_EQ(SplitLines(r.out).back(), "Override specified, skipping validation of build 98");
    EXPECT_FALSE(Exists(Stored("40F5849A/98.bird")));
}

TEST_F(BuildListDownload, OverrideDownloadsWhenTheBuildListIsUnavailable)
{
    UpdateServerProcess server(tree.path(), {"--status", "builds=500"});
    ProcResult r = Run(server.url(), {"-G", "-d", "40F5849A", "-b", "100"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "No valid build 100\n");
    r = Run(server.url(), {"-G", "-d", "40F5849A", "-b", "100", "-OV"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(ReadFile(Stored("40F5849A/100.bird")), ImageBytes(100));
}

TEST_F(BuildListDownload, GetFailures)
{
    struct Case {
        std::vector<std::string> serverArgs;
        std::vector<std::string> args;
        const char* error;
        const char* lastLine;
    };
    const Case cases[] = {
        {{}, {"-d", "ABCD"}, "No build information for device\n", "Using Latest build"},
        {{"--status", "qu=500"}, {"-d", "40F5849A", "-b", "125"}, "No build information for device\n",
         "Retrieving firmware build 125"},
        {{"--status", "bird=500"}, {"-d", "40F5849A"}, "Download failed\nFailed to retrieve a valid BIRD file\n",
         "Build 125 is valid"},
        {{"--status", "hi=500"}, {"-d", "40F5849A"}, "Server request failed for %s\n", "Using Latest build"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.error);
        TempDir store;
        UpdateServerProcess server(tree.path(), c.serverArgs);
        std::vector<std::string> args = {"-G", "-u", server.url(), "-i", store.path()};
        args.insert(args.end(), c.args.begin(), c.args.end());
        ProcResult r = testsupport::RunQuorvel(args);
        EXPECT_EQ(r.status, 1);
        EXPECT_EQ(r.err, WithUrl(c.error, server.url()));
        EXPECT_EQ(SplitLines(r.out).back(), c.lastLine);
        EXPECT_FALSE(Exists(store.file("quorvel/40F5849A/125.bird")));
    }
    // Server down: nothing is created in the store.
    std::string down = "http://127.0.0.1:" + std::to_string(testsupport::UnusedPort()) + "/cgi/u";
    ProcResult r = Run(down, {"-G", "-d", "40F5849A"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "Server request failed for " + down + "\n");
    EXPECT_FALSE(Exists(Stored("40F5849A")));
}

TEST_F(BuildListDownload, InvalidBase64StoresNothingAndFails)
{
    UpdateServerProcess server(tree.path(), {"--bad-base64"});
    ProcResult r = Run(server.url(), {"-G", "-d", "40F5849A"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "The BIRD file from the server is not valid Base64\n");
    EXPECT_EQ(SplitLines(r.out).back(), "Build 125 is valid");
    EXPECT_FALSE(Exists(Stored("40F5849A/125.bird")));
    EXPECT_EQ(Settings("40F5849A").find("LATEST_DOWNLOAD"), std::string::npos);
}

TEST_F(BuildListDownload, RepliesWithOkayAndCarriageReturns)
{
    // "okay" passes the status test; CR LF lines still give build 125 and
    // clean build list fields, but an image line with a CR is not Base64.
    UpdateServerProcess server(tree.path(), {"--okay", "--crlf"});
    ProcResult r = Run(server.url(), {"-B", "-d", "40F5849A"});
    EXPECT_EQ(r.status, 0);
    EXPECT_NE(r.out.find("\n125            \t2.1.0          \n"), std::string::npos) << r.out;
    r = Run(server.url(), {"-G", "-d", "40F5849A"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "The BIRD file from the server is not valid Base64\n");
    EXPECT_FALSE(Exists(Stored("40F5849A/125.bird")));
}

TEST_F(BuildListDownload, SpinnerTurnsOnlyOnATerminal)
{
    UpdateServerProcess server(tree.path(), {"--delay", "bird=600"});
    testsupport::RunOptions onPty;
    onPty.onPty = true;
    ProcResult r = Run(server.url(), {"-G", "-d", "40F5849A"}, onPty);
    EXPECT_EQ(r.status, 0);
    const std::string clear = "\r" + std::string(88, ' ') + "\r";
    size_t at = 0;
    for (const char* frame : {".", "..", "...", "....", "....."}) {
        at = r.out.find(std::string("\r (Downloading) ") + frame + "      \r", at);
        ASSERT_NE(at, std::string::npos) << frame << "\n" << r.out;
    }
    EXPECT_NE(r.out.find(clear, at), std::string::npos);
    EXPECT_EQ(ReadFile(Stored("40F5849A/125.bird")), ImageBytes(125));

    r = Run(server.url(), {"-G", "-d", "40F5849A"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out.find('\r'), std::string::npos);
}

TEST_F(BuildListDownload, DebugLogShowsTheRequests)
{
    UpdateServerProcess server(tree.path());
    ProcResult r = Run(server.url(), {"-B", "-d", "40F5849A", "-X", "0x20"});
    EXPECT_EQ(r.status, 0);
    EXPECT_NE(r.err.find("GET(" + server.url() + "?op=hi&rv=2&)\n"), std::string::npos) << r.err;
    EXPECT_NE(r.err.find("GET(" + server.url() + "?op=builds&sn=40F5849A&)\n"), std::string::npos);
    EXPECT_NE(r.err.find("GetBuildList [125][2.1.0]\n"), std::string::npos);
}

TEST_F(BuildListDownload, GetThenUpdateHandsTheBuildOn)
{
    UpdateServerProcess server(tree.path());
    ProcResult r = Run(server.url(), {"-G", "-U", "-d", "40F5849A", "-b", "99"});
    EXPECT_EQ(ReadFile(Stored("40F5849A/99.bird")), ImageBytes(99));
    EXPECT_NE(r.out.find("Build 99 is valid\n"), std::string::npos);
    // No module is connected, so the update cannot succeed; it must work
    // on the build just downloaded, or say it is not available yet.
    EXPECT_EQ(r.status, 1);
    EXPECT_TRUE(r.out.find("Updating firmware with build: 99\n") != std::string::npos ||
                r.err.find("Firmware update is not available") != std::string::npos)
        << r.out << r.err;
}

TEST_F(BuildListDownload, DefaultServerAddressReachesTheServerWithItsDefaults)
{
    // In a private network namespace the default port is free for certain.
    std::string script =
        "mkfifo \"$HOME_DIR/started\"\n"
        "\"$SERVER\" --root \"$TREE\" > \"$HOME_DIR/started\" 2>/dev/null &\n"
        "read line < \"$HOME_DIR/started\"\n"
        "\"$QUORVEL\" -B -d 40F5849A -i \"$HOME_DIR\"\n"
        "rc=$?\n"
        "kill $!\n"
        "exit $rc\n";
    testsupport::RunOptions options;
    options.env = {"SERVER=" QUORVEL_UPDATESERVER_BIN, "QUORVEL=" QUORVEL_BIN, "TREE=" + tree.path(),
                   "HOME_DIR=" + home.path()};
    ProcResult r = testsupport::Run(
        {std::string(QUORVEL_SOURCE_DIR) + "/tools/netns/run-in-netns", "--", "/bin/sh", "-c", script}, options);
    if (r.status == 77)
        GTEST_SKIP() << r.err;
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.err, "");
    EXPECT_NE(r.out.find("125            \t2.1.0          \n"), std::string::npos) << r.out;
}

}  // namespace
