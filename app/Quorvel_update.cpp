// Firmware update (-U) of a module running its normal firmware: choose and
// load the image, stamp a generic image with the serial number, connect
// (directly or through a router), check the image against the module, send
// the loader, find the module again when the loader restarted it, send the
// firmware, and record the transfer in the store.

#include "Quorvel_update.h"

#include <cctype>
#include <cerrno>
#include <cstdlib>
#include <memory>
#include <stdexcept>
#include <string>

#include "KeyValueStore.h"
#include "Log.h"
#include "Quorvel.h"
#include "QuorvelEntity.h"
#include "QuorvelStore.h"
#include "Quorvel_discover.h"
#include "SystemClass.h"
#include "UpdateServerRequest.h"
#include "aDefs.h"
#include "aTime.h"

using Veltrane::Lumastrix::Module;
using Veltrane::Lumastrix::SystemClass;

namespace {

const auto INFO = QuorvelDisplayInterface::LEVEL_INFO;
const auto ERROR = QuorvelDisplayInterface::LEVEL_ERROR;

// Passes everything on and counts the error lines, so that a failed update
// whose stage reported nothing gets a line of its own.
class ReportingDisplay final : public QuorvelDisplayInterface {
public:
    explicit ReportingDisplay(QuorvelDisplayInterface& out) : out_(out) { muted = out.muted; }

    int errors = 0;

    void display_progress(bool show) override { out_.display_progress(show); }
    void update_progress(double fraction, const char* label) override { out_.update_progress(fraction, label); }
    void update_spinner(bool active, const char* label) override { out_.update_spinner(active, label); }
    void info_message(const char* text) override { out_.info_message(text); }
    void error_message(const char* text) override
    {
        ++errors;
        out_.error_message(text);
    }

private:
    QuorvelDisplayInterface& out_;
};

// The server's build text as a number: leading blanks skipped, digits up to
// the first other character; anything else is logged and gives 0.
uint32_t _build_from_text(const std::string& text)
{
    const char* start = text.c_str();
    while (isspace(static_cast<unsigned char>(*start)))
        ++start;
    if (isdigit(static_cast<unsigned char>(*start))) {
        errno = 0;
        unsigned long long value = strtoull(start, nullptr, 10);
        if (errno != ERANGE && value <= UINT32_MAX)
            return static_cast<uint32_t>(value);
    }
    Log::log(DEBUG_Quorvel, "Error: Could not convert %s to int.\n", text.c_str());
    return 0;
}

// An attribute read as a build number the way GetInt reads it ("125.bird"
// gives 125, a path 0), without adding the key to the file when it is absent.
uint32_t _stored_build(const QuorvelStoreItem& item, const char* key)
{
    const char* value = item.attributes[key];
    long number = value ? strtol(value, nullptr, 10) : 0;
    return number > 0 ? static_cast<uint32_t>(number) : 0;
}

std::string _image_file_name(uint32_t build)
{
    return std::to_string(build) + Quorvel::IMAGE_EXTENSION;
}

// The build to transfer when none was asked for: the server's current one
// when the store has it, else the last download, else the last transfer;
// 0 when there is none.
uint32_t _choose_build(QuorvelDisplayInterface& display, const std::string& server, uint32_t serialNumber,
                       const QuorvelStoreItem& item, bool known)
{
    std::string current, firmware;
    UpdateServerRequest::QueryBuild(serialNumber, current, firmware, server.c_str());
    uint32_t build = _build_from_text(current);
    if (build != 0) {
        try {
            if (!known)
                throw std::runtime_error("no store entry");
            item.ReadBirdFile(_image_file_name(build));
        } catch (const std::runtime_error&) {
            display.message(INFO, "New firmware is available.  Quorvel will proceed if valid firmware is found locally.");
            build = 0;
        }
    }
    if (build == 0) {
        build = _stored_build(item, Quorvel::KEY_LATEST_DOWNLOAD);
        if (build != 0)
            display.message(INFO, "Updating with the Latest Download");
    }
    if (build == 0) {
        build = _stored_build(item, KEY_LATEST_TRANSFER);
        if (build != 0)
            display.message(INFO, "Updating with the Latest Transfer");
    }
    return build;
}

// USB first; a module that is not on USB is looked for over TCP/IP.
aErr _connect_direct(Module& module, uint32_t serialNumber)
{
    aErr err = module.connect(USB, serialNumber);
    if (err == aErrNotFound)
        err = module.connect(TCPIP, serialNumber);
    return err;
}

// The module's I2C address on the router's network; 0 (after the message)
// when the router's network does not show it.
uint8_t _find_routed_address(QuorvelDisplayInterface& display, Quorvel& engine, uint32_t serialNumber,
                             uint32_t routerSerial)
{
    std::vector<DeviceInfo> devices = engine.Discover_LXNetwork_Devices(routerSerial, INVALID);
    if (devices.empty()) {
        display.message(ERROR, "Unable to find modules on Network");
        return 0;
    }
    uint8_t address = 0;
    for (const DeviceInfo& device : devices)
        if (device.spec.serial_num == serialNumber)
            address = static_cast<uint8_t>(device.i2cAddress);
    if (address == 0)
        display.message(ERROR,
                        "Module address required for indirect firmware update, could not find serial number "
                        "[0x%08X] on network",
                        serialNumber);
    return address;
}

// The router a routed update goes through. While the update runs the router
// routes the host's packets to its I2C bus (without that they never reach
// the target); afterwards it is switched back, as the router scan does.
class RouterConnection {
public:
    RouterConnection() : router_(0, 0) { system_.init(&router_, 0); }
    ~RouterConnection()
    {
        if (routing_)
            system_.routeToMe(0);
        router_.disconnect();
    }
    RouterConnection(const RouterConnection&) = delete;
    RouterConnection& operator=(const RouterConnection&) = delete;

    Module& module() { return router_; }
    aErr StartRouting()
    {
        aErr err = system_.routeToMe(1);
        routing_ = err == aErrNone;
        return err;
    }

private:
    Module router_;
    SystemClass system_;
    bool routing_ = false;
};

// Connects the target directly or through the router (kept in `router` for
// the rest of the update); reports a failure.
bool _connect_target(QuorvelDisplayInterface& display, Quorvel& engine, Module& target, uint32_t serialNumber,
                     uint32_t routerSerial, std::unique_ptr<RouterConnection>& router)
{
    if (routerSerial == 0) {
        if (_connect_direct(target, serialNumber) == aErrNone)
            return true;
        display.message(ERROR, "Failed to connect to module [%08X]", serialNumber);
        return false;
    }
    if (target.getModuleAddress() == 0) {
        uint8_t address = _find_routed_address(display, engine, serialNumber, routerSerial);
        if (address == 0)
            return false;
        target.setModuleAddress(address);
    }
    router = std::make_unique<RouterConnection>();
    if (_disableWeave(router->module(), display) != aErrNone)
        return false;
    if (_connect_direct(router->module(), routerSerial) != aErrNone) {
        display.message(ERROR, "Failed to connect to link module [%08X]", routerSerial);
        return false;
    }
    aErr err = router->StartRouting();
    if (err != aErrNone) {
        display.message(ERROR, "Error %d on route to me", err);
        return false;
    }
    if (target.connectThroughLinkModule(&router->module()) != aErrNone) {
        display.message(ERROR, "Failed to connect to module [%08X]", serialNumber);
        return false;
    }
    return true;
}

// After the loader started, the module may come back as a new device: a
// module on USB is looked for again by its serial number. A module reached
// over TCP/IP or through a router cannot be found by a USB search; it is
// reconnected the way it was reached.
void _reconnect_loader(Module& target, uint32_t serialNumber, bool routed)
{
    linkSpec spec = {};
    bool usbSearch = !routed && target.getLinkSpecifier(&spec) == aErrNone && spec.type == USB;
    target.disconnect();
    for (int attempt = 0; attempt < RECONNECT_TRIES; ++attempt) {
        aErr err = usbSearch ? target.discoverAndConnect(USB, serialNumber) : target.reconnect();
        if (err == aErrNone && target.isConnected())
            return;
        // A link that came up without an answer to the address query is
        // still held; let go of it before the next try.
        target.disconnect();
        aTime_MSSleep(RECONNECT_PAUSE_MS);
    }
}

// Whether the module's restart shows as a dropped link. A TCP/IP link does
// not: its socket stream reconnects by itself, so the restart shows only as a
// lost connection, and a module that restarts without closing it shows
// nothing. Such a link gets one round of the wait, which the loss ends early.
bool _link_shows_restart(Module& module)
{
    linkSpec spec = {};
    return module.getLinkSpecifier(&spec) != aErrNone || spec.type != TCPIP;
}

}  // namespace

bool _validate_birdfile(QuorvelDisplayInterface& display, const BirdFile& image, Module& module,
                        uint32_t serialNumber)
{
    if (image.blocks.empty())
        return false;
    if (!image.hasSerialOffsets && !image.ValidateSerialNumber(serialNumber))
        return false;

    Log::log(DEBUG_Quorvel, "UpdateFirmware() Connecting to device\n");
    SystemClass system;
    system.init(&module, 0);
    uint32_t connected = 0;
    aErr err = system.getSerialNumber(&connected);
    if (err != aErrNone || connected != serialNumber) {
        Log::log(DEBUG_Quorvel, "Bird serial number and connected device don't match (%d).\n", err);
        return false;
    }
    uint8_t model = 0;
    err = system.getModel(&model);
    const char* modelName = aDefs_GetModelName(model);
    if (!image.ValidateModel(modelName)) {
        display.message(ERROR, "Connected device model and Bird file model do not match [%s] (%d)", modelName, err);
        return false;
    }
    return true;
}

aErr _transfer_loader(QuorvelDisplayInterface& display, Module& module, const BirdFile& image)
{
    QuorvelEntity entity;
    entity.init(&module, 0, true, false);
    aErr err = entity.LoaderInit();
    if (err != aErrNone) {
        Log::log(DEBUG_Quorvel, "Error starting loader [%d, %s].\n", err, aError_GetErrorText(err));
        return err;
    }

    display.message(INFO, "Transferring loader to device");
    std::vector<BirdBlock> blocks = image.FindBlocks(BirdFile::BLOCK_TYPE_LOADER);
    display.display_progress(true);
    int transferred = 0;
    int total = 0;
    for (const BirdBlock& block : blocks) {
        display.message(INFO, "Transferring loader block %d of %d, %d bytes", transferred + 1,
                        static_cast<int>(blocks.size()), static_cast<int>(block.length));
        uint16_t blockSize = 0;
        err = entity.TransferPrepare(block.data, block.length, block.flags, &blockSize);
        // Normal firmware need not answer PREPARE for a loader.
        if (err == aErrTimeout) {
            err = aErrNone;
        } else if (err != aErrNone) {
            Log::log(DEBUG_Quorvel, "Error Preparing transfer [%d, %s].\n", err, aError_GetErrorText(err));
            break;
        }
        err = entity.LoaderTransfer(block.data, block.length);
        if (err != aErrNone) {
            // A loader with a block missing must not be started.
            Log::log(DEBUG_Quorvel, "Error loader transfer [%d, %s].\n", err, aError_GetErrorText(err));
            break;
        }
        total += static_cast<int>(block.length);
        ++transferred;
    }
    display.message(INFO, "Transferred %d blocks, %d total bytes", transferred, total);
    display.display_progress(false);
    if (err != aErrNone)
        return err;

    display.message(INFO, "Starting Load on Device");
    err = entity.LoaderStart();
    if (err == aErrTimeout) {
        Log::log(DEBUG_Quorvel, "Timeout on LoaderStart. Usually indicates this is an iMX Load ignore err.\n");
        return aErrNone;
    }
    if (err != aErrNone)
        display.message(ERROR, "Error starting loader [%d, %s]", err, aError_GetErrorText(err));
    return err;
}

aErr _transfer_firmware(QuorvelDisplayInterface& display, Module& module, const BirdFile& image, bool throughRouter)
{
    QuorvelEntity entity;
    entity.init(&module, 0, true, throughRouter || !_link_shows_restart(module));
    Log::log(DEBUG_Quorvel, "Transferring firmware to device %s\n", image.path.c_str());
    std::vector<BirdBlock> blocks = image.FindBlocks(BirdFile::BLOCK_TYPE_FIRMWARE);
    aErr err = aErrNone;
    unsigned number = 0;
    int total = 0;
    for (const BirdBlock& block : blocks) {
        ++number;
        for (int attempt = 0; attempt < FIRMWARE_BLOCK_TRIES; ++attempt) {
            display.message(INFO, "Transferring firmware block %u of %u, %d bytes", number,
                            static_cast<unsigned>(blocks.size()), static_cast<int>(block.length));
            if (attempt > 0)
                display.message(INFO, "  Retry %d", attempt);
            uint16_t blockSize = 0;
            err = entity.TransferPrepare(block.data, block.length, block.flags, &blockSize);
            if (err != aErrNone) {
                Log::log(DEBUG_Quorvel, "Error firmware transfer init: [%d, %s].\n", err, aError_GetErrorText(err));
                break;
            }
            err = entity.FirmwareTransfer(block.data, block.length, blockSize, display);
            if (err == aErrNone)
                break;
            Log::log(DEBUG_Quorvel, "Error firmware transfer [%d, %s].\n", err, aError_GetErrorText(err));
        }
        if (err != aErrNone) {
            Log::log(DEBUG_Quorvel, "Error firmware transfer block failed.\n");
            break;
        }
        total += static_cast<int>(block.length);
    }
    display.message(INFO, "Transferred %d blocks, %d total bytes", static_cast<int>(err == aErrNone ? number : number - 1),
                    total);
    if (err != aErrNone)
        return err;
    return entity.LoaderReboot(display);
}

bool Quorvel::Update_Firmware(uint32_t serialNumber, uint32_t build, const std::string& birdFile,
                              uint8_t moduleAddress, uint32_t routerSerial, bool override)
{
    ReportingDisplay display(display_);
    if (serialNumber == 0) {
        display.message(ERROR, "Update command must specify the specific device");
        return false;
    }

    QuorvelStoreItem item;
    bool known = false;
    try {
        known = QuorvelStore(storageDirectory_).FindDevice(serialNumber, &item);
    } catch (const std::runtime_error& e) {
        display.message(ERROR, "%s", e.what());
        return false;
    }
    uint64_t start = aTime_GetMSTicks();

    if (birdFile.empty() && build == 0) {
        build = _choose_build(display, serverUrl_, serialNumber, item, known);
        if (build == 0) {
            display.message(ERROR, "Could not find valid build for this device.");
            return false;
        }
    }

    BirdFile image;
    try {
        image = load_bird(UPDATE_LABEL, birdFile, serialNumber, build, false);
    } catch (const std::runtime_error&) {
        display.message(ERROR, "Failed to load bird file");
        return false;
    }

    if (image.hasSerialOffsets) {
        Log::log(DEBUG_Quorvel, "Setting serial number into firmware... ");
        if (!image.ReplaceSerialNumber(serialNumber)) {
            Log::log(DEBUG_Quorvel, "Error: Unable to modify serial number in bird.\n");
            display.message(ERROR, "Unable to modify serial number in bird");
            return false;
        }
        Log::log(DEBUG_Quorvel, " Serial Number inserted into firmware.\n");
    }

    std::unique_ptr<RouterConnection> router;
    Module target(moduleAddress, 0);
    aErr err = _disableWeave(target, display);
    if (err == aErrNone && !_connect_target(display, *this, target, serialNumber, routerSerial, router))
        err = aErrConnection;
    if (err == aErrNone && !override && !_validate_birdfile(display, image, target, serialNumber)) {
        display.message(ERROR, "Birdfile failed validation");
        return false;
    }
    if (err == aErrNone)
        err = _transfer_loader(display, target, image);
    if (err == aErrNone && !target.isConnected())
        _reconnect_loader(target, serialNumber, routerSerial != 0);
    if (err == aErrNone)
        err = _transfer_firmware(display, target, image, routerSerial != 0);
    target.disconnect();

    if (err != aErrNone) {
        Log::log(DEBUG_Quorvel, "Failed _transfer_firmware(): %d\n", err);
        if (display.errors == 0)
            display.message(ERROR, "Firmware update failed [%d, %s]", err, aError_GetErrorText(err));
        return false;
    }

    std::string transferred = birdFile.empty() ? _image_file_name(build) : birdFile;
    try {
        // A device without a store entry gets one, so the record always lands.
        QuorvelStoreItem entry = known ? item : QuorvelStore(storageDirectory_).AddDevice(serialNumber);
        entry.attributes.Add(KEY_LATEST_TRANSFER, transferred);
        entry.attributes.Add(KEY_LAST_TRANSFER_DATE, KeyValueStore::TimeText());
        entry.attributes.Save();
    } catch (const std::runtime_error& e) {
        // The firmware is in; only the record is missing.
        display.message(ERROR, "Could not record the transfer: %s", e.what());
    }
    Log::log(DEBUG_Quorvel, "Updating device firmware: \n");
    display.message(INFO, "Update time: %.4f sec", static_cast<double>(aTime_GetMSTicks() - start) / 1000.0);
    return true;
}
