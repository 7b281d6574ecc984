#ifndef VMODULE_SYSTEMENTITY_H
#define VMODULE_SYSTEMENTITY_H

// The system entity (command 3): the module's settings and measurements, one
// option each, read and written with get and set requests. The options are
// rows of the table in SystemEntity.cpp; this header is what the rest of the
// program needs from it.

#include <cstddef>
#include <cstdint>
#include <map>
#include <string>

#include "aError.h"

namespace vmodule {

class CommandTable;
class VirtualModule;
struct ModuleConfig;

// Byte strings travel in at most 128 frames of 24 bytes.
constexpr size_t kMaxByteValue = 128 * 24;

// What the system entity's options hold; a module keeps a current set, the
// saved set that a reset goes back to, and its factory set in its config.
struct SystemValues {
    std::map<uint8_t, uint32_t> numbers;  // by option
    std::string name;                     // option 32
    std::string powerConfig;              // option 31 as a byte string
};

void SystemEntity_Register(CommandTable& table);

SystemValues SystemEntity_Defaults(const ModuleConfig& config);

// Whether the configuration may give `option` the starting value `value`
// (signed options take negative values); `error` says why not.
bool SystemEntity_CheckSetting(uint8_t option, int64_t value, std::string& error);

// The capability answer for a system option: aErrNone when the module has it
// for the request flags (0: at all, 0x40: get, 0x80: set).
aErr SystemEntity_Has(const VirtualModule& module, uint8_t option, uint8_t index, uint8_t flags);

}  // namespace vmodule

#endif
