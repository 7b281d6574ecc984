#include "ScriptedModule.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <stdexcept>

namespace testsupport {

namespace {

constexpr uint8_t kAddressQuery = 0xAD;
constexpr uint8_t kRouteControl = 0xAF;

}  // namespace

FrameBytes ModuleFrame(uint8_t address, const std::vector<uint8_t>& data)
{
    // Sized up front: growing a two-byte vector by insert trips a false
    // -Warray-bounds in GCC 12 at -O2.
    FrameBytes frame(data.size() + 2);
    frame[0] = address;
    frame[1] = static_cast<uint8_t>(data.size());
    std::copy(data.begin(), data.end(), frame.begin() + 2);
    return frame;
}

ScriptedModule::ScriptedModule(uint8_t address) : address_(address)
{
    listener_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    struct sockaddr_in local = {};
    local.sin_family = AF_INET;
    local.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t size = sizeof local;
    if (listener_ < 0 || bind(listener_, reinterpret_cast<sockaddr*>(&local), sizeof local) != 0 ||
        listen(listener_, 4) != 0 || getsockname(listener_, reinterpret_cast<sockaddr*>(&local), &size) != 0 ||
        pipe2(wake_, O_CLOEXEC) != 0)
        throw std::runtime_error("scripted module: cannot listen on 127.0.0.1");
    port_ = ntohs(local.sin_port);
    thread_ = std::thread([this] { Serve(); });
}

ScriptedModule::~ScriptedModule()
{
    char stop = 1;
    (void)!write(wake_[1], &stop, 1);
    thread_.join();
    if (connection_ >= 0)
        close(connection_);
    close(listener_);
    close(wake_[0]);
    close(wake_[1]);
}

void ScriptedModule::OnRequest(Handler handler)
{
    std::lock_guard<std::mutex> hold(lock_);
    handler_ = std::move(handler);
}

void ScriptedModule::AnswerAddressQuery(bool on)
{
    std::lock_guard<std::mutex> hold(lock_);
    answerAddress_ = on;
}

void ScriptedModule::Send(const FrameBytes& frame)
{
    Write(frame);
}

void ScriptedModule::Drop()
{
    // The serving thread sees the end of the stream and closes the socket.
    std::lock_guard<std::mutex> hold(writeLock_);
    if (connection_ >= 0)
        shutdown(connection_, SHUT_RDWR);
}

std::vector<FrameBytes> ScriptedModule::Requests(size_t count, int timeoutMs)
{
    std::unique_lock<std::mutex> hold(lock_);
    changed_.wait_for(hold, std::chrono::milliseconds(timeoutMs), [&] { return requests_.size() >= count; });
    return requests_;
}

void ScriptedModule::ClearRequests()
{
    std::lock_guard<std::mutex> hold(lock_);
    requests_.clear();
}

void ScriptedModule::Write(const FrameBytes& frame)
{
    std::lock_guard<std::mutex> hold(writeLock_);
    if (connection_ >= 0)
        (void)!send(connection_, frame.data(), frame.size(), MSG_NOSIGNAL);
}

void ScriptedModule::Serve()
{
    for (;;) {
        struct pollfd fds[2] = {{wake_[0], POLLIN, 0}, {connection_ >= 0 ? connection_ : listener_, POLLIN, 0}};
        if (poll(fds, 2, -1) < 0) {
            if (errno == EINTR)
                continue;
            return;
        }
        if (fds[0].revents)
            return;
        if (!fds[1].revents)
            continue;
        if (connection_ < 0) {
            int fd = accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC);
            std::lock_guard<std::mutex> hold(writeLock_);
            connection_ = fd;
            pending_.clear();
            continue;
        }
        uint8_t bytes[256];
        ssize_t n = recv(connection_, bytes, sizeof bytes, 0);
        if (n <= 0) {
            std::lock_guard<std::mutex> hold(writeLock_);
            close(connection_);
            connection_ = -1;
            continue;
        }
        HandleBytes(bytes, static_cast<size_t>(n));
    }
}

void ScriptedModule::HandleBytes(const uint8_t* bytes, size_t count)
{
    pending_.insert(pending_.end(), bytes, bytes + count);
    while (pending_.size() >= 2 && pending_.size() >= 2u + pending_[1]) {
        FrameBytes frame(pending_.begin(), pending_.begin() + 2 + pending_[1]);
        pending_.erase(pending_.begin(), pending_.begin() + 2 + pending_[1]);
        if (frame[0] == kRouteControl)
            continue;
        Handler handler;
        bool answerAddress;
        {
            std::lock_guard<std::mutex> hold(lock_);
            answerAddress = answerAddress_;
            handler = handler_;
            if (frame[0] != kAddressQuery)
                requests_.push_back(frame);
        }
        changed_.notify_all();
        if (frame[0] == kAddressQuery) {
            if (answerAddress)
                Write({address_, 0});
            continue;
        }
        if (handler)
            for (const auto& reply : handler(frame))
                Write(reply);
    }
}

}  // namespace testsupport
