#include "Heartbeat.h"

#include <chrono>

#include "EventLoop.h"
#include "VirtualModule.h"

namespace vmodule {

namespace {

void Arm(VirtualModule& module, HostLink& link);

void Beat(VirtualModule& module, HostLink& link)
{
    HeartbeatState& hb = link.heartbeat;
    hb.timer = 0;
    if (hb.awaiting) {
        ++module.Heartbeats().missed;
        module.Note("link " + std::to_string(link.Id()) + " heartbeat missed " + Hex2(hb.sent));
    }
    hb.awaiting = true;
    hb.sent = hb.next;
    hb.next ^= 1;
    ++module.Heartbeats().sent;
    link.Send(Frame::Make(module.State().address, {0, hb.sent}));
    if (link.IsOpen())
        Arm(module, link);
}

void Arm(VirtualModule& module, HostLink& link)
{
    uint32_t interval = module.State().heartbeatMs;
    if (interval == 0)
        return;
    link.heartbeat.timer =
        module.Loop().After(std::chrono::milliseconds(interval), [&module, &link] { Beat(module, link); });
}

}  // namespace

void Heartbeat_Start(VirtualModule& module, HostLink& link)
{
    Heartbeat_Stop(module, link);
    Arm(module, link);
}

void Heartbeat_Stop(VirtualModule& module, HostLink& link)
{
    if (link.heartbeat.timer) {
        module.Loop().Cancel(link.heartbeat.timer);
        link.heartbeat.timer = 0;
    }
}

void Heartbeat_Answer(VirtualModule& module, HostLink& link, const Frame& frame)
{
    HeartbeatState& hb = link.heartbeat;
    std::string prefix = "link " + std::to_string(link.Id()) + " heartbeat ";
    uint8_t got = frame.length >= 2 ? frame.data[1] : 0;
    if (frame.length != 2) {
        module.Note(prefix + "malformed length " + std::to_string(frame.length));
        return;
    }
    if (!hb.awaiting) {
        module.Note(prefix + "unexpected " + Hex2(got));
        return;
    }
    hb.awaiting = false;
    uint8_t expected = static_cast<uint8_t>(hb.sent + 2);
    if (got == expected) {
        ++module.Heartbeats().ok;
        module.Note(prefix + "ok " + Hex2(hb.sent));
    } else {
        ++module.Heartbeats().wrong;
        module.Note(prefix + "wrong expected " + Hex2(expected) + " got " + Hex2(got));
    }
}

}  // namespace vmodule
