#ifndef QUORVEL_QUORVEL_H
#define QUORVEL_QUORVEL_H

#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "QuorvelDisplayInterface.h"
#include "aDefs.h"
#include "aError.h"

// One discovered module as the engine reports it.
struct DeviceInfo {
    linkSpec spec{};
    uint16_t i2cAddress = 0;
    uint32_t buildNumber = 0;
    uint8_t versionMajor = 0;
    uint8_t versionMinor = 0;
    uint32_t versionPatch = 0;
    std::string modelName;
    uint32_t error = aErrNone;
};

// The four words that identify a processor in recovery.
struct Fingerprint {
    uint32_t words[4] = {0, 0, 0, 0};
};

// Build number text -> version (description) text.
typedef std::map<std::string, std::string> BuildMap;

class BirdFile;

// The update engine: one per run. Every operation connects, works and
// disconnects within the call, and reports through the display.
class Quorvel {
public:
    static constexpr uint32_t DEFAULT_RECOVERY_SERIAL = 0xDEADDEAD;
    static constexpr uint8_t FAMILY_NONE = 0;
    static constexpr uint8_t FAMILY_IMX = 1;
    static constexpr uint8_t FAMILY_LPC = 2;

    // A build's image in a device's store entry: the build number, then this.
    static constexpr const char* IMAGE_EXTENSION = ".bird";
    // Attributes recording the last download in a device's store entry.
    static constexpr const char* KEY_LATEST_DOWNLOAD = "LATEST_DOWNLOAD";
    static constexpr const char* KEY_LAST_DOWNLOAD_DATE = "LAST_DOWNLOAD_DATE";

    Quorvel(const std::string& serverUrl, const std::string& storageDirectory,
            QuorvelDisplayInterface& display);

    // Discovery (-D).
    std::vector<DeviceInfo> Discover_Devices(linkType type);
    std::vector<DeviceInfo> Discover_LXNetwork_Devices(uint32_t routerSerial, linkType type);

    // Build lists and downloads (-B, -G).
    BuildMap Get_BuildList(uint32_t serialNumber);
    uint32_t Download_Firmware(uint32_t serialNumber, const std::string& build, bool override,
                               bool noCalibration);
    uint32_t Download_Firmware(const Fingerprint& fingerprint, const std::string& build, bool override);
    // The image to transfer: the file at `path`, or else the build from the
    // device's store entry (downloaded first when missing and allowed).
    // Throws std::runtime_error when no image can be had.
    BirdFile load_bird(const std::string& label, const std::string& path, uint32_t serialNumber, uint32_t build,
                       bool downloadIfMissing);

    // Firmware update (-U).
    bool Update_Firmware(uint32_t serialNumber, uint32_t buildNumber, const std::string& birdFile,
                         uint8_t moduleAddress, uint32_t routerSerial, bool override);

    // Recovery through the boot ROM (-N, -U -t RECOVER).
    bool Get_Fingerprint(Fingerprint& fingerprint, const std::string& port, uint32_t serialNumber,
                         const std::string& birdFile, uint32_t baudRate, bool reset);
    bool Recover_Firmware(const std::string& port, uint32_t buildNumber, uint32_t baudRate,
                          uint32_t serialNumber, const std::string& birdFile, bool override);

    // Image check (-C): loads the image as the update would and prints a summary.
    bool Check_BirdFile(const std::string& path);

    const std::string& ServerUrl() const { return serverUrl_; }
    const std::string& StorageDirectory() const { return storageDirectory_; }
    QuorvelDisplayInterface& Display() { return display_; }
    uint8_t ProcessorFamily() const { return processorFamily_; }

    // True once an operation was asked for that this build does not provide
    // yet; the front end then fails the run instead of reporting success.
    bool Unavailable() const { return unavailable_; }

private:
    // Reports an operation that this build does not provide yet.
    void unavailable(const char* what);
    // GetBuild on a worker thread while the spinner turns; the image text,
    // empty when the download failed.
    std::string fetch_image(uint32_t serialNumber, const std::string& firmware, const std::string& build,
                            bool noCalibration);

    std::string serverUrl_;
    std::string storageDirectory_;
    QuorvelDisplayInterface& display_;
    uint8_t processorFamily_ = FAMILY_NONE;
    bool unavailable_ = false;
};

#endif
