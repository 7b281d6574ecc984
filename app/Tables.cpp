#include <algorithm>
#include <utility>
#include <vector>

#include "Parameters.h"

namespace {
const char* link_type_name(int32_t type)
{
    switch (type) {
    case USB: return "USB";
    case TCPIP: return "TCPIP";
    default: return "Unknown";
    }
}
}  // namespace

void _display_device_list(QuorvelDisplayInterface& display, const std::vector<DeviceInfo>& list, int32_t type)
{
    const auto INFO = QuorvelDisplayInterface::LEVEL_INFO;
    display.message(INFO, "Discovered Devices: (%s)", link_type_name(type));
    if (list.empty()) {
        display.message(INFO, "    No devices found.");
        return;
    }
    const char* header = "    Device    Module   Router  Model          Firmware Version (Build)";
    if (type == USB)
        display.message(INFO, "%s", header);
    else
        display.message(INFO, "%s   [IP address]", header);

    for (const DeviceInfo& d : list) {
        const linkSpec& s = d.spec;
        const char* model = aDefs_GetModelName(s.model);
        if (s.type == TCPIP) {
            const uint8_t* ip = reinterpret_cast<const uint8_t*>(&s.ip_address);
            char address[32];
            snprintf(address, sizeof address, "[%d.%d.%d.%d]", ip[0], ip[1], ip[2], ip[3]);
            display.message(INFO, "    %08X  %02X       %02X      %-12s %3d.%d.%d (%u) %s", s.serial_num, s.module,
                            s.router, model, d.versionMajor, d.versionMinor, d.versionPatch, d.buildNumber, address);
        } else if (d.error != 0) {
            display.message(INFO, "    %08X  [Error (%d): Is someone else connected to this device?]", s.serial_num,
                            static_cast<int>(d.error));
        } else {
            display.message(INFO, "    %08X  %02X       %02X      %-12s %3d.%d.%d (%u)", s.serial_num, s.module,
                            s.router, model, d.versionMajor, d.versionMinor, d.versionPatch, d.buildNumber);
        }
    }
}

void _display_builds(QuorvelDisplayInterface& display, const BuildMap& builds, uint32_t serial)
{
    const auto INFO = QuorvelDisplayInterface::LEVEL_INFO;
    if (builds.empty()) {
        display.message(INFO, "No builds found for device [%08X]", serial);
        return;
    }
    display.message(INFO, "Build List for device [%08X]:\n", serial);
    display.message(INFO, "%-15.15s\t%-15.15s", "Build", "Version");
    std::vector<std::pair<std::string, std::string>> entries(builds.begin(), builds.end());
    std::stable_sort(entries.begin(), entries.end(),
                     [](const auto& a, const auto& b) { return a.second < b.second; });
    for (const auto& e : entries)
        display.message(INFO, "%-15.15s\t%-15.15s", e.first.c_str(), e.second.c_str());
}

void _display_fingerprint(QuorvelDisplayInterface& display, const Fingerprint& fp)
{
    display.message(QuorvelDisplayInterface::LEVEL_INFO, "[ %08X %08X %08X %08X ]", fp.words[0], fp.words[1],
                    fp.words[2], fp.words[3]);
}
