// The echo (command 23): the module sends the frame back as it came, command
// byte and data, from its own address. Hosts use it to test the link.

#include "VirtualModule.h"

namespace vmodule {

namespace {

constexpr uint8_t kEchoCommand = 23;

void HandleEcho(VirtualModule& module, HostLink& link, const Frame& request)
{
    module.Reply(link, request, request);
}

}  // namespace

void Echo_Register(CommandTable& table)
{
    table.Set(kEchoCommand, HandleEcho);
}

}  // namespace vmodule
