// Discovery (-D): modules reached directly over USB or TCP/IP, and modules on
// a router's I2C network. Only reads; nothing goes into the store.

#include "Quorvel_discover.h"

#include <cstring>
#include <memory>

#include "I2CClass.h"
#include "Log.h"
#include "SystemClass.h"
#include "aVersion.h"
#include "discover.h"

using Veltrane::Lumastrix::I2CClass;
using Veltrane::Lumastrix::Module;
using Veltrane::Lumastrix::SystemClass;
using Veltrane::Lumastrix::aWeaveConfig;

namespace {

struct LinkSpecRelease {
    void operator()(linkSpec* spec) const { aLinkSpec_Destroy(&spec); }
};
typedef std::unique_ptr<linkSpec, LinkSpecRelease> FoundSpec;

// The I2C probe: two zero bytes; only an address where a module sits acknowledges.
const uint8_t I2C_PROBE[] = {0, 0};

bool _discovered_device(const linkSpec* found, bool* success, void* reference)
{
    DeviceInfo info;
    info.spec = *found;
    static_cast<std::vector<DeviceInfo>*>(reference)->push_back(info);
    *success = true;
    return true;
}

struct LinkSearch {
    uint32_t serial;
    linkType found;
};

bool _discovered_link(const linkSpec* found, bool* success, void* reference)
{
    LinkSearch* search = static_cast<LinkSearch*>(reference);
    *success = true;
    if (found->serial_num != search->serial)
        return true;
    Log::log(DEBUG_Network_LINK, "NETWORK: Found device [%08X] via link type [%d]\n", found->serial_num,
             found->type);
    search->found = static_cast<linkType>(found->type);
    return false;
}

// The link type over which the module with this serial number answers, USB
// first; INVALID when none does.
linkType _discover_link_type(uint32_t serial)
{
    LinkSearch search = {serial, INVALID};
    aDiscovery_EnumerateModules(USB, _discovered_link, &search, DISCOVERY_INTERFACE);
    if (search.found == INVALID)
        aDiscovery_EnumerateModules(TCPIP, _discovered_link, &search, DISCOVERY_INTERFACE);
    return search.found;
}

// Connects to a directly discovered module and reads its identity into info.
void _read_direct_device(QuorvelDisplayInterface& display, DeviceInfo& info)
{
    info.modelName = aDefs_GetModelName(info.spec.model);
    Module module(DIRECT_MODULE_ADDRESS, 0);
    if (_disableWeave(module, display) != aErrNone)
        return;
    aErr err = module.connectFromSpec(info.spec);
    if (err != aErrNone) {
        info.error = err;
    } else {
        info.buildNumber = _get_build_number(module);
        info.error = _get_version(module, info);
    }
    // A connect that failed after the link came up (no address learnt) still holds it.
    module.disconnect();
}

// The module at this I2C address behind the connected router, if one
// answers the probe, can be connected through the router and tells its
// serial number.
bool _read_routed_device(QuorvelDisplayInterface& display, Module& router, const linkSpec& routerSpec,
                         I2CClass& bus, uint8_t address, DeviceInfo& info)
{
    Log::log(DEBUG_Quorvel, "Searching Address 0x%02x\n", address);
    if (bus.write(address, sizeof I2C_PROBE, I2C_PROBE) != aErrNone)
        return false;

    Log::log(DEBUG_Quorvel, "Attempt Connect on address: 0x%02x\n", address);
    Module module(address, false, 0);
    _disableWeave(module, display);
    if (module.connectThroughLinkModule(&router) != aErrNone)
        return false;
    SystemClass system;
    system.init(&module, 0);
    uint32_t serial = 0;
    if (system.getSerialNumber(&serial) != aErrNone) {
        module.disconnect();
        return false;
    }
    Log::log(DEBUG_Quorvel, "Got Serial [0x%08X]\n", serial);

    // The entry shows how the router is reached (its IP address and port).
    memcpy(info.spec.variant, routerSpec.variant, sizeof info.spec.variant);
    info.spec.type = routerSpec.type;
    info.spec.serial_num = serial;
    info.spec.router = router.getModuleAddress();
    info.spec.router_serial_num = routerSpec.serial_num;
    info.i2cAddress = address;
    info.buildNumber = _get_build_number(module);
    info.error = _get_version(module, info);
    uint8_t model = 0;
    aErr err = system.getModel(&model);
    if (err == aErrNone) {
        info.spec.model = model;
        info.modelName = aDefs_GetModelName(model);
    } else {
        info.error = err;
    }
    module.disconnect();
    return true;
}

}  // namespace

aErr _disableWeave(Module& module, QuorvelDisplayInterface& display)
{
    aWeaveConfig config;
    config.serverMode = false;
    config.fallbackToOther = false;
    aErr err = module.setConfig(config);
    if (err != aErrNone)
        display.message(QuorvelDisplayInterface::LEVEL_ERROR, "Failed to SET network configuration");
    return err;
}

uint32_t _get_build_number(Module& module)
{
    Veltrane::Lumastrix::Link* link = module.getLink();
    if (!link)
        return 0;
    const uint8_t address = module.getModuleAddress();
    const uint8_t query = BUILD_NUMBER_QUERY;
    if (link->sendPacket(address, BUILD_NUMBER_COMMAND, 1, &query) != aErrNone)
        return 0;
    const uint8_t match[] = {BUILD_NUMBER_COMMAND, BUILD_NUMBER_QUERY};
    uint8_t length = sizeof match;
    uint8_t reply[aPACKET_MAX_DATA];
    if (link->receivePacket(address, match, &length, reply) != aErrNone || length != BUILD_NUMBER_REPLY_LENGTH)
        return 0;
    return static_cast<uint32_t>(reply[2]) << 24 | static_cast<uint32_t>(reply[3]) << 16 |
           static_cast<uint32_t>(reply[4]) << 8 | reply[5];
}

aErr _get_version(Module& module, DeviceInfo& info)
{
    SystemClass system;
    system.init(&module, 0);
    uint32_t version = 0;
    aErr err = system.getVersion(&version);
    if (err != aErrNone)
        return err;
    info.versionMajor = aVersion_ParseMajor(version);
    info.versionMinor = aVersion_ParseMinor(version);
    info.versionPatch = aVersion_ParsePatch(version);
    uint8_t address = 0;
    if ((err = system.getModule(&address)) != aErrNone)
        return err;
    info.spec.module = address;
    if ((err = system.getRouter(&address)) != aErrNone)
        return err;
    info.spec.router = address;
    return aErrNone;
}

std::vector<DeviceInfo> _scan_router(QuorvelDisplayInterface& display, Module& router, const linkSpec& routerSpec)
{
    std::vector<DeviceInfo> devices;
    SystemClass system;
    system.init(&router, 0);
    aErr err = system.routeToMe(1);
    if (err != aErrNone) {
        display.message(QuorvelDisplayInterface::LEVEL_ERROR, "Error %d on route to me", err);
        return devices;
    }
    I2CClass bus;
    bus.init(&router, 0);
    bus.setSpeed(I2C_SCAN_SPEED);
    // One probe after the other, each waiting only for its own answer.
    for (unsigned address = I2C_SCAN_FIRST; address < I2C_SCAN_END; address += 2) {
        if (address == router.getModuleAddress())
            continue;
        DeviceInfo info;
        if (_read_routed_device(display, router, routerSpec, bus, static_cast<uint8_t>(address), info))
            devices.push_back(info);
    }
    system.routeToMe(0);
    return devices;
}

std::vector<DeviceInfo> Quorvel::Discover_Devices(linkType type)
{
    std::vector<linkType> types = {type};
    if (type == INVALID)
        types = {USB, TCPIP};
    std::vector<DeviceInfo> devices;
    for (linkType t : types)
        aDiscovery_EnumerateModules(t, _discovered_device, &devices, DISCOVERY_INTERFACE);
    for (DeviceInfo& info : devices)
        _read_direct_device(display_, info);
    return devices;
}

std::vector<DeviceInfo> Quorvel::Discover_LXNetwork_Devices(uint32_t routerSerial, linkType type)
{
    std::vector<DeviceInfo> devices;
    if (type == INVALID)
        type = _discover_link_type(routerSerial);
    FoundSpec found(aDiscovery_FindModule(type, routerSerial, DISCOVERY_INTERFACE));
    if (!found)
        return devices;

    Log::log(DEBUG_Quorvel, "Found Link Module\n");
    Module router(DIRECT_MODULE_ADDRESS, 0);
    _disableWeave(router, display_);
    aErr err = router.connectFromSpec(*found);
    if (err != aErrNone) {
        display_.message(QuorvelDisplayInterface::LEVEL_ERROR, "Error %d on connectFromSpec", err);
        return devices;
    }
    devices = _scan_router(display_, router, *found);
    router.disconnect();
    return devices;
}
