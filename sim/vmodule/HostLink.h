#ifndef VMODULE_HOSTLINK_H
#define VMODULE_HOSTLINK_H

// One connection from a host to a module: a TCP connection of the link
// service or a virtual USB attachment. Reads bytes into frames for the module
// and writes the module's frames, never blocking the program's one thread.

#include <cstdint>
#include <map>
#include <string>

#include "FrameAssembler.h"
#include "Heartbeat.h"

namespace vmodule {

class EventLoop;
class VirtualModule;

class HostLink {
public:
    // Takes over fd (non-blocking).
    HostLink(VirtualModule& module, EventLoop& loop, int id, int fd, std::string kind, std::string peer);
    ~HostLink();
    HostLink(const HostLink&) = delete;
    HostLink& operator=(const HostLink&) = delete;

    int Id() const { return id_; }
    // The module whose service or device this link came in on (a router for
    // frames its children answer).
    VirtualModule& Owner() { return module_; }
    const std::string& Kind() const { return kind_; }
    const std::string& Peer() const { return peer_; }
    bool IsOpen() const { return fd_ >= 0; }

    void Send(const Frame& frame);
    // Bytes outside any frame, for faults that garble the stream.
    void SendRaw(const std::string& bytes);
    void Close(const std::string& why);

    bool routed = false;          // route control 0xAF from this host
    HeartbeatState heartbeat;
    uint64_t framesReceived = 0;
    bool strayByteSent = false;

    // Byte strings being set, gathered frame by frame; keyed by module
    // address, option and index (SystemEntity.cpp).
    struct PendingBytes {
        std::string data;
        unsigned next = 0;  // sequence number expected next
    };
    std::map<uint32_t, PendingBytes> byteValues;

private:
    void OnReadable();
    void OnWritable();
    void Write(const std::string& bytes);

    VirtualModule& module_;
    EventLoop& loop_;
    int id_;
    int fd_;
    int watch_ = 0;
    std::string kind_;
    std::string peer_;
    FrameAssembler assembler_;
    std::string unsent_;
};

}  // namespace vmodule

#endif
