#ifndef VMODULE_HEARTBEAT_H
#define VMODULE_HEARTBEAT_H

// Heartbeats: every interval the module sends A, 2, 0, x on each open link
// (x alternating 0 and 1) and expects the host's answer A, 2, 0, x + 2 before
// the next one. Every check lands in the traffic record as an event:
// "heartbeat ok X", "heartbeat wrong expected Y got Z", "heartbeat missed X",
// "heartbeat unexpected Z".

#include <cstdint>

namespace vmodule {

class HostLink;
class VirtualModule;
struct Frame;

struct HeartbeatState {
    uint64_t timer = 0;
    bool awaiting = false;
    uint8_t sent = 0;   // x of the heartbeat awaiting its answer
    uint8_t next = 0;   // x of the next heartbeat
};

struct HeartbeatCounts {
    uint64_t sent = 0, ok = 0, wrong = 0, missed = 0;
};

void Heartbeat_Start(VirtualModule& module, HostLink& link);
void Heartbeat_Stop(VirtualModule& module, HostLink& link);
// A frame of command 0 from the host: the answer to a heartbeat.
void Heartbeat_Answer(VirtualModule& module, HostLink& link, const Frame& frame);

}  // namespace vmodule

#endif
