#include "LinkService.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>

#include "EventLoop.h"
#include "VirtualModule.h"

namespace vmodule {

LinkService::~LinkService()
{
    Close();
}

void LinkService::Close()
{
    if (fd_ < 0)
        return;
    loop_.Unwatch(watch_);
    close(fd_);
    fd_ = -1;
}

bool LinkService::Listen(const std::string& host, uint16_t port, std::string& error)
{
    Close();
    struct sockaddr_in address = {};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    if (inet_pton(AF_INET, host.c_str(), &address.sin_addr) != 1) {
        error = "not an IPv4 address: " + host;
        return false;
    }
    fd_ = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    int on = 1;
    socklen_t length = sizeof address;
    if (fd_ < 0 || setsockopt(fd_, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on) != 0 ||
        bind(fd_, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 || listen(fd_, 16) != 0 ||
        getsockname(fd_, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
        error = "cannot listen on " + host + ":" + std::to_string(port) + ": " + strerror(errno);
        if (fd_ >= 0)
            close(fd_);
        fd_ = -1;
        return false;
    }
    host_ = host;
    port_ = ntohs(address.sin_port);
    watch_ = loop_.Watch(fd_, [this] { OnAccept(); });
    return true;
}

void LinkService::OnAccept()
{
    struct sockaddr_in peer = {};
    socklen_t length = sizeof peer;
    int fd = accept4(fd_, reinterpret_cast<sockaddr*>(&peer), &length, SOCK_NONBLOCK | SOCK_CLOEXEC);
    if (fd < 0) {
        // Out of descriptors: the listener stays readable, so rest a while
        // instead of spinning on it.
        if (errno == EMFILE || errno == ENFILE || errno == ENOBUFS || errno == ENOMEM) {
            loop_.Unwatch(watch_);
            loop_.After(std::chrono::milliseconds(100), [this] {
                if (fd_ >= 0)  // not closed meanwhile by a restart
                    watch_ = loop_.Watch(fd_, [this] { OnAccept(); });
            });
        }
        return;
    }
    // Frames are small and answered one at a time; Nagle would hold them back.
    int on = 1;
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
    char text[INET_ADDRSTRLEN] = "?";
    inet_ntop(AF_INET, &peer.sin_addr, text, sizeof text);
    module_.AddLink(fd, "tcp", std::string(text) + ":" + std::to_string(ntohs(peer.sin_port)));
}

}  // namespace vmodule
