// Console display on a terminal and redirected, the message buffer, and the
// package-masked debug log.

#include <gtest/gtest.h>
#include <pty.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <functional>
#include <string>

#include "CLI_Display.h"
#include "CaptureDisplay.h"
#include "Log.h"
#include "testsupport.h"

namespace {

// Runs `draw` in a child whose standard output is a pseudo-terminal (or a
// pipe) and returns the bytes it wrote there.
std::string ChildOutput(bool terminal, const std::function<void(CLI_Display&)>& draw)
{
    int readFd = -1, writeFd = -1;
    if (terminal) {
        EXPECT_EQ(0, openpty(&readFd, &writeFd, nullptr, nullptr, nullptr));
        struct termios raw;
        tcgetattr(writeFd, &raw);
        cfmakeraw(&raw);  // keep "\n" as written
        tcsetattr(writeFd, TCSANOW, &raw);
    } else {
        int fds[2];
        EXPECT_EQ(0, pipe(fds));
        readFd = fds[0];
        writeFd = fds[1];
    }
    pid_t pid = fork();
    if (pid == 0) {
        dup2(writeFd, STDOUT_FILENO);
        CLI_Display display;
        draw(display);
        fflush(stdout);
        _exit(0);
    }
    close(writeFd);
    std::string out;
    char buf[1024];
    int status = 0;
    waitpid(pid, &status, 0);
    ssize_t n;
    while ((n = read(readFd, buf, sizeof buf)) > 0)
        out.append(buf, static_cast<size_t>(n));
    close(readFd);
    return out;
}

TEST(CliDisplay, ProgressBarOnTerminal)
{
    std::string half = ChildOutput(true, [](CLI_Display& d) { d.update_progress(0.5, nullptr); });
    EXPECT_EQ("\r[" + std::string(34, '=') + ">" + std::string(34, ' ') + "] ( 50% ) ", half);

    std::string full = ChildOutput(true, [](CLI_Display& d) { d.update_progress(1.0, "Updating"); });
    EXPECT_EQ("\r (Updating) [" + std::string(57, '=') + "> ] (100% ) ", full);

    std::string zero = ChildOutput(true, [](CLI_Display& d) { d.update_progress(0.0, nullptr); });
    EXPECT_EQ("\r[>" + std::string(68, ' ') + "] (  0% ) ", zero);

    std::string cleared = ChildOutput(true, [](CLI_Display& d) { d.display_progress(false); d.display_progress(true); });
    EXPECT_EQ("\r" + std::string(88, ' ') + "\r", cleared);
}

TEST(CliDisplay, SpinnerCyclesEightFramesAndClears)
{
    std::string out = ChildOutput(true, [](CLI_Display& d) {
        for (int i = 0; i < 9; ++i)
            d.update_spinner(true, i == 8 ? "Downloading" : nullptr);
        d.update_spinner(false, nullptr);
    });
    std::string expected;
    const char* frames[] = {".", "..", "...", "....", ".....", "....", "...", ".."};
    for (const char* f : frames)
        expected += std::string("\r ") + f + "      \r";
    expected += "\r (Downloading) .      \r";
    expected += "\r" + std::string(88, ' ') + "\r";
    EXPECT_EQ(expected, out);
}

TEST(CliDisplay, RedirectedOutputHoldsMessagesOnly)
{
    std::string out = ChildOutput(false, [](CLI_Display& d) {
        d.update_progress(0.3, "x");
        d.update_spinner(true, nullptr);
        d.update_spinner(false, nullptr);
        d.display_progress(false);
        d.message(QuorvelDisplayInterface::LEVEL_INFO, "Update time: %.4f sec", 1.5);
        d.message(QuorvelDisplayInterface::LEVEL_ERROR, "to standard error");
    });
    EXPECT_EQ("Update time: 1.5000 sec\n", out);
}

TEST(DisplayInterface, MessageRoutingMutingAndTruncation)
{
    CaptureDisplay d;
    d.message(QuorvelDisplayInterface::LEVEL_INFO, "info %d", 1);
    d.message(QuorvelDisplayInterface::LEVEL_ERROR, "error %s", "two");
    EXPECT_EQ(std::vector<std::string>{"info 1"}, d.info);
    EXPECT_EQ(std::vector<std::string>{"error two"}, d.errors);

    std::string huge(5000, 'x');
    d.message(QuorvelDisplayInterface::LEVEL_INFO, "%s", huge.c_str());
    EXPECT_EQ(2047u, d.info.back().size());

    d.mute_messages(true);
    d.message(QuorvelDisplayInterface::LEVEL_INFO, "hidden");
    d.message(QuorvelDisplayInterface::LEVEL_ERROR, "hidden");
    d.update_progress(0.5, nullptr);  // drawing is not muted
    EXPECT_EQ(2u, d.info.size());
    EXPECT_EQ(1u, d.errors.size());
    EXPECT_EQ(1u, d.progress.size());
}

TEST(DebugLog, PackageMaskSelectsLines)
{
    testsupport::TempDir dir;
    FILE* f = fopen(dir.file("log").c_str(), "w+");
    ASSERT_NE(nullptr, f);
    Log::SetOutput(f);
    Log::package_bitmask = 0;
    Log::ActivatePackage(0x400);
    Log::log(0x1, "masked out\n");
    Log::log(0, "always %d\n", 0);
    Log::log(0x400, "firmware\n");
    Log::ActivatePackage(0x1);
    Log::DeactivatePackage(0x400);
    Log::log(0x1, "engine\n");
    Log::log(0x400, "masked again\n");
    Log::log(0, "%s", std::string(3000, 'y').c_str());
    Log::SetOutput(nullptr);
    Log::package_bitmask = 0;
    fclose(f);
    EXPECT_EQ("always 0\nfirmware\nengine\n" + std::string(2047, 'y'), testsupport::ReadFile(dir.file("log")));
}

}  // namespace
