#include "Quorvel.h"

#include <cerrno>
#include <chrono>
#include <cctype>
#include <cstdlib>
#include <future>
#include <stdexcept>
#include <thread>

#include "BirdFile.h"
#include "KeyValueStore.h"
#include "Log.h"
#include "QuorvelStore.h"
#include "UpdateServerRequest.h"
#include "base64.h"

namespace {

const auto INFO = QuorvelDisplayInterface::LEVEL_INFO;
const auto ERROR = QuorvelDisplayInterface::LEVEL_ERROR;
const char* const SPINNER_LABEL = "Downloading";
constexpr std::chrono::milliseconds SPINNER_STEP(100);

// Reads an unsigned decimal number the way the server's texts need: leading
// blanks skipped, digits up to the first other character (so "125\r" is 125).
// False when there is no digit or the value does not fit 32 bits.
bool _read_build(const std::string& text, uint32_t& value)
{
    const char* start = text.c_str();
    while (isspace(static_cast<unsigned char>(*start)))
        ++start;
    if (!isdigit(static_cast<unsigned char>(*start)))
        return false;
    errno = 0;
    unsigned long long number = strtoull(start, nullptr, 10);
    if (errno == ERANGE || number > UINT32_MAX)
        return false;
    value = static_cast<uint32_t>(number);
    return true;
}

// Like _read_build, logging texts that are no number and giving 0 for them.
uint32_t _build_or_zero(const std::string& text)
{
    uint32_t value = 0;
    if (!_read_build(text, value))
        Log::log(DEBUG_Quorvel, "Error: Could not convert %s to int.\n", text.c_str());
    return value;
}

bool _valid_build(uint32_t serialNumber, uint32_t build, const std::string& server)
{
    UpdateServerRequest::BuildList builds;
    if (!UpdateServerRequest::GetBuildList(serialNumber, builds, server.c_str()))
        return false;
    for (const auto& entry : builds)
        if (_build_or_zero(entry.first) == build)
            return true;
    return false;
}

std::string _image_file_name(uint32_t build)
{
    return std::to_string(build) + Quorvel::IMAGE_EXTENSION;
}

}  // namespace

BuildMap Quorvel::Get_BuildList(uint32_t serialNumber)
{
    BuildMap builds;
    if (!UpdateServerRequest::ping(serverUrl_.c_str())) {
        display_.message(ERROR, "Server request failed for %s", serverUrl_.c_str());
        return builds;
    }
    if (!UpdateServerRequest::GetBuildList(serialNumber, builds, serverUrl_.c_str()))
        display_.message(ERROR, "Failed to retrieve builds for %08X", serialNumber);
    return builds;
}

std::string Quorvel::fetch_image(uint32_t serialNumber, const std::string& firmware, const std::string& build,
                                 bool noCalibration)
{
    std::promise<bool> done;
    std::future<bool> result = done.get_future();
    std::string image;
    std::thread worker([&image, &done, serialNumber, firmware, build, server = serverUrl_, noCalibration] {
        bool ok = false;
        try {
            ok = UpdateServerRequest::GetBuild(serialNumber, firmware, build, image, server.c_str(), noCalibration);
        } catch (...) {
            // Out of memory; counts as a failed download.
        }
        done.set_value(ok);
    });
    display_.update_spinner(true, SPINNER_LABEL);
    while (result.wait_for(SPINNER_STEP) != std::future_status::ready)
        display_.update_spinner(true, SPINNER_LABEL);
    display_.update_spinner(false, SPINNER_LABEL);
    bool ok = result.get();
    worker.join();
    if (!ok)
        display_.message(ERROR, "Download failed");
    return image;
}

uint32_t Quorvel::Download_Firmware(uint32_t serialNumber, const std::string& buildText, bool override,
                                    bool noCalibration)
{
    uint32_t build = 0;
    if (!buildText.empty() && !_read_build(buildText, build)) {
        display_.message(ERROR, "Build number '%s' must be an number", buildText.c_str());
        return 0;
    }
    if (serialNumber == 0) {
        display_.message(ERROR, "Serial Number must be non-zero");
        return 0;
    }
    if (!UpdateServerRequest::ping(serverUrl_.c_str())) {
        display_.message(ERROR, "Server request failed for %s", serverUrl_.c_str());
        return 0;
    }

    QuorvelStoreItem item;
    try {
        QuorvelStore store(storageDirectory_);
        if (!store.FindDevice(serialNumber, &item)) {
            Log::log(DEBUG_APP, "Could not find device in our update history.\n");
            item = store.AddDevice(serialNumber);
        }
    } catch (const std::runtime_error&) {
        display_.message(ERROR, "Could not create directory for storing BIRD file");
        return 0;
    }

    std::string currentBuild, firmware;
    if (!UpdateServerRequest::QueryBuild(serialNumber, currentBuild, firmware, serverUrl_.c_str())) {
        display_.message(ERROR, "No build information for device");
        return 0;
    }
    if (build == 0)
        build = _build_or_zero(currentBuild);

    display_.message(INFO, "Retrieving build %u", build);
    if (override) {
        display_.message(INFO, "Override specified, skipping validation of build %u", build);
    } else {
        display_.message(INFO, "Validating build %u with server", build);
        if (!_valid_build(serialNumber, build, serverUrl_)) {
            display_.message(ERROR, "No valid build %u", build);
            return 0;
        }
        display_.message(INFO, "Build %u is valid", build);
    }

    std::string image = fetch_image(serialNumber, firmware, std::to_string(build), noCalibration);
    if (image.empty()) {
        display_.message(ERROR, "Failed to retrieve a valid BIRD file");
        return 0;
    }
    // A reply that does not decode, or an image that cannot be stored, is a
    // failed download: nothing is recorded and no build is reported.
    size_t length = 0;
    std::unique_ptr<uint8_t[]> bytes = base64_decode(image.data(), image.size(), &length);
    if (!bytes) {
        display_.message(ERROR, "The BIRD file from the server is not valid Base64");
        return 0;
    }
    std::string downloaded = KeyValueStore::TimeText();
    std::string fileName = _image_file_name(build);
    aErr err = item.WriteFile(fileName, bytes.get(), length);
    if (err != aErrNone) {
        display_.message(ERROR, "Failed to write file with %d", err);
        return 0;
    }
    item.attributes.Add(KEY_LATEST_DOWNLOAD, fileName);
    item.attributes.Add(KEY_LAST_DOWNLOAD_DATE, downloaded);
    item.attributes.Save();
    return build;
}

uint32_t Quorvel::Download_Firmware(const Fingerprint& fingerprint, const std::string& buildText, bool override)
{
    uint32_t build = _build_or_zero(buildText);
    uint32_t serialNumber = 0, recoveryBuild = 0;
    if (!UpdateServerRequest::GetRecoveryInfo(fingerprint.words, serialNumber, recoveryBuild, serverUrl_.c_str())) {
        display_.message(ERROR, "Failed to retrieve recovery information from Veltrane update server");
        return 0;
    }
    if (build == 0)
        build = recoveryBuild;
    return Download_Firmware(serialNumber, std::to_string(build), override, false);
}

BirdFile Quorvel::load_bird(const std::string& label, const std::string& path, uint32_t serialNumber,
                            uint32_t build, bool downloadIfMissing)
{
    if (!path.empty()) {
        display_.message(INFO, "%s from Birdfile: %s", label.c_str(), path.c_str());
        return BirdFile(path);
    }
    QuorvelStoreItem item = QuorvelStore(storageDirectory_).AddDevice(serialNumber);
    display_.message(INFO, "%s firmware with build: %u", label.c_str(), build);
    std::string fileName = _image_file_name(build);
    try {
        return item.ReadBirdFile(fileName);
    } catch (const std::runtime_error&) {
        if (!downloadIfMissing)
            throw std::runtime_error("Error reading birdfile");
    }
    display_.message(INFO, "Downloading firmware build %u", build);
    Download_Firmware(serialNumber, std::to_string(build), false, false);
    return item.ReadBirdFile(fileName);
}
