// quorvel-vmodule: virtual modules for tests and the demo. Each module speaks
// the device side of the packet protocol over a TCP link service (and the
// virtual USB bus), records the traffic it saw and can be told to misbehave.
// One thread runs everything; SIGTERM or SIGINT stops it cleanly.

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "DiscoveryResponder.h"
#include "EventLoop.h"
#include "LinkService.h"
#include "ModuleConfig.h"
#include "UsbAttachment.h"
#include "VirtualModule.h"

using namespace vmodule;

namespace {

struct ServedModule {
    std::unique_ptr<VirtualModule> module;
    std::unique_ptr<LinkService> tcp;
    std::unique_ptr<UsbAttachment> usb;
};

int Fail(const std::string& message, int status)
{
    fprintf(stderr, "quorvel-vmodule: %s\n", message.c_str());
    return status;
}

}  // namespace

int main(int argc, char** argv)
{
    ProgramConfig config;
    bool help = false;
    std::string error;
    if (!ParseCommandLine(argc, argv, config, help, error)) {
        fprintf(stderr, "quorvel-vmodule: %s (see --help)\n", error.c_str());
        return 2;
    }
    if (help) {
        fputs(Usage().c_str(), stdout);
        return 0;
    }

    EventLoop loop;
    if (!loop.Init(error))
        return Fail(error, 1);

    std::vector<ServedModule> served;
    for (const ModuleConfig& moduleConfig : config.modules) {
        std::shared_ptr<FrameRecord> record;
        if (!moduleConfig.record.empty() && !(record = FrameRecord::Open(moduleConfig.record, error)))
            return Fail(error, 1);
        ServedModule entry;
        entry.module = std::make_unique<VirtualModule>(loop, moduleConfig, record);
        if (moduleConfig.tcp) {
            entry.tcp = std::make_unique<LinkService>(loop, *entry.module);
            if (!entry.tcp->Listen(moduleConfig.tcpHost, moduleConfig.tcpPort, error))
                return Fail("module " + Hex8(moduleConfig.serial) + ": " + error, 1);
        }
        if (moduleConfig.usb) {
            std::string busDir = config.usbBus;
            if (busDir.empty() && getenv("QUORVEL_USBBUS_DIR"))
                busDir = getenv("QUORVEL_USBBUS_DIR");
            if (busDir.empty())
                return Fail("module " + Hex8(moduleConfig.serial) +
                                ": usb needs a bus (--usb-bus DIR or QUORVEL_USBBUS_DIR)", 2);
            entry.usb = std::make_unique<UsbAttachment>(loop, *entry.module);
            if (!entry.usb->Attach(busDir, error))
                return Fail("module " + Hex8(moduleConfig.serial) + ": " + error, 1);
        }
        entry.module->SetLinkEnds(entry.tcp.get(), entry.usb.get());
        served.push_back(std::move(entry));
    }
    // Modules behind a router hang on its I2C bus (the configuration checked
    // that each parent is there).
    for (auto& child : served)
        if (child.module->IsChild())
            for (auto& parent : served)
                if (parent.module->Config().serial == child.module->Config().parent)
                    parent.module->AddChild(*child.module);

    std::unique_ptr<DiscoveryResponder> discovery;
    if (!config.discoveryInterface.empty()) {
        // Joining a multicast group announces itself on the interface: only
        // inside the private namespaces that tools/netns/run-in-netns makes.
        const char* inside = getenv("QUORVEL_NETNS_PRIVATE");
        if (!inside || strcmp(inside, "1") != 0)
            return Fail("--discovery runs only inside a private network namespace (tools/netns/run-in-netns)", 2);
        discovery = std::make_unique<DiscoveryResponder>(loop);
        for (auto& entry : served)
            if (entry.tcp && entry.module->Config().discoverable)
                discovery->Add(*entry.module, entry.tcp->Port());
        if (!discovery->Start(config.discoveryInterface, error))
            return Fail(error, 1);
    }

    for (auto& entry : served) {
        std::string line = "module " + Hex8(entry.module->Config().serial);
        if (entry.tcp)
            line += " tcp " + entry.tcp->Where();
        if (entry.usb)
            line += " usb";
        if (entry.module->IsChild())
            line += " behind " + Hex8(entry.module->Config().parent) + " i2c " + Hex2(entry.module->Config().address);
        printf("%s\n", line.c_str());
    }
    // The last line, so a reader knows every module is up without counting.
    printf("ready\n");
    fflush(stdout);

    loop.Run();
    return 0;
}
