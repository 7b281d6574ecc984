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
    state_.router = config_.RouterAddress();
    state_.heartbeatMs = config_.heartbeatMs;
    SystemEntity_Register(commands_);
}

VirtualModule::~VirtualModule()
{
    CloseLinks("module stopped");
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
    if (request.length > 0 && Fault("drop-reply", {request.data[0]})) {
        Note("reply dropped (fault drop-reply)");
        return;
    }
    link.Send(reply);
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
