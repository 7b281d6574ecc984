// The real binary's front end: version line, usage blocks, parse errors,
// missing-argument cases, storage directory and exit statuses.

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <string>
#include <vector>

#include "NetnsRun.h"
#include "testsupport.h"

using testsupport::RunQuorvel;
using testsupport::SplitLines;

namespace {

const char* const VERSION_LINE = "Quorvel (Version: 2.10.6 Mar 15 2024)";

std::string Golden(const char* name)
{
    return testsupport::ReadFile(std::string(QUORVEL_SOURCE_DIR) + "/tests/e2e/golden/" + name);
}

bool Contains(const std::string& haystack, const std::string& needle)
{
    return haystack.find(needle) != std::string::npos;
}

TEST(FrontEnd, NoArgumentsShowsVersionCopyrightAndShortUsage)
{
    auto r = RunQuorvel({});
    EXPECT_EQ(0, r.status);
    auto out = SplitLines(r.out);
    ASSERT_EQ(2u, out.size());
    EXPECT_EQ(VERSION_LINE, out[0]);
    EXPECT_EQ(Golden("usage_short.txt"), r.err);
}

TEST(FrontEnd, HelpBlocks)
{
    struct Case {
        std::vector<std::string> args;
        const char* golden;
    };
    for (const Case& c : std::vector<Case>{
             {{"-h"}, "usage_help.txt"},
             {{"--help"}, "usage_help.txt"},
             {{"-H", "-X", "0x1"}, "usage_help.txt"},  // parsing stopped at -H
             {{"-X", "0x1", "-h"}, "usage_extended.txt"},
         }) {
        auto r = RunQuorvel(c.args);
        EXPECT_EQ(0, r.status) << c.args[0];
        EXPECT_EQ(Golden(c.golden), r.err) << c.args[0];
        EXPECT_EQ(VERSION_LINE, SplitLines(r.out).at(0));
    }
}

TEST(FrontEnd, ParseErrorsShowVersionAndShortUsageAndFail)
{
    struct Case {
        std::vector<std::string> args;
        std::string error;
    };
    for (const Case& c : std::vector<Case>{
             {{"-Y"}, "Unhandled command: [-Y]\n"},
             {{"-D", "-d", "xyz"}, "Invalid serial number obtained from argument [xyz]\n"},
             {{"-D", "-d=0"}, "Invalid serial number obtained from argument [0]\n"},
             {{"-D", "-r", "0x"}, "Invalid router serial number obtained from argument []\n"},
             {{"-D", "-t", "tcpip"}, "Invalid transport type:[tcpip]\nMust be one of the following: USB, TCPIP, RECOVER\n"},
         }) {
        auto r = RunQuorvel(c.args);
        EXPECT_EQ(1, r.status) << c.args.back();
        EXPECT_EQ(c.error + Golden("usage_short.txt"), r.err) << c.args.back();
        auto out = SplitLines(r.out);
        ASSERT_EQ(2u, out.size());
        EXPECT_EQ(VERSION_LINE, out[0]);
    }
}

TEST(FrontEnd, MissingArgumentsOfCommands)
{
    testsupport::TempDir dir;
    struct Case {
        std::vector<std::string> args;
        std::string err;
    };
    for (const Case& c : std::vector<Case>{
             {{"-N"}, "Must specify the serial port used for connecting\n"},
             {{"-G"}, "-G must specify a specific device via -d\n--help for usage information\n"},
             {{"-G", "-U", "-d", "-x"}, "-G must specify a specific device via -d\n--help for usage information\n"},
             {{"-U"}, "Must specify the specific device to be updated\n"},
             {{"-B"}, "Error must supply a serial number for the List Builds command\n" + Golden("usage_short.txt")},
             {{"-C"}, "-C must name the firmware file to check with -f\n"},
         }) {
        auto args = c.args;
        args.insert(args.end(), {"-i", dir.path()});
        auto r = RunQuorvel(args);
        EXPECT_EQ(1, r.status) << c.args[0];
        EXPECT_EQ(c.err, r.err) << c.args[0];
        EXPECT_EQ(std::string(VERSION_LINE) + "\n", r.out) << c.args[0];
    }
}

TEST(FrontEnd, InfoAloneCreatesTheStorageDirectoryAndSucceeds)
{
    testsupport::TempDir dir;
    auto r = RunQuorvel({"-I", "-i", dir.file("nested/store")});
    EXPECT_EQ(0, r.status);
    EXPECT_EQ(std::string(VERSION_LINE) + "\n", r.out);
    EXPECT_EQ("", r.err);
    struct stat st;
    ASSERT_EQ(0, stat(dir.file("nested/store/quorvel").c_str(), &st));
    EXPECT_TRUE(S_ISDIR(st.st_mode));
    EXPECT_EQ(0755u, st.st_mode & 0777);
}

TEST(FrontEnd, MalformedDebugMaskIsReportedAndTheRunGoesOn)
{
    testsupport::TempDir dir;
    auto r = RunQuorvel({"-X", "12abc", "-I", "-i", dir.path()});
    EXPECT_EQ(0, r.status);
    EXPECT_EQ("Invalid format for \"-X\" parameter, unprocessed characters [abc]\n", r.err);
}

TEST(FrontEnd, StorageDirectoryThatCannotBeCreated)
{
    testsupport::TempDir dir;
    testsupport::WriteFile(dir.file("plainfile"), "x");
    auto r = RunQuorvel({"-I", "-i", dir.file("plainfile")});
    EXPECT_EQ(1, r.status);
    EXPECT_EQ("Could not find quorvel directory at " + dir.file("plainfile/quorvel") + "\n", r.err);
}

TEST(FrontEnd, OnlyTheFirstOfDiscoverUpdateBuildListRuns)
{
    testsupport::TempDir dir;
    auto r = RunQuorvel({"-B", "-U", "-D", "-d", "1234", "-i", dir.path()});
    EXPECT_TRUE(Contains(r.out, "Searching for Lumastrix devices\n"));
    EXPECT_TRUE(Contains(r.out, "Discovered Devices: (USB)\n"));
    EXPECT_FALSE(Contains(r.err, "update"));
    EXPECT_FALSE(Contains(r.out, "Build"));

    // Without a transport the router is looked up over USB and then TCP/IP,
    // which sends multicast: only inside a private network namespace.
    auto router = testsupport::RunInNamespace(
        "", {QUORVEL_BIN, "-D", "-r", "D272031D", "-t", "RECOVER", "-i", dir.path()});
    if (router.status == testsupport::kNamespacesUnavailable)
        GTEST_SKIP() << SplitLines(router.err).at(0);
    EXPECT_TRUE(Contains(router.out, "Searching for Lumastrix Network devices connected to D272031D\n"));
    EXPECT_TRUE(Contains(router.out, "Discovered Devices: (Unknown)\n"));
}

TEST(FrontEnd, GetAnnouncesTheBuildBeforeDownloading)
{
    testsupport::TempDir dir;
    auto latest = RunQuorvel({"-G", "-d", "0x40F5849A", "-i", dir.path(), "-u", "127.0.0.1:9/cgi/u"});
    EXPECT_EQ(1, latest.status);
    EXPECT_TRUE(Contains(latest.out, "Retrieving firmware for device with serial number 40F5849A\n"
                                     "No build specified\nUsing Latest build\n"));
    auto chosen = RunQuorvel({"-G", "-d", "40F5849A", "-b", "99528558", "-i", dir.path(), "-u", "127.0.0.1:9/cgi/u"});
    EXPECT_EQ(1, chosen.status);
    EXPECT_TRUE(Contains(chosen.out, "Retrieving firmware build 99528558\n"));
}

}  // namespace
