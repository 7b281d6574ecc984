#ifndef QUORVEL_QUORVEL_UPDATE_H
#define QUORVEL_QUORVEL_UPDATE_H

// The firmware update's stages, shared by the update (-U) and recovery:
// checking that an image fits the connected module, sending and starting the
// loader, sending the firmware and rebooting the module.

#include <cstdint>

#include "BirdFile.h"
#include "Module.h"
#include "QuorvelDisplayInterface.h"
#include "aError.h"

// Tries per firmware block: the first and four retries.
constexpr int FIRMWARE_BLOCK_TRIES = 5;
// Tries to find the module again by USB after its loader started, this far apart.
constexpr int RECONNECT_TRIES = 15;
constexpr uint32_t RECONNECT_PAUSE_MS = 1000;
// The label load_bird shows for the update.
constexpr const char* UPDATE_LABEL = "Updating";
// Attributes recording the last transfer in a device's store entry.
constexpr const char* KEY_LATEST_TRANSFER = "LATEST_TRANSFER";
constexpr const char* KEY_LAST_TRANSFER_DATE = "LAST_TRANSFER_DATE";

// True when the image has blocks, is generic or made for this serial
// number, and was made for the connected module's serial number and model.
bool _validate_birdfile(QuorvelDisplayInterface& display, const BirdFile& image,
                        Veltrane::Lumastrix::Module& module, uint32_t serialNumber);
// Sends the loader blocks and starts the loader. A module that restarts
// into its loader without confirming the start counts as started.
aErr _transfer_loader(QuorvelDisplayInterface& display, Veltrane::Lumastrix::Module& module,
                      const BirdFile& image);
// Sends the firmware blocks (each tried up to FIRMWARE_BLOCK_TRIES times)
// and reboots the module; through a router the link is not watched after
// the reboot.
aErr _transfer_firmware(QuorvelDisplayInterface& display, Veltrane::Lumastrix::Module& module,
                        const BirdFile& image, bool throughRouter);

#endif
