#include "Quorvel.h"

bool Quorvel::Check_BirdFile(const std::string&)
{
    unavailable("Checking a firmware image");
    return false;
}
