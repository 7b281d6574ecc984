// The router scan of the discover command: 126 I2C addresses probed one
// after another on a router with two modules behind it, each answering
// module then connected and read. Its wall time is compared with its floor,
// measured on the same link in the same run: 126 single I2C write round
// trips plus two full connections (connect through the router, serial
// number, build, version, module and router address, model, disconnect).
// Scan and floor alternate in rounds; the medians and their ratio are
// printed.
//
// Both over TCP on 127.0.0.1 and over the virtual USB bus (the program
// runs itself again with the bus preloaded).
//
// Usage: bench_routerscan [--rounds N]

#include <arpa/inet.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <stdexcept>
#include <string>
#include <vector>

#include <memory>

#include "I2CClass.h"
#include "Module.h"
#include "Quorvel_discover.h"
#include "SystemClass.h"
#include "UsbBus.h"
#include "VModuleProcess.h"
#include "lxusb_identity.h"
#include "testsupport.h"
#include "usbbus_control.h"

using Veltrane::Lumastrix::I2CClass;
using Veltrane::Lumastrix::Module;
using Veltrane::Lumastrix::SystemClass;

namespace {

typedef std::chrono::steady_clock Clock;

const uint8_t kRouterAddress = 0x20;
const uint8_t kChildren[] = {0x0A, 0x80};
const uint8_t kEmptyAddress = 0x40;   // nobody there: the probe's failing round trip
const int kProbes = 126;
const uint8_t kProbe[] = {0, 0};

// Messages would only disturb the figures; there should be none.
class QuietDisplay final : public QuorvelDisplayInterface {
public:
    void display_progress(bool) override {}
    void update_progress(double, const char*) override {}
    void update_spinner(bool, const char*) override {}
    void info_message(const char* text) override { fprintf(stderr, "%s\n", text); }
    void error_message(const char* text) override { fprintf(stderr, "%s\n", text); }
};

// The virtual module program with the router and its two modules, on
// 127.0.0.1 or on a virtual USB bus.
struct VirtualRouter {
    explicit VirtualRouter(bool usb)
    {
        std::vector<std::string> args = {"--serial", "D272031D", "--address", "32", "--model", "19"};
        if (usb) {
            setenv(usbbus::kDirEnv, bus.path().c_str(), 1);
            setenv(LUMASTRIX_NODE_DIR_ENV, nodes.path().c_str(), 1);
            args.insert(args.end(), {"--usb-bus", bus.path(), "--tcp", "off", "--usb", "on"});
        }
        args.insert(args.end(), {"--module", "--serial", "2181F0EE", "--parent", "D272031D", "--address", "10",
                                 "--model", "14", "--module", "--serial", "C0DE", "--parent", "D272031D",
                                 "--address", "128", "--model", "5"});
        program.reset(new testsupport::VModuleProcess(args));
        spec.serial_num = 0xD272031D;
        if (usb) {
            spec.type = USB;
            spec.usb_id = spec.serial_num;
        } else {
            spec.type = TCPIP;
            inet_pton(AF_INET, "127.0.0.1", &spec.ip_address);
            spec.port = static_cast<uint32_t>(program->port());
        }
    }

    testsupport::TempDir bus;
    testsupport::TempDir nodes;
    std::unique_ptr<testsupport::VModuleProcess> program;
    linkSpec spec = {};
};

double MillisecondsSince(Clock::time_point start)
{
    return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
}

double Median(std::vector<double> values)
{
    std::sort(values.begin(), values.end());
    size_t n = values.size();
    return n % 2 ? values[n / 2] : (values[n / 2 - 1] + values[n / 2]) / 2;
}

void Check(aErr err, const char* what)
{
    if (err != aErrNone)
        throw std::runtime_error(std::string(what) + " failed with error " + std::to_string(err));
}

// The scan as the discover command runs it.
double TimeScan(QuietDisplay& display, Module& router, const linkSpec& spec)
{
    Clock::time_point start = Clock::now();
    std::vector<DeviceInfo> found = _scan_router(display, router, spec);
    double ms = MillisecondsSince(start);
    if (found.size() != sizeof kChildren)
        throw std::runtime_error("the scan found " + std::to_string(found.size()) + " modules, not 2");
    return ms;
}

struct Floor {
    double writesMs = 0;
    double connectionsMs = 0;
};

// The same exchanges one by one, without the scan around them.
Floor TimeFloor(QuietDisplay& display, Module& router)
{
    SystemClass routerSystem;
    routerSystem.init(&router, 0);
    Check(routerSystem.routeToMe(1), "route to me");
    I2CClass bus;
    bus.init(&router, 0);
    bus.setSpeed(I2C_SCAN_SPEED);

    Floor floor;
    Clock::time_point start = Clock::now();
    for (int i = 0; i < kProbes; i++)
        if (bus.write(kEmptyAddress, sizeof kProbe, kProbe) != aErrNotFound)
            throw std::runtime_error("an empty I2C address answered");
    floor.writesMs = MillisecondsSince(start);

    start = Clock::now();
    for (uint8_t address : kChildren) {
        Module child(address, false, 0);
        _disableWeave(child, display);
        Check(child.connectThroughLinkModule(&router), "connect through the router");
        SystemClass system;
        system.init(&child, 0);
        uint32_t serial = 0;
        Check(system.getSerialNumber(&serial), "serial number");
        DeviceInfo info;
        if (_get_build_number(child) == 0)
            throw std::runtime_error("no build number");
        Check(_get_version(child, info), "version");
        uint8_t model = 0;
        Check(system.getModel(&model), "model");
        child.disconnect();
    }
    floor.connectionsMs = MillisecondsSince(start);
    Check(routerSystem.routeToMe(0), "route to me off");
    return floor;
}

void Run(bool usb, int rounds)
{
    VirtualRouter program(usb);
    QuietDisplay display;
    Module router(DIRECT_MODULE_ADDRESS, 0);
    Check(_disableWeave(router, display), "settings");
    const linkSpec& spec = program.spec;
    Check(router.connectFromSpec(spec), "connect to the router");

    std::vector<double> scans, writes, connections, floors;
    TimeScan(display, router, spec);   // warm-up
    for (int r = 0; r < rounds; r++) {
        scans.push_back(TimeScan(display, router, spec));
        Floor f = TimeFloor(display, router);
        writes.push_back(f.writesMs);
        connections.push_back(f.connectionsMs);
        floors.push_back(f.writesMs + f.connectionsMs);
    }
    router.disconnect();

    double scan = Median(scans), floor = Median(floors);
    printf("router scan over %s: router at 0x%02X, modules at 0x%02X and 0x%02X; %d rounds, medians\n",
           usb ? "the virtual USB bus" : "TCP on 127.0.0.1", kRouterAddress, kChildren[0], kChildren[1], rounds);
    printf("    scan of %d addresses             %8.2f ms\n", kProbes, scan);
    printf("    floor                             %8.2f ms\n", floor);
    printf("      %d I2C write round trips      %8.2f ms  (%.1f us each)\n", kProbes, Median(writes),
           1000 * Median(writes) / kProbes);
    printf("      2 full connections            %8.2f ms  (%.2f ms each)\n", Median(connections),
           Median(connections) / 2);
    printf("    ratio scan / floor                %8.2f\n", scan / floor);
    for (int r = 0; r < rounds; r++)
        printf("      round %d: scan %.2f ms, floor %.2f ms\n", r + 1, scans[r], floors[r]);
}

}  // namespace

int main(int argc, char** argv)
{
    // The USB half runs the library's real USB code on the virtual bus.
    testsupport::ReexecWithUsbBus(argv);
    int rounds = 7;
    for (int i = 1; i < argc; i++) {
        if (strcmp(argv[i], "--rounds") == 0 && i + 1 < argc) {
            rounds = atoi(argv[++i]);
        } else {
            fprintf(stderr, "usage: bench_routerscan [--rounds N]\n");
            return 2;
        }
    }
    if (rounds < 1)
        rounds = 1;
    try {
        Run(false, rounds);
        Run(true, rounds);
        return 0;
    } catch (const std::exception& e) {
        fprintf(stderr, "bench_routerscan: %s\n", e.what());
        return 1;
    }
}
