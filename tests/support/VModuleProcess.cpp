#include "VModuleProcess.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <sstream>
#include <stdexcept>

#include "testsupport.h"

namespace testsupport {

namespace {

constexpr int kStartTimeoutMs = 10000;

int RemainingMs(std::chrono::steady_clock::time_point deadline)
{
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
    return left.count() > 0 ? static_cast<int>(left.count()) : 0;
}

// One line from fd, or what arrived before it went quiet or closed.
std::string ReadLine(int fd, std::chrono::steady_clock::time_point deadline)
{
    std::string text;
    char c;
    while (text.empty() || text.back() != '\n') {
        struct pollfd pfd = {fd, POLLIN, 0};
        int n = poll(&pfd, 1, RemainingMs(deadline));
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0 || read(fd, &c, 1) != 1)
            break;
        text += c;
    }
    if (!text.empty() && text.back() == '\n')
        text.pop_back();
    return text;
}

}  // namespace

std::string VModuleBinary()
{
    return std::string(QUORVEL_BINARY_DIR) + "/sim/vmodule/quorvel-vmodule";
}

VModuleProcess::VModuleProcess(const std::vector<std::string>& args)
{
    static int counter = 0;
    errPath_ = (getenv("TMPDIR") && *getenv("TMPDIR") ? std::string(getenv("TMPDIR")) : std::string("/tmp")) +
               "/quorvel-vmodule-" + std::to_string(getpid()) + "-" + std::to_string(++counter) + ".err";
    std::vector<std::string> argv{VModuleBinary()};
    argv.insert(argv.end(), args.begin(), args.end());
    std::vector<char*> cargs;
    for (auto& a : argv)
        cargs.push_back(const_cast<char*>(a.c_str()));
    cargs.push_back(nullptr);
    int out[2];
    if (pipe2(out, O_CLOEXEC) != 0)
        throw std::runtime_error("pipe failed");
    pid_ = fork();
    if (pid_ < 0)
        throw std::runtime_error("fork failed");
    if (pid_ == 0) {
        int err = open(errPath_.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
        dup2(out[1], STDOUT_FILENO);
        if (err >= 0)
            dup2(err, STDERR_FILENO);
        execv(cargs[0], cargs.data());
        _exit(127);
    }
    close(out[1]);
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(kStartTimeoutMs);
    std::string line;
    for (;;) {
        line = ReadLine(out[0], deadline);
        if (line.rfind("module ", 0) != 0)
            break;
        std::istringstream words(line.substr(7));
        Module m;
        std::string serial, word;
        words >> serial;
        m.serial = static_cast<uint32_t>(std::stoul(serial, nullptr, 16));
        while (words >> word) {
            if (word == "tcp" && words >> word) {
                size_t colon = word.rfind(':');
                m.host = word.substr(0, colon);
                m.port = std::stoi(word.substr(colon + 1));
            } else if (word == "usb") {
                m.usb = true;
            }
        }
        modules_.push_back(m);
    }
    close(out[0]);
    if (line != "ready") {
        kill(pid_, SIGKILL);
        waitpid(pid_, nullptr, 0);
        std::string errors = ReadFile(errPath_);
        unlink(errPath_.c_str());
        throw std::runtime_error("virtual module program did not start: " + line + " " + errors);
    }
}

VModuleProcess::~VModuleProcess()
{
    if (pid_ > 0) {
        kill(pid_, SIGKILL);
        waitpid(pid_, nullptr, 0);
    }
    unlink(errPath_.c_str());
}

int VModuleProcess::Stop(int signal, int timeoutMs)
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

std::string VModuleProcess::errors() const
{
    return ReadFile(errPath_);
}

FrameSocket::FrameSocket(int port, const std::string& host)
{
    struct sockaddr_in address = {};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<uint16_t>(port));
    inet_pton(AF_INET, host.c_str(), &address.sin_addr);
    fd_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd_ < 0 || connect(fd_, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0)
        throw std::runtime_error("cannot connect to " + host + ":" + std::to_string(port));
    int on = 1;
    setsockopt(fd_, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
}

FrameSocket::FrameSocket(const UnixPath& socketPath)
{
    struct sockaddr_un address = {};
    address.sun_family = AF_UNIX;
    if (socketPath.path.size() >= sizeof address.sun_path)
        throw std::runtime_error("socket path too long: " + socketPath.path);
    memcpy(address.sun_path, socketPath.path.c_str(), socketPath.path.size() + 1);
    fd_ = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd_ < 0 || connect(fd_, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0)
        throw std::runtime_error("cannot connect to " + socketPath.path);
}

FrameSocket::~FrameSocket()
{
    if (fd_ >= 0)
        close(fd_);
}

void FrameSocket::Send(const std::vector<uint8_t>& bytes)
{
    size_t done = 0;
    while (done < bytes.size()) {
        ssize_t n = send(fd_, bytes.data() + done, bytes.size() - done, MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            throw std::runtime_error("send to the module failed");
        done += static_cast<size_t>(n);
    }
}

bool FrameSocket::Fill(size_t count, int timeoutMs)
{
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (buffered_.size() < count) {
        struct pollfd pfd = {fd_, POLLIN, 0};
        int n = poll(&pfd, 1, RemainingMs(deadline));
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        char buffer[512];
        ssize_t got = recv(fd_, buffer, sizeof buffer, 0);
        if (got <= 0)
            return false;
        buffered_.append(buffer, static_cast<size_t>(got));
    }
    return true;
}

std::vector<uint8_t> FrameSocket::ReadFrame(int timeoutMs)
{
    if (!Fill(2, timeoutMs))
        return {};
    size_t size = 2 + static_cast<uint8_t>(buffered_[1]);
    if (!Fill(size, timeoutMs))
        return {};
    std::vector<uint8_t> frame(buffered_.begin(), buffered_.begin() + static_cast<long>(size));
    buffered_.erase(0, size);
    return frame;
}

std::vector<uint8_t> FrameSocket::ReadBytes(size_t count, int timeoutMs)
{
    if (!Fill(count, timeoutMs))
        return {};
    std::vector<uint8_t> bytes(buffered_.begin(), buffered_.begin() + static_cast<long>(count));
    buffered_.erase(0, count);
    return bytes;
}

bool FrameSocket::ClosedByPeer(int timeoutMs)
{
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    for (;;) {
        struct pollfd pfd = {fd_, POLLIN, 0};
        int n = poll(&pfd, 1, RemainingMs(deadline));
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        char buffer[512];
        ssize_t got = recv(fd_, buffer, sizeof buffer, 0);
        if (got == 0 || (got < 0 && errno != EINTR && errno != EAGAIN))
            return true;
    }
}

}  // namespace testsupport
