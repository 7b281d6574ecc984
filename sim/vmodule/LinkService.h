#ifndef VMODULE_LINKSERVICE_H
#define VMODULE_LINKSERVICE_H

// A module's TCP link service: listens on one address and hands every
// accepted connection to the module as a link.

#include <cstdint>
#include <string>

namespace vmodule {

class EventLoop;
class VirtualModule;

class LinkService {
public:
    LinkService(EventLoop& loop, VirtualModule& module) : loop_(loop), module_(module) {}
    ~LinkService();
    LinkService(const LinkService&) = delete;
    LinkService& operator=(const LinkService&) = delete;

    bool Listen(const std::string& host, uint16_t port, std::string& error);
    // A restarting module: connections are refused until it listens again,
    // on the same address and port so that hosts find it where it was.
    void Close();
    bool ListenAgain(std::string& error) { return Listen(host_, port_, error); }
    uint16_t Port() const { return port_; }
    // "IPV4:PORT" as bound.
    std::string Where() const { return host_ + ":" + std::to_string(port_); }

private:
    void OnAccept();

    EventLoop& loop_;
    VirtualModule& module_;
    int fd_ = -1;
    int watch_ = 0;
    std::string host_;
    uint16_t port_ = 0;
};

}  // namespace vmodule

#endif
