// What every module does with a frame from the host before any command
// handler sees it: the link-control frames, the heartbeat answers, the
// choice of the module the frame is for, and the dispatch by command byte.

#include "VirtualModule.h"

namespace vmodule {

void VirtualModule::Receive(HostLink& link, const Frame& frame)
{
    RecordReceived(frame);
    if (const FaultSwitch* drop = config_.faults.Find("drop-link");
        drop && link.framesReceived >= drop->args[0]) {
        link.Close("fault drop-link");
        return;
    }
    if (frame.address == kAddressQuery) {
        // Answered from this module's own address: that is how the host
        // learns it and finds the frame boundaries again.
        if (Fault("no-address-reply")) {
            Note("address query unanswered (fault no-address-reply)");
            return;
        }
        link.Send(Frame::Make(state_.address, {}));
        return;
    }
    if (frame.address == kRouteControl) {
        link.routed = frame.data[0] != 0;
        Note("link " + std::to_string(link.Id()) + " route " + (link.routed ? "on" : "off"));
        return;
    }
    VirtualModule* target = Target(frame.address);
    if (!target) {
        Note("frame for address " + Hex2(frame.address) + " ignored");
        return;
    }
    target->HandleCommand(link, frame);
}

// The module a frame is for: this one, or while "route to me" is on, the
// module on its I2C bus at that address, which answers through this link.
VirtualModule* VirtualModule::Target(uint8_t address)
{
    if (address == state_.address)
        return this;
    return state_.routeToMe ? ChildAt(address) : nullptr;
}

void VirtualModule::HandleCommand(HostLink& link, const Frame& frame)
{
    if (frame.length == 0) {
        Note("empty frame ignored");
        return;
    }
    uint8_t command = frame.data[0];
    if (command == 0) {
        Heartbeat_Answer(*this, link, frame);
        return;
    }
    const CommandHandler* handler = commands_.Find(command);
    if (!handler) {
        Note("command " + std::to_string(command) + " unhandled");
        return;
    }
    (*handler)(*this, link, frame);
}

}  // namespace vmodule
