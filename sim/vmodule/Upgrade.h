#ifndef VMODULE_UPGRADE_H
#define VMODULE_UPGRADE_H

// The upgrade command (0x5F): how a module takes new firmware. Its firmware
// takes loader blocks into RAM (INIT, PREPARE, DATA, SUM) and starts the
// loader on LOAD; the loader takes firmware blocks (PREPARE, DATA, SUM),
// writes them into flash (WRITE) and starts the new firmware on REBOOT. What a
// module keeps of it is here; the handlers are in Upgrade.cpp.

#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "SparseMemory.h"

namespace vmodule {

class CommandTable;
class VirtualModule;

enum class Stage { Firmware, Loader };

struct UpgradeState {
    Stage stage = Stage::Firmware;
    bool takingLoader = false;   // from INIT to LOAD: DATA fills RAM, even in the loader
    bool prepared = false;       // the loader has a firmware block to write
    uint32_t position = 0;       // where the next DATA (RAM) or WRITE (flash) goes
    std::string pending;         // firmware bytes taken since the last PREPARE or WRITE
    uint32_t sum = 0;            // of the bytes taken since the last PREPARE, SUM or WRITE
    SparseMemory ram;            // the loader blocks as received
    SparseMemory flash;          // the firmware as the loader wrote it; kept across restarts
    // Counted from the loader's start, for the fault switches.
    uint32_t dataRequests = 0;
    uint32_t prepareRequests = 0;
    uint32_t writeRequests = 0;
    std::vector<uint32_t> blocks;           // firmware block addresses, in the order first prepared
    std::map<uint32_t, uint32_t> attempts;  // PREPAREs per block address
    uint32_t block = 0;                     // the block being taken, from 1; 0: none
    uint32_t attempt = 0;                   // its attempt, from 1
};

void Upgrade_Register(CommandTable& table);

// Writes the flash and the loader's RAM to the module's flash-dump file, if it
// has one (SparseMemory::Dump, areas "flash" and "loader"), whole or not at all.
void Upgrade_DumpFlash(VirtualModule& module);

}  // namespace vmodule

#endif
