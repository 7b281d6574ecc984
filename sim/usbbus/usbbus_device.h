#ifndef QUORVEL_USBBUS_DEVICE_H
#define QUORVEL_USBBUS_DEVICE_H

// One virtual device as its file describes it, and the per-process record of
// its counted faults (armed afresh whenever the file is rewritten).

#include <stdint.h>

#include <string>

namespace usbbus {

struct DeviceConfig {
    std::string dir;            // the bus directory
    std::string name;           // file name without ".dev"
    // Identity
    uint16_t vendor;
    uint16_t product = 0x0004;
    bool hasSerial = false;
    std::string serial;
    std::string manufacturer = "Veltrane";
    std::string productName = "Lumastrix module";
    // The module interface and its endpoints (0 = left out)
    uint8_t interfaceNumber = 0;
    uint8_t interfaceClass;
    uint8_t interfaceSubClass;
    uint8_t interfaceProtocol;
    uint8_t inEndpoint = 0x81;
    uint8_t outEndpoint = 0x01;
    bool extraInterface = false;   // a vendor-neutral interface listed before the module's
    std::string socketPath;
    bool log = false;
    // Call faults: 0 or the libusb error the call returns
    int descriptorError = 0;
    int openError = 0;
    int claimError = 0;
    int configError = 0;
    int stringError = 0;
    int clearHaltError = 0;
    // Counted faults: how many of the next transfers they hit
    int inError = 0;
    int inErrorCode;
    int outError = 0;
    int outErrorCode;
    int inStall = 0;
    int outStall = 0;
    int inTimeoutData = 0;
    int outTimeout = 0;
    int outTimeoutPartial = 0;

    DeviceConfig();
    std::string path() const;
};

// The bus directory ($QUORVEL_USBBUS_DIR), empty when unset.
std::string BusDir();

// Parses a device file; false when it cannot be read. Unknown keys and bad
// values are reported on standard error and otherwise ignored.
bool ParseDeviceFile(const std::string& dir, const std::string& name, DeviceConfig* config);

// The libusb error a bus-level fault asks libusb_init to return (0: none).
int BusInitError(const std::string& dir);

// "io", "busy", "LIBUSB_ERROR_BUSY", "-6" -> the libusb error; ok -> 0.
bool ErrorFromName(const std::string& text, int* error);
// The short name of a libusb result ("ok", "timeout", ...), as the log writes it.
const char* ErrorName(int error);

// The device's current configuration, reloaded when its file changed. False
// when the device was never seen and its file is gone.
bool CurrentConfig(const std::string& dir, const std::string& name, DeviceConfig* config);

enum class Counted { InError, OutError, InStall, OutStall, InTimeoutData, OutTimeout, OutTimeoutPartial };
// Uses up one of a counted fault; true when it was armed.
bool TakeFault(const std::string& dir, const std::string& name, Counted which);

// Appends one line to "<name>.log" when the device's file says "log = yes".
void LogCall(const std::string& dir, const std::string& name, const char* format, ...)
    __attribute__((format(printf, 3, 4)));

}  // namespace usbbus

#endif
