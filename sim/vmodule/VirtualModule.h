#ifndef VMODULE_VIRTUALMODULE_H
#define VMODULE_VIRTUALMODULE_H

// One simulated module: its configuration, its changing state, its open links
// and the table of command handlers that answer the host. Behaviours live in
// files of their own and register in the command table (SystemEntity.cpp for
// command 3, ...); frame handling common to all of them (address query, route
// control, heartbeats, dispatch) is in FrameHandling.cpp.

#include <array>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "Frame.h"
#include "FrameRecord.h"
#include "Heartbeat.h"
#include "HostLink.h"
#include "ModuleConfig.h"
#include "SystemEntity.h"
#include "Upgrade.h"

namespace vmodule {

class EventLoop;
class LinkService;
class UsbAttachment;
class VirtualModule;

using CommandHandler = std::function<void(VirtualModule& module, HostLink& link, const Frame& request)>;

// Handlers by command byte (the first data byte of a frame to the module).
class CommandTable {
public:
    void Set(uint8_t command, CommandHandler handler) { handlers_[command] = std::move(handler); }
    const CommandHandler* Find(uint8_t command) const
    {
        return handlers_[command] ? &handlers_[command] : nullptr;
    }

private:
    std::array<CommandHandler, 256> handlers_;
};

// What the host can change while the module runs.
struct ModuleState {
    uint8_t address = 0;
    bool routeToMe = false;       // a router passes frames for its children's addresses to them
    uint32_t heartbeatMs = 0;
    SystemValues system;          // the system entity's options as they are now
    SystemValues saved;           // what a reset goes back to
    std::string i2cData;          // what the last I2C write to this module carried
    uint32_t version = 0;         // of the firmware running now
    uint32_t build = 0;
    bool absent = false;          // restarting: no link service, no USB device, not on its router's bus
    UpgradeState upgrade;
};

class VirtualModule {
public:
    VirtualModule(EventLoop& loop, ModuleConfig config, std::shared_ptr<FrameRecord> record);
    ~VirtualModule();
    VirtualModule(const VirtualModule&) = delete;
    VirtualModule& operator=(const VirtualModule&) = delete;

    const ModuleConfig& Config() const { return config_; }
    ModuleState& State() { return state_; }
    const ModuleState& State() const { return state_; }
    EventLoop& Loop() { return loop_; }
    CommandTable& Commands() { return commands_; }
    HeartbeatCounts& Heartbeats() { return heartbeats_; }

    // A new connection from a host; the module takes over fd.
    HostLink& AddLink(int fd, const std::string& kind, const std::string& peer);
    HostLink* FindLink(int id);
    void ForEachLink(const std::function<void(HostLink&)>& visit);
    void CloseLinks(const std::string& why);

    // The TCP service and USB device the module is reached by (either may be
    // null); a restart takes them away and brings them back.
    void SetLinkEnds(LinkService* tcp, UsbAttachment* usb)
    {
        tcp_ = tcp;
        usb_ = usb;
    }
    // Goes away as a restarting module does and comes back after the
    // restart-delay, running `start` first. A module reached directly closes
    // its links, leaves the USB bus and stops listening on TCP (the same port
    // comes back); a module behind a router leaves the router's bus, and the
    // router's links stay up. Like a reset, it forgets unsaved settings.
    void Restart(const std::string& into, std::function<void()> start);

    // Modules on this module's I2C bus (configured with `parent`); one that is
    // restarting is not there.
    void AddChild(VirtualModule& child);
    VirtualModule* ChildAt(uint8_t address);
    bool IsChild() const { return config_.parent != 0; }

    // Called by a link for every whole frame and when it closed.
    void Receive(HostLink& link, const Frame& frame);
    void LinkClosed(HostLink& link);

    // An answer to `request`, subject to the reply faults.
    void Reply(HostLink& link, const Frame& request, const Frame& reply);

    bool Fault(const std::string& name, std::vector<uint32_t> args = {}) const
    {
        return config_.faults.Has(name, std::move(args));
    }

    // Traffic record; all are no-ops without a record file.
    bool Recording() const { return record_ != nullptr; }
    void RecordReceived(const Frame& frame);
    void RecordSent(const Frame& frame);
    void Note(const std::string& text);

private:
    void HandleCommand(HostLink& link, const Frame& frame);
    VirtualModule* Target(uint8_t address);
    void ComeBack();
    void ListenAgain(bool firstTry);

    EventLoop& loop_;
    ModuleConfig config_;
    ModuleState state_;
    std::shared_ptr<FrameRecord> record_;
    CommandTable commands_;
    HeartbeatCounts heartbeats_;
    std::map<int, std::unique_ptr<HostLink>> links_;
    int nextLink_ = 1;
    std::vector<VirtualModule*> children_;
    LinkService* tcp_ = nullptr;
    UsbAttachment* usb_ = nullptr;
    uint64_t restartTimer_ = 0;
};

// Registration of each behaviour's command handlers (the system entity's is
// in SystemEntity.h).
void I2CBus_Register(CommandTable& table);
void Echo_Register(CommandTable& table);
void Capabilities_Register(CommandTable& table);

// "2.16.0" for a version in the current layout, else the packed number "0x2A000006".
std::string VersionText(uint32_t version);

std::string Hex8(uint32_t value);   // "%08X"
std::string Hex2(uint32_t value);   // "%02X"

}  // namespace vmodule

#endif
