#include "SystemClass.h"


namespace Veltrane {
namespace Lumastrix {

void SystemClass::init(Module* module, uint8_t index)
{
    EntityClass::init(module, aSYSTEM_COMMAND, index);
}

aErr SystemClass::_getSigned(uint8_t option, int32_t* value)
{
    if (!value)
        return aErrParam;
    uint32_t raw = 0;
    aErr err = getUEI32(option, &raw);
    if (err == aErrNone || err == aErrStreamStale)
        *value = static_cast<int32_t>(raw);
    return err;
}

aErr SystemClass::setLED(uint8_t on)
{
    return setUEI8(aSYSTEM_LED, on ? 1 : 0);
}

aErr SystemClass::setInputPowerBehaviorConfig(const uint32_t* words, size_t count)
{
    if (!words && count > 0)
        return aErrParam;
    if (count > aUEI_BYTES_MAX / sizeof(uint32_t))
        return aErrSize;
    return setUEIBytes(aSYSTEM_INPUT_POWER_BEHAVIOR, reinterpret_cast<const uint8_t*>(words), count * sizeof(uint32_t));
}

aErr SystemClass::getInputPowerBehaviorConfig(uint32_t* words, size_t capacity, size_t* count)
{
    if (!words || !count)
        return aErrParam;
    *count = 0;
    if (capacity > aUEI_BYTES_MAX / sizeof(uint32_t))
        capacity = aUEI_BYTES_MAX / sizeof(uint32_t);
    size_t received = 0;
    aErr err = getUEIBytes(aSYSTEM_INPUT_POWER_BEHAVIOR, reinterpret_cast<uint8_t*>(words), capacity * sizeof(uint32_t),
                           &received);
    if (err != aErrNone)
        return err;
    err = getUEIBytesCheck(&received, sizeof(uint32_t));
    if (err == aErrNone)
        *count = received;
    return err;
}

aErr SystemClass::setName(const uint8_t* bytes, size_t length)
{
    return setUEIBytes(aSYSTEM_NAME, bytes, length);
}

aErr SystemClass::getName(uint8_t* buffer, size_t capacity, size_t* length)
{
    return getUEIBytes(aSYSTEM_NAME, buffer, capacity, length);
}

aErr SystemClass::getModule(uint8_t* address)
{
    return getUEI8(aSYSTEM_MODULE, address);
}

aErr SystemClass::setRouter(uint8_t address)
{
    return setUEI8(aSYSTEM_ROUTER, address);
}

aErr SystemClass::getRouter(uint8_t* address)
{
    return getUEI8(aSYSTEM_ROUTER, address);
}

aErr SystemClass::setHBInterval(uint8_t interval)
{
    return setUEI8(aSYSTEM_HB_INTERVAL, interval);
}

aErr SystemClass::getHBInterval(uint8_t* interval)
{
    return getUEI8(aSYSTEM_HB_INTERVAL, interval);
}

aErr SystemClass::getLED(uint8_t* on)
{
    return getUEI8(aSYSTEM_LED, on);
}

aErr SystemClass::setBootSlot(uint8_t slot)
{
    return setUEI8(aSYSTEM_BOOT_SLOT, slot);
}

aErr SystemClass::getBootSlot(uint8_t* slot)
{
    return getUEI8(aSYSTEM_BOOT_SLOT, slot);
}

aErr SystemClass::getVersion(uint32_t* version)
{
    return getUEI32(aSYSTEM_VERSION, version);
}

aErr SystemClass::getModel(uint8_t* model)
{
    return getUEI8(aSYSTEM_MODEL, model);
}

aErr SystemClass::getSerialNumber(uint32_t* serial)
{
    return getUEI32(aSYSTEM_SERIAL, serial);
}

aErr SystemClass::save()
{
    return callUEI(aSYSTEM_SAVE);
}

aErr SystemClass::reset()
{
    return callUEI(aSYSTEM_RESET);
}

aErr SystemClass::getInputVoltage(uint32_t* value)
{
    return getUEI32(aSYSTEM_INPUT_VOLTAGE, value);
}

aErr SystemClass::getModuleHardwareOffset(uint8_t* offset)
{
    return getUEI8(aSYSTEM_HARDWARE_OFFSET, offset);
}

aErr SystemClass::getModuleBaseAddress(uint8_t* address)
{
    return getUEI8(aSYSTEM_BASE_ADDRESS, address);
}

aErr SystemClass::setModuleSoftwareOffset(uint8_t offset)
{
    return setUEI8(aSYSTEM_SOFTWARE_OFFSET, offset);
}

aErr SystemClass::getModuleSoftwareOffset(uint8_t* offset)
{
    return getUEI8(aSYSTEM_SOFTWARE_OFFSET, offset);
}

aErr SystemClass::getRouterAddressSetting(uint8_t* setting)
{
    return getUEI8(aSYSTEM_ROUTER_ADDRESS_SETTING, setting);
}

aErr SystemClass::routeToMe(uint8_t on)
{
    return setUEI8(aSYSTEM_ROUTE_TO_ME, on);
}

aErr SystemClass::getInputCurrent(uint32_t* value)
{
    return getUEI32(aSYSTEM_INPUT_CURRENT, value);
}

aErr SystemClass::getUptime(uint32_t* value)
{
    return getUEI32(aSYSTEM_UPTIME, value);
}

aErr SystemClass::getMaximumTemperature(int32_t* value)
{
    return _getSigned(aSYSTEM_MAX_TEMPERATURE, value);
}

aErr SystemClass::logEvents()
{
    return callUEI(aSYSTEM_LOG_EVENTS);
}

aErr SystemClass::getUnregulatedVoltage(int32_t* value)
{
    return _getSigned(aSYSTEM_UNREGULATED_VOLTAGE, value);
}

aErr SystemClass::getUnregulatedCurrent(int32_t* value)
{
    return _getSigned(aSYSTEM_UNREGULATED_CURRENT, value);
}

aErr SystemClass::getTemperature(int32_t* value)
{
    return _getSigned(aSYSTEM_TEMPERATURE, value);
}

aErr SystemClass::getMinimumTemperature(int32_t* value)
{
    return _getSigned(aSYSTEM_MIN_TEMPERATURE, value);
}

aErr SystemClass::getInputPowerSource(uint8_t* source)
{
    return getUEI8(aSYSTEM_INPUT_POWER_SOURCE, source);
}

aErr SystemClass::setInputPowerBehavior(uint8_t behavior)
{
    return setUEI8(aSYSTEM_INPUT_POWER_BEHAVIOR, behavior);
}

aErr SystemClass::getInputPowerBehavior(uint8_t* behavior)
{
    return getUEI8(aSYSTEM_INPUT_POWER_BEHAVIOR, behavior);
}

aErr SystemClass::getPowerLimit(uint32_t* value)
{
    return getUEI32(aSYSTEM_POWER_LIMIT, value);
}

aErr SystemClass::setPowerLimitMax(uint32_t value)
{
    return setUEI32(aSYSTEM_POWER_LIMIT_MAX, value);
}

aErr SystemClass::getPowerLimitMax(uint32_t* value)
{
    return getUEI32(aSYSTEM_POWER_LIMIT_MAX, value);
}

aErr SystemClass::getPowerLimitState(uint32_t* value)
{
    return getUEI32(aSYSTEM_POWER_LIMIT_STATE, value);
}

aErr SystemClass::resetEntityToFactoryDefaults()
{
    return callUEI(aSYSTEM_RESET_ENTITY_DEFAULTS);
}

aErr SystemClass::resetDeviceToFactoryDefaults()
{
    return callUEI(aSYSTEM_RESET_DEVICE_DEFAULTS);
}

aErr SystemClass::setLinkInterface(uint8_t interface)
{
    return setUEI8(aSYSTEM_LINK_INTERFACE, interface);
}

aErr SystemClass::getLinkInterface(uint8_t* interface)
{
    return getUEI8(aSYSTEM_LINK_INTERFACE, interface);
}

aErr SystemClass::getHardwareVersion(uint32_t* value)
{
    return getUEI32(aSYSTEM_HARDWARE_VERSION, value);
}

aErr SystemClass::getErrors(uint32_t* value)
{
    return getUEI32(aSYSTEM_ERRORS, value);
}

}  // namespace Lumastrix
}  // namespace Veltrane
