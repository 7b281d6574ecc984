#include "Quorvel.h"

bool Quorvel::Update_Firmware(uint32_t, uint32_t, const std::string&, uint8_t, uint32_t, bool)
{
    unavailable("Firmware update");
    return false;
}
