#include "testsupport.h"

#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>

namespace testsupport {

TempDir::TempDir()
{
    const char* base = getenv("TMPDIR");
    std::string templ = std::string(base && *base ? base : "/tmp") + "/quorvel-test-XXXXXX";
    std::vector<char> buf(templ.begin(), templ.end());
    buf.push_back('\0');
    if (!mkdtemp(buf.data()))
        throw std::runtime_error("mkdtemp failed");
    path_ = buf.data();
}

TempDir::~TempDir()
{
    std::error_code ec;
    std::filesystem::remove_all(path_, ec);
}

namespace {

void setNonBlocking(int fd)
{
    fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) | O_NONBLOCK);
}

// Reads what is available; returns false at end of file.
bool drain(int fd, std::string& into)
{
    char buf[4096];
    for (;;) {
        ssize_t n = read(fd, buf, sizeof buf);
        if (n > 0) {
            into.append(buf, static_cast<size_t>(n));
            continue;
        }
        if (n == 0)
            return false;
        if (errno == EINTR)
            continue;
        // EIO is how a pty master reports that the slave side closed.
        return errno == EAGAIN || errno == EWOULDBLOCK;
    }
}

}  // namespace

ProcResult Run(const std::vector<std::string>& argv, const RunOptions& options)
{
    int outPipe[2], errPipe[2], inPipe[2];
    int master = -1, slave = -1;
    if (pipe(errPipe) || pipe(inPipe))
        throw std::runtime_error("pipe failed");
    if (options.onPty) {
        if (openpty(&master, &slave, nullptr, nullptr, nullptr))
            throw std::runtime_error("openpty failed");
        outPipe[0] = master;
        outPipe[1] = slave;
    } else if (pipe(outPipe)) {
        throw std::runtime_error("pipe failed");
    }

    pid_t pid = fork();
    if (pid < 0)
        throw std::runtime_error("fork failed");
    if (pid == 0) {
        dup2(inPipe[0], STDIN_FILENO);
        dup2(outPipe[1], STDOUT_FILENO);
        dup2(errPipe[1], STDERR_FILENO);
        for (int fd : {inPipe[0], inPipe[1], outPipe[0], outPipe[1], errPipe[0], errPipe[1]})
            close(fd);
        if (!options.cwd.empty() && chdir(options.cwd.c_str()) != 0)
            _exit(126);
        for (const auto& e : options.env)
            putenv(strdup(e.c_str()));
        std::vector<char*> args;
        for (const auto& a : argv)
            args.push_back(const_cast<char*>(a.c_str()));
        args.push_back(nullptr);
        execv(args[0], args.data());
        _exit(127);
    }
    close(inPipe[0]);
    close(outPipe[1]);
    close(errPipe[1]);
    if (!options.stdinText.empty()) {
        ssize_t ignored = write(inPipe[1], options.stdinText.data(), options.stdinText.size());
        (void)ignored;
    }
    close(inPipe[1]);

    ProcResult result;
    setNonBlocking(outPipe[0]);
    setNonBlocking(errPipe[0]);
    bool outOpen = true, errOpen = true;
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(options.timeoutSeconds);
    int status = 0;
    bool exited = false;
    while (outOpen || errOpen) {
        struct pollfd fds[2] = {{outPipe[0], POLLIN, 0}, {errPipe[0], POLLIN, 0}};
        int remaining = static_cast<int>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                              deadline - std::chrono::steady_clock::now()).count());
        if (remaining <= 0) {
            kill(pid, SIGKILL);
            break;
        }
        // A pty master never reports end of file while the child lives, so
        // stop waiting on it once the child has gone.
        int n = poll(fds, 2, std::min(remaining, 100));
        if (n < 0 && errno != EINTR)
            break;
        if (outOpen && (fds[0].revents & (POLLIN | POLLHUP | POLLERR)))
            outOpen = drain(outPipe[0], result.out);
        if (errOpen && (fds[1].revents & (POLLIN | POLLHUP | POLLERR)))
            errOpen = drain(errPipe[0], result.err);
        if (!exited && waitpid(pid, &status, WNOHANG) == pid) {
            exited = true;
            if (options.onPty) {
                drain(outPipe[0], result.out);
                outOpen = false;
            }
        }
    }
    if (!exited)
        waitpid(pid, &status, 0);
    close(outPipe[0]);
    close(errPipe[0]);
    result.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    return result;
}

ProcResult RunQuorvel(const std::vector<std::string>& args, const RunOptions& options)
{
    std::vector<std::string> argv{QUORVEL_BIN};
    argv.insert(argv.end(), args.begin(), args.end());
    return Run(argv, options);
}

std::string ReadFile(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

void WriteFile(const std::string& path, const std::string& content)
{
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << content;
}

std::vector<std::string> SplitLines(const std::string& text)
{
    std::vector<std::string> lines;
    std::string line;
    std::istringstream in(text);
    while (std::getline(in, line))
        lines.push_back(line);
    return lines;
}

}  // namespace testsupport
