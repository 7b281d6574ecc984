#include "Quorvel.h"

BuildMap Quorvel::Get_BuildList(uint32_t)
{
    unavailable("Listing builds");
    return {};
}

uint32_t Quorvel::Download_Firmware(uint32_t, const std::string&, bool, bool)
{
    unavailable("Downloading firmware");
    return 0;
}

uint32_t Quorvel::Download_Firmware(const Fingerprint&, const std::string&, bool)
{
    unavailable("Downloading recovery firmware");
    return 0;
}
