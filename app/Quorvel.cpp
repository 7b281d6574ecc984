#include "Quorvel.h"

Quorvel::Quorvel(const std::string& serverUrl, const std::string& storageDirectory,
                 QuorvelDisplayInterface& display)
    : serverUrl_(serverUrl), storageDirectory_(storageDirectory), display_(display)
{
}

void Quorvel::unavailable(const char* what)
{
    unavailable_ = true;
    display_.message(QuorvelDisplayInterface::LEVEL_ERROR,
                     "%s is not available in this version of Quorvel", what);
}
