#include "VirtualModule.h"

#include <cstdio>

#include "EventLoop.h"

namespace vmodule {

std::string Hex8(uint32_t value)
{
    char text[16];
    snprintf(text, sizeof text, "%08X", static_cast<unsigned>(value));
    return text;
}

std::string VersionText(uint32_t version)
{
    char text[32];
    if (version >> 24 == 0x2F)
        snprintf(text, sizeof text, "%u.%u.%u", (version >> 16) & 0xFF, (version >> 8) & 0xFF, version & 0xFF);
    else
        snprintf(text, sizeof text, "0x%08X", static_cast<unsigned>(version));
    return text;
}

std::string Hex2(uint32_t value)
{
    char text[16];
    snprintf(text, sizeof text, "%02X", static_cast<unsigned>(value & 0xFF));
    return text;
}

VirtualModule::VirtualModule(EventLoop& loop, ModuleConfig config, std::shared_ptr<FrameRecord> record)
    : loop_(loop), config_(std::move(config)), record_(std::move(record))
{
    state_.address = config_.address;
    state_.heartbeatMs = config_.heartbeatMs;
    state_.version = config_.version;
    state_.build = config_.build;
    state_.system = state_.saved = SystemEntity_Defaults(config_);
    SystemEntity_Register(commands_);
    I2CBus_Register(commands_);
    Echo_Register(commands_);
    Capabilities_Register(commands_);
    Upgrade_Register(commands_);
}

void VirtualModule::AddChild(VirtualModule& child)
{
    children_.push_back(&child);
}

VirtualModule* VirtualModule::ChildAt(uint8_t address)
{
    for (VirtualModule* child : children_)
        if (child->State().address == address && !child->State().absent)
            return child;
    return nullptr;
}

VirtualModule::~VirtualModule()
{
    // Its service and device went first (main); only the timer is left.
    if (restartTimer_)
        loop_.Cancel(restartTimer_);
    CloseLinks("module stopped");
    Upgrade_DumpFlash(*this);
    Note("stopped heartbeats sent " + std::to_string(heartbeats_.sent) + " ok " + std::to_string(heartbeats_.ok) +
         " wrong " + std::to_string(heartbeats_.wrong) + " missed " + std::to_string(heartbeats_.missed));
}

HostLink& VirtualModule::AddLink(int fd, const std::string& kind, const std::string& peer)
{
    int id = nextLink_++;
    auto link = std::make_unique<HostLink>(*this, loop_, id, fd, kind, peer);
    HostLink& added = *link;
    links_[id] = std::move(link);
    Note("link " + std::to_string(id) + " " + kind + " open " + peer);
    Heartbeat_Start(*this, added);
    return added;
}

HostLink* VirtualModule::FindLink(int id)
{
    auto it = links_.find(id);
    return it == links_.end() || !it->second->IsOpen() ? nullptr : it->second.get();
}

void VirtualModule::ForEachLink(const std::function<void(HostLink&)>& visit)
{
    for (auto& [id, link] : links_)
        if (link->IsOpen())
            visit(*link);
}

void VirtualModule::CloseLinks(const std::string& why)
{
    for (auto& [id, link] : links_)
        if (link->IsOpen())
            link->Close(why);
}

void VirtualModule::LinkClosed(HostLink& link)
{
    Heartbeat_Stop(*this, link);
    // The link's own callback may be on the stack: free it afterwards.
    int id = link.Id();
    loop_.Defer([this, id] { links_.erase(id); });
}

void VirtualModule::Reply(HostLink& link, const Frame& request, const Frame& reply)
{
    if (request.length == 0) {
        link.Send(reply);
        return;
    }
    uint8_t command = request.data[0];
    if (Fault("drop-reply", {command})) {
        Note("reply dropped (fault drop-reply)");
        return;
    }
    Frame sent = reply;
    if (const FaultSwitch* wrong = config_.faults.Find("wrong-length", {command})) {
        sent.length = static_cast<uint8_t>(wrong->args[1]);
        for (size_t i = reply.length; i < sent.length; ++i)
            sent.data[i] = 0;
        Note("reply length " + std::to_string(reply.length) + " made " + std::to_string(sent.length) +
             " (fault wrong-length)");
    }
    if (const FaultSwitch* late = config_.faults.Find("late-reply", {command})) {
        // The link may be gone by then: look it up again through its owner.
        VirtualModule* owner = &link.Owner();
        int id = link.Id();
        Note("reply held " + std::to_string(late->args[1]) + " ms (fault late-reply)");
        loop_.After(std::chrono::milliseconds(late->args[1]), [owner, id, sent] {
            if (HostLink* still = owner->FindLink(id))
                still->Send(sent);
        });
        return;
    }
    link.Send(sent);
}

void VirtualModule::RecordReceived(const Frame& frame)
{
    if (record_)
        record_->Received(frame);
}

void VirtualModule::RecordSent(const Frame& frame)
{
    if (record_)
        record_->Sent(frame);
}

void VirtualModule::Note(const std::string& text)
{
    if (record_)
        record_->Event(config_.serial, text);
}

}  // namespace vmodule
