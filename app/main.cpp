// Quorvel: firmware update and maintenance of Lumastrix modules.

#include <cstdlib>
#include <string>

#include "CLI_Display.h"
#include "Log.h"
#include "Parameters.h"
#include "Quorvel.h"
#include "aDirectory.h"
#include "path.h"

namespace {

const auto INFO = QuorvelDisplayInterface::LEVEL_INFO;
const auto ERROR = QuorvelDisplayInterface::LEVEL_ERROR;

// The -i directory (or ~/.veltrane) joined with "quorvel", created 0755.
bool prepare_storage(QuorvelDisplayInterface& display, Parameters& params)
{
    if (params.storageDirectory.empty()) {
        char home[HOME_DIRECTORY_SIZE] = "";
        aErr err = aDirectory_GetHomeDirectory(home, sizeof home);
        if (err != aErrNone) {
            Log::log(DEBUG_APP, "Quorvel: FailedaDirectory_GetHomeDirectory()==> %d\n", err);
            return false;
        }
        params.storageDirectory = BuildPath(home, ".veltrane", nullptr);
    }
    params.storageDirectory = BuildPath(params.storageDirectory.c_str(), "quorvel", nullptr);
    if (aDirectory_Ensure(params.storageDirectory.c_str(), 0755) != aErrNone) {
        display.message(ERROR, "Could not find quorvel directory at %s", params.storageDirectory.c_str());
        return false;
    }
    return true;
}

int run_fingerprint(QuorvelDisplayInterface& display, Quorvel& engine, const Parameters& params, int& status)
{
    if (params.serialPort.empty()) {
        display.message(ERROR, "Must specify the serial port used for connecting");
        return EXIT_FAILURE;
    }
    Fingerprint fingerprint;
    if (engine.Get_Fingerprint(fingerprint, params.serialPort, Quorvel::DEFAULT_RECOVERY_SERIAL, params.birdFile,
                               params.baudRate, true)) {
        _display_fingerprint(display, fingerprint);
    } else {
        if (!engine.Unavailable())
            display.message(ERROR, "Got no response from chip");
        status = EXIT_FAILURE;
    }
    return -1;
}

int run_get(QuorvelDisplayInterface& display, Quorvel& engine, Parameters& params, int& status)
{
    if (params.serialNumber == 0) {
        display.message(ERROR, "-G must specify a specific device via -d");
        display.message(ERROR, "--help for usage information");
        return EXIT_FAILURE;
    }
    display.message(INFO, "Retrieving firmware for device with serial number %08X", params.serialNumber);
    if (!params.build.empty()) {
        display.message(INFO, "Retrieving firmware build %s", params.build.c_str());
    } else {
        display.message(INFO, "No build specified");
        display.message(INFO, "Using Latest build");
    }
    uint32_t build = engine.Download_Firmware(params.serialNumber, params.build, params.override, false);
    if (build != 0) {
        params.build = std::to_string(build);
        status = EXIT_SUCCESS;
    } else {
        status = EXIT_FAILURE;
    }
    return -1;
}

int run_discover(QuorvelDisplayInterface& display, Quorvel& engine, const Parameters& params)
{
    int32_t type = (params.transportGiven && params.transport != TRANSPORT_RECOVER) ? params.transport : INVALID;
    if (params.routerSerial != 0) {
        display.message(INFO, "Searching for Lumastrix Network devices connected to %08X", params.routerSerial);
        auto devices = engine.Discover_LXNetwork_Devices(params.routerSerial, static_cast<linkType>(type));
        _display_device_list(display, devices, type);
    } else {
        display.message(INFO, "Searching for Lumastrix devices");
        if (type == INVALID)
            type = USB;
        auto devices = engine.Discover_Devices(static_cast<linkType>(type));
        _display_device_list(display, devices, type);
    }
    return engine.Unavailable() ? EXIT_FAILURE : EXIT_SUCCESS;
}

// -b text as an unsigned decimal number; anything else means 0, the latest build.
uint32_t build_number(const std::string& build)
{
    if (build.empty() || build.find_first_not_of("0123456789") != std::string::npos)
        return 0;
    return static_cast<uint32_t>(strtoul(build.c_str(), nullptr, 10));
}

int run_update(QuorvelDisplayInterface& display, Quorvel& engine, const Parameters& params)
{
    uint32_t build = build_number(params.build);
    bool ok;
    if (params.transport == TRANSPORT_RECOVER) {
        ok = engine.Recover_Firmware(params.serialPort, build, params.baudRate, params.serialNumber,
                                     params.birdFile, params.override);
    } else if (params.serialNumber == 0) {
        display.message(ERROR, "Must specify the specific device to be updated");
        return EXIT_FAILURE;
    } else {
        ok = engine.Update_Firmware(params.serialNumber, build, params.birdFile, params.moduleAddress,
                                    params.routerSerial, params.override);
    }
    return ok ? EXIT_SUCCESS : EXIT_FAILURE;
}

int run_build_list(QuorvelDisplayInterface& display, Quorvel& engine, const Parameters& params)
{
    if (params.serialNumber == 0) {
        display.message(ERROR, "Error must supply a serial number for the List Builds command");
        _display_usage(false, false);
        return EXIT_FAILURE;
    }
    BuildMap builds = engine.Get_BuildList(params.serialNumber);
    _display_builds(display, builds, params.serialNumber);
    return engine.Unavailable() ? EXIT_FAILURE : EXIT_SUCCESS;
}

int run_check(QuorvelDisplayInterface& display, Quorvel& engine, const Parameters& params)
{
    if (params.birdFile.empty()) {
        display.message(ERROR, "-C must name the firmware file to check with -f");
        return EXIT_FAILURE;
    }
    return engine.Check_BirdFile(params.birdFile) ? EXIT_SUCCESS : EXIT_FAILURE;
}

}  // namespace

int main(int argc, char** argv)
{
    Parameters params;
    CLI_Display display;
    Log::SetOutput(stderr);

    if (_get_params(display, argc, argv, params) != 0) {
        _display_app_version(display);
        _display_copyright(display);
        _display_usage(false, false);
        return EXIT_FAILURE;
    }
    _display_app_version(display);

    if (params.commands.IsSet(CMD_HELP) || !params.commands.IsSet(CMD_ANY)) {
        _display_copyright(display);
        _display_usage(params.debugMaskGiven, params.helpRequested);
        return EXIT_SUCCESS;
    }

    if (!prepare_storage(display, params))
        return EXIT_FAILURE;

    Quorvel engine(params.serverUrl, params.storageDirectory, display);
    int status = EXIT_SUCCESS;

    // Fixed order: -N, then -G, then the first of -D, -U, -B, -C.
    if (params.commands.IsSet(CMD_FINGERPRINT)) {
        int exitNow = run_fingerprint(display, engine, params, status);
        if (exitNow >= 0)
            return exitNow;
    }
    if (params.commands.IsSet(CMD_GET)) {
        int exitNow = run_get(display, engine, params, status);
        if (exitNow >= 0)
            return exitNow;
    }

    if (params.commands.IsSet(CMD_DISCOVER))
        status = run_discover(display, engine, params);
    else if (params.commands.IsSet(CMD_UPDATE))
        status = run_update(display, engine, params);
    else if (params.commands.IsSet(CMD_BUILD_LIST))
        status = run_build_list(display, engine, params);
    else if (params.commands.IsSet(CMD_CHECK))
        status = run_check(display, engine, params);

    _release_params(params);
    return status;
}
