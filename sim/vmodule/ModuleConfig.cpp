#include "ModuleConfig.h"

#include <arpa/inet.h>

#include <cctype>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <map>
#include <set>

#include "SystemEntity.h"

namespace vmodule {

namespace {

bool ParseNumber(const std::string& text, uint64_t max, uint64_t& value, int base = 0)
{
    if (text.empty() || text[0] == '-' || text[0] == '+' || isspace(static_cast<unsigned char>(text[0])))
        return false;
    char* end = nullptr;
    errno = 0;
    unsigned long long parsed = strtoull(text.c_str(), &end, base);
    if (errno || *end || parsed > max)
        return false;
    value = parsed;
    return true;
}

bool ParseAddress(const std::string& text, uint8_t& address, std::string& error)
{
    uint64_t value = 0;
    if (!ParseNumber(text, 255, value) || value == 0 || value % 2) {
        error = "a module address is even, from 2 to 254";
        return false;
    }
    address = static_cast<uint8_t>(value);
    return true;
}

bool ParseSwitch(const std::string& text, bool& on, std::string& error)
{
    if (text == "on" || text == "yes" || text == "1") {
        on = true;
        return true;
    }
    if (text == "off" || text == "no" || text == "0") {
        on = false;
        return true;
    }
    error = "expected on or off";
    return false;
}

// "M.m.p" packs in the current layout; a plain number is taken as packed
// already, which is how tests give legacy-layout versions.
bool ParseVersion(const std::string& text, uint32_t& version, std::string& error)
{
    uint64_t value = 0;
    if (text.find('.') == std::string::npos) {
        if (ParseNumber(text, UINT32_MAX, value)) {
            version = static_cast<uint32_t>(value);
            return true;
        }
    } else {
        uint64_t parts[3];
        size_t start = 0;
        int count = 0;
        for (; count < 3; ++count) {
            size_t dot = text.find('.', start);
            if ((count < 2) != (dot != std::string::npos))
                break;
            if (!ParseNumber(text.substr(start, dot - start), 255, parts[count], 10))
                break;
            start = dot + 1;
        }
        if (count == 3) {
            version = 0x2F000000u | static_cast<uint32_t>(parts[0] << 16 | parts[1] << 8 | parts[2]);
            return true;
        }
    }
    error = "a version is MAJOR.MINOR.PATCH (each 0..255) or a packed 32-bit number";
    return false;
}

bool ParseTcp(const std::string& text, ModuleConfig& m, std::string& error)
{
    if (text == "off") {
        m.tcp = false;
        return true;
    }
    size_t colon = text.rfind(':');
    std::string host = colon == std::string::npos ? m.tcpHost : text.substr(0, colon);
    std::string port = colon == std::string::npos ? text : text.substr(colon + 1);
    struct in_addr parsed;
    uint64_t value = 0;
    if (inet_pton(AF_INET, host.c_str(), &parsed) != 1 || !ParseNumber(port, 65535, value, 10)) {
        error = "expected off, PORT or IPV4:PORT (port 0 picks a free one)";
        return false;
    }
    m.tcp = true;
    m.tcpHost = host;
    m.tcpPort = static_cast<uint16_t>(value);
    return true;
}

// "OPT:VALUE": a starting value for one system entity option. Signed options
// take negative values, stored as their two's complement.
bool ParseOptionSetting(const std::string& text, ModuleConfig& m, std::string& error)
{
    size_t colon = text.find(':');
    uint64_t option = 0;
    std::string value = colon == std::string::npos ? "" : text.substr(colon + 1);
    bool negative = !value.empty() && value[0] == '-';
    uint64_t magnitude = 0;
    if (colon == std::string::npos || !ParseNumber(text.substr(0, colon), 63, option) ||
        !ParseNumber(negative ? value.substr(1) : value, UINT32_MAX, magnitude)) {
        error = "expected OPTION:VALUE, an option 0..63 and a number";
        return false;
    }
    int64_t signedValue = negative ? -static_cast<int64_t>(magnitude) : static_cast<int64_t>(magnitude);
    if (!SystemEntity_CheckSetting(static_cast<uint8_t>(option), signedValue, error))
        return false;
    m.options.emplace_back(static_cast<uint8_t>(option), static_cast<uint32_t>(signedValue));
    return true;
}

struct ModuleKey {
    const char* name;
    const char* value;
    const char* help;
    bool (*apply)(ModuleConfig&, const std::string&, std::string&);
};

const ModuleKey kModuleKeys[] = {
    {"serial", "HEX", "serial number, 1 to 8 hex digits, not 0 (40F5849A)",
     [](ModuleConfig& m, const std::string& v, std::string& e) {
         uint64_t value = 0;
         if (v.size() > 8 || !ParseNumber(v, UINT32_MAX, value, 16) || value == 0) {
             e = "a serial number is 1 to 8 hex digits, not 0";
             return false;
         }
         m.serial = static_cast<uint32_t>(value);
         return true;
     }},
    {"model", "N", "model number 0..255 (13)",
     [](ModuleConfig& m, const std::string& v, std::string& e) {
         uint64_t value = 0;
         if (!ParseNumber(v, 255, value)) {
             e = "a model number is 0..255";
             return false;
         }
         m.model = static_cast<uint8_t>(value);
         return true;
     }},
    {"address", "N", "module address, even, 2..254 (2)",
     [](ModuleConfig& m, const std::string& v, std::string& e) { return ParseAddress(v, m.address, e); }},
    {"router", "N", "router address, even (the module's own)",
     [](ModuleConfig& m, const std::string& v, std::string& e) { return ParseAddress(v, m.router, e); }},
    {"version", "V", "firmware version: M.m.p, or the packed number (2.16.0)",
     [](ModuleConfig& m, const std::string& v, std::string& e) { return ParseVersion(v, m.version, e); }},
    {"build", "N", "firmware build number (1)",
     [](ModuleConfig& m, const std::string& v, std::string& e) {
         uint64_t value = 0;
         if (!ParseNumber(v, UINT32_MAX, value)) {
             e = "a build number is a 32-bit unsigned number";
             return false;
         }
         m.build = static_cast<uint32_t>(value);
         return true;
     }},
    {"heartbeat", "MS", "heartbeat interval in milliseconds, 0 for none (1000)",
     [](ModuleConfig& m, const std::string& v, std::string& e) {
         uint64_t value = 0;
         if (!ParseNumber(v, 3600000, value, 10)) {
             e = "a heartbeat interval is 0..3600000 milliseconds";
             return false;
         }
         m.heartbeatMs = static_cast<uint32_t>(value);
         return true;
     }},
    {"tcp", "IPV4:PORT|off", "TCP link service (127.0.0.1:0)",
     [](ModuleConfig& m, const std::string& v, std::string& e) {
         m.linkGiven = true;
         return ParseTcp(v, m, e);
     }},
    {"usb", "on|off", "attach to the virtual USB bus (off)",
     [](ModuleConfig& m, const std::string& v, std::string& e) {
         m.linkGiven = true;
         return ParseSwitch(v, m.usb, e);
     }},
    {"discoverable", "on|off", "answer discovery requests when --discovery is on (on)",
     [](ModuleConfig& m, const std::string& v, std::string& e) { return ParseSwitch(v, m.discoverable, e); }},
    {"record", "PATH", "write the traffic record to PATH",
     [](ModuleConfig& m, const std::string& v, std::string& e) {
         if (v.empty()) {
             e = "a record path is needed";
             return false;
         }
         m.record = v;
         return true;
     }},
    {"fault", "NAME[:ARGS]", "switch a fault on (see the list below)",
     [](ModuleConfig& m, const std::string& v, std::string& e) { return m.faults.Add(v, e); }},
    {"parent", "HEX", "sit on the I2C bus of the module with this serial, at the\n"
     "                        module address; reached only through its links (none)",
     [](ModuleConfig& m, const std::string& v, std::string& e) {
         uint64_t value = 0;
         if (v.size() > 8 || !ParseNumber(v, UINT32_MAX, value, 16) || value == 0) {
             e = "a parent is the serial number of another module, 1 to 8 hex digits";
             return false;
         }
         m.parent = static_cast<uint32_t>(value);
         return true;
     }},
    {"option", "OPT:VALUE", "starting value of a system entity option; repeatable",
     [](ModuleConfig& m, const std::string& v, std::string& e) { return ParseOptionSetting(v, m, e); }},
    {"name", "TEXT", "the module's name, system option 32 (empty)",
     [](ModuleConfig& m, const std::string& v, std::string& e) {
         if (v.size() > kMaxByteValue) {
             e = "a name has at most " + std::to_string(kMaxByteValue) + " bytes";
             return false;
         }
         m.name = v;
         return true;
     }},
    {"load", "restart|answer", "LOAD restarts into the loader, dropping the links, or\n"
     "                        is answered in place (restart)",
     [](ModuleConfig& m, const std::string& v, std::string& e) {
         if (v != "restart" && v != "answer") {
             e = "expected restart or answer";
             return false;
         }
         m.loadRestarts = v == "restart";
         return true;
     }},
    {"restart-delay", "MS", "how long a module restarting into its loader or new\n"
     "                        firmware is away, 0..60000 ms (500)",
     [](ModuleConfig& m, const std::string& v, std::string& e) {
         uint64_t value = 0;
         if (!ParseNumber(v, 60000, value, 10)) {
             e = "a restart delay is 0..60000 milliseconds";
             return false;
         }
         m.restartDelayMs = static_cast<uint32_t>(value);
         return true;
     }},
    {"block-size", "N", "payload bytes the loader grants between two WRITEs,\n"
     "                        0..65535 (256)",
     [](ModuleConfig& m, const std::string& v, std::string& e) {
         uint64_t value = 0;
         if (!ParseNumber(v, 65535, value)) {
             e = "a block size is 0..65535";
             return false;
         }
         m.blockSize = static_cast<uint16_t>(value);
         return true;
     }},
    {"loader-base", "N", "the load base address the upgrade INIT reports (0x20000000)",
     [](ModuleConfig& m, const std::string& v, std::string& e) {
         uint64_t value = 0;
         if (!ParseNumber(v, UINT32_MAX, value)) {
             e = "a load base address is a 32-bit number";
             return false;
         }
         m.loaderBase = static_cast<uint32_t>(value);
         return true;
     }},
    {"next-version", "V", "version the firmware written by the loader reports\n"
     "                        (the version before)",
     [](ModuleConfig& m, const std::string& v, std::string& e) {
         uint32_t version = 0;
         if (!ParseVersion(v, version, e))
             return false;
         m.nextVersion = version;
         return true;
     }},
    {"next-build", "N", "build number the firmware written by the loader reports\n"
     "                        (the build before)",
     [](ModuleConfig& m, const std::string& v, std::string& e) {
         uint64_t value = 0;
         if (!ParseNumber(v, UINT32_MAX, value)) {
             e = "a build number is a 32-bit unsigned number";
             return false;
         }
         m.nextBuild = static_cast<uint32_t>(value);
         return true;
     }},
    {"flash-dump", "PATH", "write the simulated flash (and the loader received) to\n"
     "                        PATH on REBOOT and when stopped",
     [](ModuleConfig& m, const std::string& v, std::string& e) {
         if (v.empty()) {
             e = "a dump path is needed";
             return false;
         }
         m.flashDump = v;
         return true;
     }},
    {"option31", "byte|bytes", "system option 31 as the power behavior byte or as the\n"
     "                        power behavior config byte string (byte)",
     [](ModuleConfig& m, const std::string& v, std::string& e) {
         if (v != "byte" && v != "bytes") {
             e = "expected byte or bytes";
             return false;
         }
         m.option31Bytes = v == "bytes";
         return true;
     }},
};

struct ProgramKey {
    const char* name;
    const char* value;
    const char* help;
    bool (*apply)(ProgramConfig&, const std::string&, std::string&);
};

const ProgramKey kProgramKeys[] = {
    {"discovery", "IPV4",
     "answer TCP/IP discovery requests on the interface with this address\n"
     "                        (off unless given; run it only inside a private network namespace)",
     [](ProgramConfig& p, const std::string& v, std::string& e) {
         struct in_addr parsed;
         if (inet_pton(AF_INET, v.c_str(), &parsed) != 1) {
             e = "expected the IPv4 address of an interface";
             return false;
         }
         p.discoveryInterface = v;
         return true;
     }},
    {"usb-bus", "DIR", "the virtual USB bus to attach to (default: $QUORVEL_USBBUS_DIR)",
     [](ProgramConfig& p, const std::string& v, std::string& e) {
         if (v.empty()) {
             e = "a path is needed";
             return false;
         }
         p.usbBus = v;
         return true;
     }},
};

const ModuleKey* FindModuleKey(const std::string& name)
{
    for (const auto& key : kModuleKeys)
        if (name == key.name)
            return &key;
    return nullptr;
}

const ProgramKey* FindProgramKey(const std::string& name)
{
    for (const auto& key : kProgramKeys)
        if (name == key.name)
            return &key;
    return nullptr;
}

std::string UsageLine(const char* name, const char* value, const char* help)
{
    char line[256];
    snprintf(line, sizeof line, "  --%-19s %s\n", (std::string(name) + " " + value).c_str(), help);
    return line;
}

std::string SerialText(uint32_t serial)
{
    char text[16];
    snprintf(text, sizeof text, "%08X", static_cast<unsigned>(serial));
    return text;
}

std::string Trim(const std::string& text)
{
    size_t first = text.find_first_not_of(" \t\r");
    if (first == std::string::npos)
        return "";
    size_t last = text.find_last_not_of(" \t\r");
    return text.substr(first, last - first + 1);
}

bool ModuleError(const ModuleConfig& m, const std::string& what, std::string& error)
{
    error = "module " + SerialText(m.serial) + ": " + what;
    return false;
}

// Modules behind a router: the parent must be a module reached directly, the
// I2C address free on its bus; they have no link of their own, and share the
// router's address setting and record unless they name their own.
bool FinishChildren(ProgramConfig& config, std::string& error)
{
    std::map<uint32_t, const ModuleConfig*> bySerial;
    for (const auto& m : config.modules)
        bySerial[m.serial] = &m;
    std::map<std::pair<uint32_t, uint8_t>, uint32_t> taken;  // (parent, address) -> serial
    for (auto& m : config.modules) {
        if (!m.parent)
            continue;
        auto found = bySerial.find(m.parent);
        if (found == bySerial.end() || found->second == &m)
            return ModuleError(m, "parent " + SerialText(m.parent) + " is not one of the modules", error);
        const ModuleConfig& parent = *found->second;
        if (parent.parent)
            return ModuleError(m, "parent " + SerialText(m.parent) + " is itself behind a router", error);
        if (m.linkGiven)
            return ModuleError(m, "a module behind a router has no tcp or usb link of its own", error);
        if (m.address == parent.address)
            return ModuleError(m, "I2C address " + std::to_string(m.address) + " is the router's own", error);
        auto [slot, added] = taken.emplace(std::make_pair(m.parent, m.address), m.serial);
        if (!added)
            return ModuleError(m, "I2C address " + std::to_string(m.address) + " of " + SerialText(m.parent) +
                                      " is taken by " + SerialText(slot->second), error);
        m.tcp = false;
        m.usb = false;
        if (!m.router)
            m.router = parent.address;
        if (m.record.empty())
            m.record = parent.record;
    }
    return true;
}

bool CheckModules(ProgramConfig& config, std::string& error)
{
    std::set<uint32_t> serials;
    std::set<std::string> dumps;
    for (const auto& m : config.modules) {
        if (!serials.insert(m.serial).second) {
            error = "serial number " + SerialText(m.serial) + " is given to two modules";
            return false;
        }
        if (!m.flashDump.empty() && !dumps.insert(m.flashDump).second)
            return ModuleError(m, "flash-dump " + m.flashDump + " is given to another module too", error);
    }
    return FinishChildren(config, error);
}

}  // namespace

bool ParseConfigFile(const std::string& path, ProgramConfig& config, std::string& error)
{
    std::ifstream in(path);
    if (!in) {
        error = "cannot read " + path + ": " + strerror(errno);
        return false;
    }
    std::string line;
    bool inModule = false;
    for (int number = 1; std::getline(in, line); ++number) {
        std::string where = path + ":" + std::to_string(number) + ": ";
        line = Trim(line);
        if (line.empty() || line[0] == '#')
            continue;
        if (line == "[module]") {
            config.modules.emplace_back();
            inModule = true;
            continue;
        }
        size_t equals = line.find('=');
        if (equals == std::string::npos) {
            error = where + "expected \"key = value\" or \"[module]\"";
            return false;
        }
        std::string key = Trim(line.substr(0, equals));
        std::string value = Trim(line.substr(equals + 1));
        std::string why;
        if (inModule) {
            const ModuleKey* k = FindModuleKey(key);
            if (!k) {
                error = where + "unknown module key " + key;
                return false;
            }
            if (!k->apply(config.modules.back(), value, why)) {
                error = where + key + ": " + why;
                return false;
            }
        } else {
            const ProgramKey* k = FindProgramKey(key);
            if (!k) {
                error = where + (FindModuleKey(key) ? key + " belongs in a [module] section" : "unknown key " + key);
                return false;
            }
            if (!k->apply(config, value, why)) {
                error = where + key + ": " + why;
                return false;
            }
        }
    }
    if (in.bad()) {
        error = "cannot read " + path;
        return false;
    }
    return true;
}

bool ParseCommandLine(int argc, char** argv, ProgramConfig& config, bool& help, std::string& error)
{
    help = false;
    std::vector<ModuleConfig> fromArgs;
    bool startNew = true;
    for (int i = 1; i < argc; ++i) {
        std::string arg = argv[i];
        if (arg == "--help" || arg == "-h") {
            help = true;
            return true;
        }
        if (arg.rfind("--", 0) != 0) {
            error = "unexpected argument " + arg;
            return false;
        }
        std::string key = arg.substr(2), value;
        bool hasValue = false;
        size_t equals = key.find('=');
        if (equals != std::string::npos) {
            value = key.substr(equals + 1);
            key.resize(equals);
            hasValue = true;
        }
        if (key == "module" && !hasValue) {
            fromArgs.emplace_back();
            startNew = false;
            continue;
        }
        const ModuleKey* moduleKey = FindModuleKey(key);
        const ProgramKey* programKey = FindProgramKey(key);
        if (!moduleKey && !programKey && key != "config") {
            error = "unknown option --" + key;
            return false;
        }
        if (!hasValue) {
            if (i + 1 >= argc) {
                error = "--" + key + " needs a value";
                return false;
            }
            value = argv[++i];
        }
        std::string why;
        if (key == "config") {
            if (!ParseConfigFile(value, config, error))
                return false;
            continue;
        }
        if (programKey) {
            if (!programKey->apply(config, value, why)) {
                error = "--" + key + ": " + why;
                return false;
            }
            continue;
        }
        if (startNew) {
            fromArgs.emplace_back();
            startNew = false;
        }
        if (!moduleKey->apply(fromArgs.back(), value, why)) {
            error = "--" + key + ": " + why;
            return false;
        }
    }
    for (auto& m : fromArgs)
        config.modules.push_back(std::move(m));
    if (config.modules.empty())
        config.modules.emplace_back();
    return CheckModules(config, error);
}

std::string Usage()
{
    std::string text =
        "usage: quorvel-vmodule [--config FILE] [PROGRAM OPTIONS] [MODULE OPTIONS] [--module MODULE OPTIONS]...\n"
        "Serves virtual modules over TCP (and the virtual USB bus) until SIGTERM or SIGINT.\n"
        "When ready it prints one line per module, \"module SERIAL [tcp IPV4:PORT] [usb]\"\n"
        "(\"module SERIAL behind PARENT i2c XX\" for a module behind a router), then \"ready\".\n"
        "A configuration file holds program keys, then one [module] section per module\n"
        "with \"key = value\" lines; the command line's modules follow the file's.\n\n"
        "Program options:\n" + UsageLine("config", "FILE", "read modules and program keys from FILE");
    for (const auto& key : kProgramKeys)
        text += UsageLine(key.name, key.value, key.help);
    text += "\nModule options (--module begins the next module):\n";
    for (const auto& key : kModuleKeys)
        text += UsageLine(key.name, key.value, key.help);
    text += "\nFaults:\n";
    for (const FaultSpec* spec = FaultTable(); spec->name; ++spec)
    {
        char line[512];
        // A long form gets a line of its own; the help goes below it.
        snprintf(line, sizeof line, strlen(spec->form) > 21 ? "  %s\n                        %s\n" : "  %-21s %s\n",
                 spec->form, spec->help);
        text += line;
    }
    return text;
}

}  // namespace vmodule
