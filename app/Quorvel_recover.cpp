#include "Quorvel.h"

bool Quorvel::Get_Fingerprint(Fingerprint&, const std::string&, uint32_t, const std::string&, uint32_t, bool)
{
    unavailable("Reading a processor fingerprint");
    return false;
}

bool Quorvel::Recover_Firmware(const std::string&, uint32_t, uint32_t, uint32_t, const std::string&, bool)
{
    unavailable("Firmware recovery");
    return false;
}
