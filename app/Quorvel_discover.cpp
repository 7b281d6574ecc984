#include "Quorvel.h"

std::vector<DeviceInfo> Quorvel::Discover_Devices(linkType)
{
    unavailable("Device discovery");
    return {};
}

std::vector<DeviceInfo> Quorvel::Discover_LXNetwork_Devices(uint32_t, linkType)
{
    unavailable("Discovery behind a router");
    return {};
}
