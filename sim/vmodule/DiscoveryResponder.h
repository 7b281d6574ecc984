#ifndef VMODULE_DISCOVERYRESPONDER_H
#define VMODULE_DISCOVERYRESPONDER_H

// Answers the hosts' TCP/IP discovery request (16 bytes, byte 0 = 1, sent to
// the multicast group 232.2.2.2 port 9888) with one 16-byte reply per module
// to the requester's port 9889: module address, link service port, serial
// number and model, little-endian. Off unless the program is given an
// interface; it joins a multicast group on that interface, so it belongs
// inside a private network namespace only.

#include <cstdint>
#include <string>
#include <vector>

namespace vmodule {

class EventLoop;
class VirtualModule;

constexpr uint16_t kDiscoveryRequestPort = 9888;
constexpr uint16_t kDiscoveryReplyPort = 9889;
constexpr const char* kDiscoveryGroup = "232.2.2.2";
constexpr size_t kDiscoveryMessageSize = 16;

class DiscoveryResponder {
public:
    explicit DiscoveryResponder(EventLoop& loop) : loop_(loop) {}
    ~DiscoveryResponder();
    DiscoveryResponder(const DiscoveryResponder&) = delete;
    DiscoveryResponder& operator=(const DiscoveryResponder&) = delete;

    void Add(VirtualModule& module, uint16_t tcpPort) { answering_.push_back({&module, tcpPort}); }
    bool Start(const std::string& interfaceAddress, std::string& error);

private:
    struct Answering {
        VirtualModule* module;
        uint16_t tcpPort;
    };

    void OnRequest();

    EventLoop& loop_;
    std::vector<Answering> answering_;
    int fd_ = -1;
    int watch_ = 0;
};

}  // namespace vmodule

#endif
