#include "VModuleProcess.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
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

// Waits until fd has something to read, or its peer closed; false on time-out.
bool AwaitReadable(int fd, std::chrono::steady_clock::time_point deadline)
{
    for (;;) {
        struct pollfd pfd = {fd, POLLIN, 0};
        int n = poll(&pfd, 1, RemainingMs(deadline));
        if (n < 0 && errno == EINTR)
            continue;
        return n > 0;
    }
}

// A connected stream socket, closed again when the connection fails.
int Connect(int domain, const sockaddr* address, socklen_t length, const std::string& peer)
{
    int fd = socket(domain, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd >= 0 && connect(fd, address, length) == 0)
        return fd;
    if (fd >= 0)
        close(fd);
    throw std::runtime_error("cannot connect to " + peer);
}

std::vector<std::string> VModuleArgv(const std::vector<std::string>& args)
{
    std::vector<std::string> argv{VModuleBinary()};
    argv.insert(argv.end(), args.begin(), args.end());
    return argv;
}

}  // namespace

std::string VModuleBinary()
{
    return std::string(QUORVEL_BINARY_DIR) + "/sim/vmodule/quorvel-vmodule";
}

VModuleProcess::VModuleProcess(const std::vector<std::string>& args)
    : process_(VModuleArgv(args), errDir_.file("vmodule.err"))
{
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(kStartTimeoutMs);
    std::string line;
    for (;;) {
        line = process_.ReadLine(RemainingMs(deadline));
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
    if (line != "ready") {
        process_.Kill();
        throw std::runtime_error("virtual module program did not start: " + line + " " + errors());
    }
}

VModuleProcess::~VModuleProcess()
{
    // At once: a test that wanted a clean exit asked for it with Stop.
    process_.Kill();
}

int VModuleProcess::Stop(int signal, int timeoutMs)
{
    return process_.Stop(signal, timeoutMs);
}

std::string VModuleProcess::errors() const
{
    return ReadFile(errDir_.file("vmodule.err"));
}

FrameSocket::FrameSocket(int port, const std::string& host)
{
    struct sockaddr_in address = {};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<uint16_t>(port));
    inet_pton(AF_INET, host.c_str(), &address.sin_addr);
    fd_ = Connect(AF_INET, reinterpret_cast<sockaddr*>(&address), sizeof address, host + ":" + std::to_string(port));
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
    fd_ = Connect(AF_UNIX, reinterpret_cast<sockaddr*>(&address), sizeof address, socketPath.path);
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
        if (!AwaitReadable(fd_, deadline))
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
        if (!AwaitReadable(fd_, deadline))
            return false;
        char buffer[512];
        ssize_t got = recv(fd_, buffer, sizeof buffer, 0);
        if (got == 0 || (got < 0 && errno != EINTR && errno != EAGAIN))
            return true;
    }
}

}  // namespace testsupport
