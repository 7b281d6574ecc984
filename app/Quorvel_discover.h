#ifndef QUORVEL_QUORVEL_DISCOVER_H
#define QUORVEL_QUORVEL_DISCOVER_H

// Reading a connected module's identity, and the connection settings every
// module the engine connects gets first. Shared by discovery, the firmware
// update and recovery.

#include <cstdint>
#include <vector>

#include "Module.h"
#include "Quorvel.h"
#include "QuorvelDisplayInterface.h"
#include "aError.h"

// The interface argument of every discovery call: this computer only.
constexpr uint32_t DISCOVERY_INTERFACE = 0x0100007F;   // 127.0.0.1 in network order
// A direct connection's module object: the real address is learnt on connect.
constexpr uint8_t DIRECT_MODULE_ADDRESS = 2;
// The router scan: even I2C addresses from FIRST up to (not including) END.
constexpr uint8_t I2C_SCAN_FIRST = 2;
constexpr uint8_t I2C_SCAN_END = 254;
constexpr uint8_t I2C_SCAN_SPEED = 3;
// Build number request: command and its one data byte; the reply repeats
// both and adds the build, big-endian.
constexpr uint8_t BUILD_NUMBER_COMMAND = 0x49;
constexpr uint8_t BUILD_NUMBER_QUERY = 0xFF;
constexpr uint8_t BUILD_NUMBER_REPLY_LENGTH = 6;

// The engine opens its own plain link: no link server in front of a USB
// connection, no fallback to the other transport. Reports a refusal.
aErr _disableWeave(Veltrane::Lumastrix::Module& module, QuorvelDisplayInterface& display);
// The firmware build number, 0 when it cannot be read.
uint32_t _get_build_number(Veltrane::Lumastrix::Module& module);
// Firmware version, module and router address into info; stops at the first
// failed query and answers its error (what was read stays filled in).
aErr _get_version(Veltrane::Lumastrix::Module& module, DeviceInfo& info);
// The modules on the I2C network of a connected router, in address order:
// routing to the host is switched on for the scan and off after it.
std::vector<DeviceInfo> _scan_router(QuorvelDisplayInterface& display, Veltrane::Lumastrix::Module& router,
                                     const linkSpec& routerSpec);

#endif
