#include "DiscoveryResponder.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "EventLoop.h"
#include "VirtualModule.h"

namespace vmodule {

namespace {

constexpr uint8_t kRequestTag = 1;

void StoreLE(uint8_t* p, uint32_t value, int bytes)
{
    for (int i = 0; i < bytes; ++i)
        p[i] = static_cast<uint8_t>(value >> (8 * i));
}

}  // namespace

DiscoveryResponder::~DiscoveryResponder()
{
    if (fd_ >= 0) {
        loop_.Unwatch(watch_);
        close(fd_);
    }
}

bool DiscoveryResponder::Start(const std::string& interfaceAddress, std::string& error)
{
    struct ip_mreq membership = {};
    if (inet_pton(AF_INET, interfaceAddress.c_str(), &membership.imr_interface) != 1 ||
        inet_pton(AF_INET, kDiscoveryGroup, &membership.imr_multiaddr) != 1) {
        error = "discovery: not an IPv4 address: " + interfaceAddress;
        return false;
    }
    struct sockaddr_in bound = {};
    bound.sin_family = AF_INET;
    bound.sin_port = htons(kDiscoveryRequestPort);
    bound.sin_addr.s_addr = htonl(INADDR_ANY);
    fd_ = socket(AF_INET, SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    int on = 1;
    if (fd_ < 0 || setsockopt(fd_, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on) != 0 ||
        bind(fd_, reinterpret_cast<sockaddr*>(&bound), sizeof bound) != 0 ||
        setsockopt(fd_, IPPROTO_IP, IP_ADD_MEMBERSHIP, &membership, sizeof membership) != 0) {
        error = "discovery on " + interfaceAddress + ": " + strerror(errno);
        if (fd_ >= 0)
            close(fd_);
        fd_ = -1;
        return false;
    }
    watch_ = loop_.Watch(fd_, [this] { OnRequest(); });
    return true;
}

void DiscoveryResponder::OnRequest()
{
    uint8_t request[64];
    struct sockaddr_in from = {};
    socklen_t length = sizeof from;
    ssize_t n = recvfrom(fd_, request, sizeof request, 0, reinterpret_cast<sockaddr*>(&from), &length);
    if (n <= 0 || request[0] != kRequestTag)
        return;
    char fromText[INET_ADDRSTRLEN] = "?";
    inet_ntop(AF_INET, &from.sin_addr, fromText, sizeof fromText);
    struct sockaddr_in to = from;
    to.sin_port = htons(kDiscoveryReplyPort);
    for (const Answering& a : answering_) {
        if (a.module->State().absent)  // restarting: not there to answer
            continue;
        uint8_t reply[kDiscoveryMessageSize] = {};
        reply[1] = a.module->State().address;
        StoreLE(&reply[2], a.tcpPort, 2);
        StoreLE(&reply[4], a.module->Config().serial, 4);
        reply[12] = a.module->Config().model;
        ssize_t sent = sendto(fd_, reply, sizeof reply, 0, reinterpret_cast<sockaddr*>(&to), sizeof to);
        a.module->Note(std::string("discovery request from ") + fromText + (sent == sizeof reply ? " answered" : " answer failed"));
    }
}

}  // namespace vmodule
