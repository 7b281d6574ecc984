// The option parser: what each word sets, what it skips, and its errors.

#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "CaptureDisplay.h"
#include "Log.h"
#include "Parameters.h"

namespace {

struct Parsed {
    int result;
    Parameters params;
    std::vector<std::string> errors;
};

Parsed Parse(std::vector<std::string> words)
{
    words.insert(words.begin(), "/usr/local/bin/Quorvel");
    std::vector<const char*> argv;
    for (const auto& w : words)
        argv.push_back(w.c_str());
    CaptureDisplay display;
    Parsed p;
    Log::package_bitmask = 0;
    p.result = _get_params(display, static_cast<int>(argv.size()), argv.data(), p.params);
    p.errors = display.errors;
    Log::package_bitmask = 0;
    return p;
}

TEST(CommandLine, Defaults)
{
    Parsed p = Parse({});
    EXPECT_EQ(0, p.result);
    EXPECT_EQ("Quorvel", p.params.programName);
    EXPECT_EQ(0u, p.params.commands.Mask());
    EXPECT_EQ(USB, p.params.transport);
    EXPECT_FALSE(p.params.transportGiven);
    EXPECT_EQ(115200u, p.params.baudRate);
    EXPECT_EQ("http://" QUORVEL_DEFAULT_SERVER_HOST "/cgi/u", p.params.serverUrl);
    EXPECT_EQ("Quorvel.log", p.params.logFile);
    EXPECT_EQ("a+", p.params.logMode);
}

struct Case {
    std::vector<std::string> words;
    std::function<bool(const Parameters&)> check;
    const char* what;
};

TEST(CommandLine, AcceptedWordsSetTheirFields)
{
    const std::vector<Case> cases = {
        {{"-B", "-C", "-D", "-G", "-I", "-N", "-U"}, [](const Parameters& p) { return p.commands.Mask() == 0x7F; }, "command bits"},
        {{"-Z", "x"}, [](const Parameters& p) { return p.commands.Mask() == CMD_Z; }, "-Z sets its bit"},
        {{"-OVERRIDE"}, [](const Parameters& p) { return p.override && p.commands.Mask() == 0; }, "-OVERRIDE"},
        {{"-OV"}, [](const Parameters& p) { return p.override; }, "-OVERRIDE abbreviated"},
        {{"-O"}, [](const Parameters& p) { return p.override; }, "-O is an unambiguous prefix"},
        {{"--he"}, [](const Parameters& p) { return p.helpRequested && p.commands.IsSet(CMD_HELP); }, "--help abbreviated"},
        {{"-d", "40F5849A"}, [](const Parameters& p) { return p.serialNumber == 0x40F5849A; }, "-d hex"},
        {{"-d", "0x40f5849a"}, [](const Parameters& p) { return p.serialNumber == 0x40F5849A; }, "-d with 0x prefix"},
        {{"-d=0X40F5849A"}, [](const Parameters& p) { return p.serialNumber == 0x40F5849A; }, "-d= with 0X prefix"},
        {{"-d", "1FFFFFFFF"}, [](const Parameters& p) { return p.serialNumber == 0xFFFFFFFF; }, "low 32 bits"},
        {{"-r", "D272031D"}, [](const Parameters& p) { return p.routerSerial == 0xD272031D; }, "-r"},
        {{"-b", "99528558"}, [](const Parameters& p) { return p.build == "99528558"; }, "-b"},
        {{"-b", "abc"}, [](const Parameters& p) { return p.build == "0"; }, "-b non-digit means 0"},
        {{"-b", "007"}, [](const Parameters& p) { return p.build == "7"; }, "-b written back in decimal"},
        {{"-o", "9600"}, [](const Parameters& p) { return p.baudRate == 9600; }, "-o"},
        {{"-o", "fast"}, [](const Parameters& p) { return p.baudRate == 0; }, "-o non-digit gives 0"},
        {{"-t", "TCPIP"}, [](const Parameters& p) { return p.transport == TCPIP && p.transportGiven; }, "-t TCPIP"},
        {{"-t", "TCPxyz"}, [](const Parameters& p) { return p.transport == TCPIP; }, "-t prefix TCP"},
        {{"-t", "USB"}, [](const Parameters& p) { return p.transport == USB && p.transportGiven; }, "-t USB"},
        {{"-t", "RECOVERY"}, [](const Parameters& p) { return p.transport == 255; }, "-t prefix RECOVER"},
        {{"-s", "/dev/ttyS0", "-f", "a.bird", "-i", "/data", "-l", "msg", "-k", "k.log", "-e", "1", "-n"},
         [](const Parameters& p) {
             return p.serialPort == "/dev/ttyS0" && p.birdFile == "a.bird" && p.storageDirectory == "/data" &&
                    p.historyMessage == "msg" && p.logFile == "k.log" && p.echo && p.flagN;
         },
         "text parameters"},
        {{"-u", "http://h:1/cgi/u"}, [](const Parameters& p) { return p.serverUrl == "http://h:1/cgi/u"; }, "-u full URL"},
        {{"-u", "h:1"}, [](const Parameters& p) { return p.serverUrl == "h:1/cgi/u"; }, "-u host:port gets the path"},
        {{"-u", "http://h:1"}, [](const Parameters& p) { return p.serverUrl == "http://h:1/cgi/u"; }, "-u URL without path"},
        {{"-X", "0x401"}, [](const Parameters& p) { return p.debugMask == 0x401 && p.debugMaskGiven; }, "-X hex"},
        {{"-X", "17"}, [](const Parameters& p) { return p.debugMask == 17; }, "-X decimal"},
        {{"-d", "1", "-d", "2"}, [](const Parameters& p) { return p.serialNumber == 2; }, "later parameter wins"},
        {{"-D", "-D", "-B"}, [](const Parameters& p) { return p.commands.Mask() == (CMD_DISCOVER | CMD_BUILD_LIST); }, "bits accumulate"},
        // Silent skips.
        {{"-x", "5", "-Dx", "-OVERRIDEX", "-", "plain"}, [](const Parameters& p) { return p.commands.Mask() == 0 && !p.override; }, "unknown words"},
        {{"-d"}, [](const Parameters& p) { return p.serialNumber == 0; }, "missing argument"},
        {{"-d", "-D"}, [](const Parameters& p) { return p.serialNumber == 0 && p.commands.Mask() == CMD_DISCOVER; }, "next word with a dash is no argument"},
        {{"-D=1"}, [](const Parameters& p) { return p.commands.Mask() == 0; }, "argument to an option without one"},
        {{"-h", "-Y", "-d", "0"}, [](const Parameters& p) { return p.helpRequested && p.serialNumber == 0; }, "help ends the parse"},
    };
    for (const auto& c : cases) {
        Parsed p = Parse(c.words);
        EXPECT_EQ(0, p.result) << c.what;
        EXPECT_TRUE(p.errors.empty()) << c.what << ": " << (p.errors.empty() ? "" : p.errors[0]);
        EXPECT_TRUE(c.check(p.params)) << c.what;
    }
}

TEST(CommandLine, ErrorsAndWhetherTheyFailTheParse)
{
    struct ErrorCase {
        std::vector<std::string> words;
        std::vector<std::string> errors;
        int result;
    };
    const std::vector<ErrorCase> cases = {
        {{"-Y"}, {"Unhandled command: [-Y]"}, 1},
        {{"-d", "xyz"}, {"Invalid serial number obtained from argument [xyz]"}, 1},
        {{"-d", "0"}, {"Invalid serial number obtained from argument [0]"}, 1},
        {{"-d", "0x"}, {"Invalid serial number obtained from argument []"}, 1},
        {{"-r", "G1"}, {"Invalid router serial number obtained from argument [G1]"}, 1},
        {{"-t", "tcpip"}, {"Invalid transport type:[tcpip]\nMust be one of the following: USB, TCPIP, RECOVER"}, 1},
        {{"-X", "12abc"}, {"Invalid format for \"-X\" parameter, unprocessed characters [abc]"}, 0},
        // Every option is handled even after an error.
        {{"-Y", "-d", "0", "-t", "x"},
         {"Unhandled command: [-Y]", "Invalid serial number obtained from argument [0]",
          "Invalid transport type:[x]\nMust be one of the following: USB, TCPIP, RECOVER"},
         1},
        {{"-d", "0", "-d", "12"}, {"Invalid serial number obtained from argument [0]"}, 1},
    };
    for (const auto& c : cases) {
        Parsed p = Parse(c.words);
        EXPECT_EQ(c.result, p.result) << c.words[0];
        EXPECT_EQ(c.errors, p.errors) << c.words[0];
    }
    Parsed bad = Parse({"-t", "bogus"});
    EXPECT_EQ(INVALID, bad.params.transport);
    EXPECT_TRUE(bad.params.transportGiven);
}

TEST(CommandLine, DebugMaskIsAppliedOnlyWhenWellFormed)
{
    std::vector<const char*> good = {"Quorvel", "-X", "0x20"};
    std::vector<const char*> bad = {"Quorvel", "-X", "0x20zz"};
    CaptureDisplay d;
    Parameters p;
    Log::package_bitmask = 0;
    _get_params(d, 3, bad.data(), p);
    EXPECT_EQ(0u, Log::package_bitmask);
    _get_params(d, 3, good.data(), p);
    EXPECT_EQ(0x20u, Log::package_bitmask);
    Log::package_bitmask = 0;
}

TEST(CommandLine, NumberArguments)
{
    const char* end = nullptr;
    EXPECT_EQ(0xABCDEFu, _get_hex_arg("abcdef", &end));
    EXPECT_EQ('\0', *end);
    const char* untouched = nullptr;
    EXPECT_EQ(0u, _get_hex_arg("12G", &untouched));
    EXPECT_EQ(nullptr, untouched);
    EXPECT_EQ(0u, _get_hex_arg("12", nullptr));
    EXPECT_EQ(4294967295u, _get_int_arg("4294967295", &end));
    EXPECT_EQ(0u, _get_int_arg("12a", &untouched));
    EXPECT_EQ(nullptr, untouched);
}

}  // namespace
