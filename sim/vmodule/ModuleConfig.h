#ifndef VMODULE_MODULECONFIG_H
#define VMODULE_MODULECONFIG_H

// What a virtual module is, and what the program serves. The same keys work
// in a configuration file ("key = value" lines, one "[module]" section per
// module, program keys before the first section) and on the command line
// ("--key value" or "--key=value"; "--module" begins the next module).
// Each key is one row of the tables in ModuleConfig.cpp; later behaviours add
// their settings as rows there.

#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "Faults.h"

namespace vmodule {

struct ModuleConfig {
    uint32_t serial = 0x40F5849A;
    uint8_t model = 13;
    uint8_t address = 2;
    uint8_t router = 0;               // 0: the module's own address
    uint32_t version = 0x2F021000;    // packed, current layout: 2.16.0
    uint32_t build = 1;
    uint32_t heartbeatMs = 1000;      // 0: no heartbeats
    bool tcp = true;
    std::string tcpHost = "127.0.0.1";
    uint16_t tcpPort = 0;             // 0: an ephemeral port
    bool usb = false;
    bool discoverable = true;         // answers discovery when the program's responder is on
    std::string record;               // traffic record file; empty: none
    FaultSet faults;
    uint32_t parent = 0;              // serial of the router this module sits behind; 0: reached directly
    bool linkGiven = false;           // tcp or usb set explicitly
    // Starting values of system entity options (option, value), and its name.
    std::vector<std::pair<uint8_t, uint32_t>> options;
    std::string name;
    bool option31Bytes = false;       // option 31 is the power behavior config byte string
    // The upgrade command (Upgrade.cpp).
    bool loadRestarts = true;         // LOAD restarts into the loader (links drop) instead of being answered
    uint32_t restartDelayMs = 500;    // how long a restarting module is away
    uint16_t blockSize = 256;         // payload bytes the loader takes between two WRITEs
    uint32_t loaderBase = 0x20000000; // the load base address INIT reports
    // What the firmware the loader wrote reports once started; unset: what ran before.
    std::optional<uint32_t> nextVersion;
    std::optional<uint32_t> nextBuild;
    std::string flashDump;            // the flash contents go to this file; empty: nowhere

    uint8_t RouterAddress() const { return router ? router : address; }
};

struct ProgramConfig {
    std::vector<ModuleConfig> modules;
    std::string discoveryInterface;   // IPv4 address to answer discovery on; empty: off
    std::string usbBus;               // the virtual USB bus's directory; empty: from the environment
};

// Parses the command line (and the configuration file it names). On failure
// `error` holds one line. `help` is set for --help.
bool ParseCommandLine(int argc, char** argv, ProgramConfig& config, bool& help, std::string& error);
bool ParseConfigFile(const std::string& path, ProgramConfig& config, std::string& error);
std::string Usage();

}  // namespace vmodule

#endif
