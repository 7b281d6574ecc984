#ifndef _Lumastrix_SystemClass_H_
#define _Lumastrix_SystemClass_H_

// The system entity (command 3) of a module: identity, addresses, routing,
// power and temperature readings, and module-wide actions. Each operation is
// one UEI exchange on one option.

#include <stddef.h>
#include <stdint.h>

#include "Entity.h"

namespace Veltrane {
namespace Lumastrix {

#define aSYSTEM_COMMAND 3

// Options of the system entity.
enum {
    aSYSTEM_MODULE = 1,
    aSYSTEM_ROUTER = 2,
    aSYSTEM_HB_INTERVAL = 3,
    aSYSTEM_LED = 4,
    aSYSTEM_BOOT_SLOT = 6,
    aSYSTEM_VERSION = 7,
    aSYSTEM_MODEL = 8,
    aSYSTEM_SERIAL = 9,
    aSYSTEM_SAVE = 10,
    aSYSTEM_RESET = 11,
    aSYSTEM_INPUT_VOLTAGE = 12,
    aSYSTEM_HARDWARE_OFFSET = 13,
    aSYSTEM_BASE_ADDRESS = 14,
    aSYSTEM_SOFTWARE_OFFSET = 15,
    aSYSTEM_ROUTER_ADDRESS_SETTING = 16,
    aSYSTEM_ROUTE_TO_ME = 20,
    aSYSTEM_INPUT_CURRENT = 21,
    aSYSTEM_UPTIME = 22,
    aSYSTEM_MAX_TEMPERATURE = 23,
    aSYSTEM_LOG_EVENTS = 24,
    aSYSTEM_UNREGULATED_VOLTAGE = 25,
    aSYSTEM_UNREGULATED_CURRENT = 26,
    aSYSTEM_TEMPERATURE = 27,
    aSYSTEM_MIN_TEMPERATURE = 28,
    aSYSTEM_INPUT_POWER_SOURCE = 29,
    aSYSTEM_INPUT_POWER_BEHAVIOR = 31,
    aSYSTEM_NAME = 32,
    aSYSTEM_POWER_LIMIT = 33,
    aSYSTEM_POWER_LIMIT_MAX = 34,
    aSYSTEM_POWER_LIMIT_STATE = 35,
    aSYSTEM_RESET_ENTITY_DEFAULTS = 36,
    aSYSTEM_RESET_DEVICE_DEFAULTS = 37,
    aSYSTEM_LINK_INTERFACE = 38,
    aSYSTEM_HARDWARE_VERSION = 40,
    aSYSTEM_ERRORS = 41
};

class SystemClass : public EntityClass {
public:
    void init(Module* module, uint8_t index);

    aErr getModule(uint8_t* address);
    aErr setRouter(uint8_t address);
    aErr getRouter(uint8_t* address);
    aErr setHBInterval(uint8_t interval);
    aErr getHBInterval(uint8_t* interval);
    // Any non-zero value switches the LED on (sent as 1).
    aErr setLED(uint8_t on);
    aErr getLED(uint8_t* on);
    aErr setBootSlot(uint8_t slot);
    aErr getBootSlot(uint8_t* slot);
    // Packed firmware version (aVersion.h).
    aErr getVersion(uint32_t* version);
    aErr getModel(uint8_t* model);
    aErr getSerialNumber(uint32_t* serial);
    aErr save();
    aErr reset();
    aErr getInputVoltage(uint32_t* value);
    aErr getModuleHardwareOffset(uint8_t* offset);
    aErr getModuleBaseAddress(uint8_t* address);
    aErr setModuleSoftwareOffset(uint8_t offset);
    aErr getModuleSoftwareOffset(uint8_t* offset);
    aErr getRouterAddressSetting(uint8_t* setting);
    aErr routeToMe(uint8_t on);
    aErr getInputCurrent(uint32_t* value);
    aErr getUptime(uint32_t* value);
    aErr getMaximumTemperature(int32_t* value);
    aErr logEvents();
    aErr getUnregulatedVoltage(int32_t* value);
    aErr getUnregulatedCurrent(int32_t* value);
    aErr getTemperature(int32_t* value);
    aErr getMinimumTemperature(int32_t* value);
    aErr getInputPowerSource(uint8_t* source);
    aErr setInputPowerBehavior(uint8_t behavior);
    aErr getInputPowerBehavior(uint8_t* behavior);
    // count words, sent as 4 * count bytes in host byte order.
    aErr setInputPowerBehaviorConfig(const uint32_t* words, size_t count);
    // Reads up to capacity words; *count receives the number of words (a byte
    // count that is not a multiple of 4 answers aErrMemory).
    aErr getInputPowerBehaviorConfig(uint32_t* words, size_t capacity, size_t* count);
    aErr setName(const uint8_t* bytes, size_t length);
    aErr getName(uint8_t* buffer, size_t capacity, size_t* length);
    aErr getPowerLimit(uint32_t* value);
    aErr setPowerLimitMax(uint32_t value);
    aErr getPowerLimitMax(uint32_t* value);
    aErr getPowerLimitState(uint32_t* value);
    aErr resetEntityToFactoryDefaults();
    aErr resetDeviceToFactoryDefaults();
    aErr setLinkInterface(uint8_t interface);
    aErr getLinkInterface(uint8_t* interface);
    aErr getHardwareVersion(uint32_t* value);
    aErr getErrors(uint32_t* value);

private:
    aErr _getSigned(uint8_t option, int32_t* value);
};

}  // namespace Lumastrix
}  // namespace Veltrane

#endif
