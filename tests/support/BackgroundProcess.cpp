#include "BackgroundProcess.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <stdexcept>

namespace testsupport {

BackgroundProcess::BackgroundProcess(const std::vector<std::string>& argv, const std::string& stderrPath)
{
    // Everything the child needs is prepared before fork: only
    // async-signal-safe calls run between fork and exec.
    std::vector<char*> args;
    for (const auto& a : argv)
        args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    int out[2];
    if (pipe2(out, O_CLOEXEC) != 0)
        throw std::runtime_error("pipe failed");
    pid_ = fork();
    if (pid_ < 0) {
        close(out[0]);
        close(out[1]);
        throw std::runtime_error("fork failed");
    }
    if (pid_ == 0) {
        int err = open(stderrPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
        dup2(out[1], STDOUT_FILENO);
        if (err >= 0)
            dup2(err, STDERR_FILENO);
        execv(args[0], args.data());
        _exit(127);
    }
    close(out[1]);
    out_ = out[0];
}

BackgroundProcess::~BackgroundProcess()
{
    if (pid_ > 0) {
        kill(pid_, SIGTERM);
        waitpid(pid_, nullptr, 0);
    }
    close(out_);
}

void BackgroundProcess::Kill()
{
    // kill(-1, ...) would signal every process we may signal.
    if (pid_ <= 0)
        return;
    kill(pid_, SIGKILL);
    waitpid(pid_, nullptr, 0);
    pid_ = -1;
}

int BackgroundProcess::Stop(int signal, int timeoutMs)
{
    if (pid_ <= 0)
        return -1;
    // A process descriptor turns "wait for the exit, at most so long" into a poll.
    int pidfd = static_cast<int>(syscall(SYS_pidfd_open, pid_, 0));
    kill(pid_, signal);
    if (pidfd >= 0) {
        struct pollfd pfd = {pidfd, POLLIN, 0};
        int n;
        while ((n = poll(&pfd, 1, timeoutMs)) < 0 && errno == EINTR) {
        }
        close(pidfd);
        if (n == 0)
            return -1;
    }
    int status = 0;
    waitpid(pid_, &status, 0);
    pid_ = -1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

std::string BackgroundProcess::ReadLine(int timeoutMs)
{
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    std::string line;
    char c;
    for (;;) {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        struct pollfd pfd = {out_, POLLIN, 0};
        int n = poll(&pfd, 1, left.count() > 0 ? static_cast<int>(left.count()) : 0);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0 || read(out_, &c, 1) != 1 || c == '\n')
            return line;
        line += c;
    }
}

}  // namespace testsupport
