#include "QuorvelEntity.h"

#include <algorithm>
#include <cstring>

#include "Log.h"
#include "aPacket.h"
#include "aTime.h"

using Veltrane::Lumastrix::Link;
using Veltrane::Lumastrix::Module;

namespace {

uint32_t _be32(const uint8_t* bytes)
{
    return static_cast<uint32_t>(bytes[0]) << 24 | static_cast<uint32_t>(bytes[1]) << 16 |
           static_cast<uint32_t>(bytes[2]) << 8 | bytes[3];
}

}  // namespace

QuorvelEntity::~QuorvelEntity() = default;

void QuorvelEntity::init(Module* module, uint8_t index, bool verify, bool skipWait)
{
    verifySum = verify;
    skipRebootWait = skipWait;
    EntityClass::init(module, cmdUPGRADE, index);
}

aErr QuorvelEntity::_await(uint8_t sub, uint8_t* reply, uint8_t* length)
{
    const uint8_t match[2] = {cmdUPGRADE, sub};
    memset(reply, 0, aPACKET_MAX_DATA);
    *length = sizeof match;
    return receivePacket(match, length, reply);
}

aErr QuorvelEntity::LoaderInit()
{
    Log::log(DEBUG_Network_FIRM, "NETWORK: Loader Initialization {cmdUPGRADE, val_UPGRADE_INIT}\n");
    const uint8_t request[] = {val_UPGRADE_INIT};
    aErr err = sendPacket(cmdUPGRADE, sizeof request, request);
    if (err != aErrNone) {
        Log::log(DEBUG_Network_FIRM, "NETWORK: Error sending UPGRADE_INIT (%d)\n", err);
        return err;
    }
    uint8_t reply[aPACKET_MAX_DATA];
    uint8_t length = 0;
    err = _await(val_UPGRADE_INIT, reply, &length);
    if (err != aErrNone)
        return err;
    if (length < INIT_REPLY_MIN)
        return aErrPacket;
    uint32_t base = _be32(&reply[2]);
    Log::log(DEBUG_Network_FIRM, "NETWORK: load base = %d [%08X]\n", static_cast<int>(base), base);
    return aErrNone;
}

aErr QuorvelEntity::TransferPrepare(const uint8_t* data, uint32_t length, uint8_t flags, uint16_t* blockSize)
{
    // A block too short to hold its load address cannot be announced.
    if (!data || !blockSize || length < LOAD_ADDRESS_SIZE)
        return aErrParam;
    Log::log(DEBUG_Network_FIRM, "NETWORK: TransferPrepare(..., %d, %02X, %d)\n", static_cast<int>(length), flags,
             *blockSize);
    Log::log(DEBUG_Network_FIRM,
             "NETWORK: TransferPrepare {cmdUPGRADE, val_UPGRADE_PREPARE, %02X, [%02X %02X %02X %02X]} \n", flags,
             data[0], data[1], data[2], data[3]);
    Log::log(DEBUG_Network_FIRM, "NETWORK: Address: %d\n", static_cast<int>(_be32(data)));
    const uint8_t request[] = {val_UPGRADE_PREPARE, flags, data[0], data[1], data[2], data[3]};
    aErr err = sendPacket(cmdUPGRADE, sizeof request, request);
    if (err != aErrNone) {
        Log::log(DEBUG_Network_FIRM, "NETWORK: Error sending UPGRADE_PREPARE (%d)\n", err);
        return err;
    }
    uint8_t reply[aPACKET_MAX_DATA];
    uint8_t replyLength = 0;
    err = _await(val_UPGRADE_STATUS, reply, &replyLength);
    if (err != aErrNone)
        return err;
    uint16_t granted = static_cast<uint16_t>(reply[3] << 8 | reply[4]);
    // A reply without the size, or a size of 0 (no piece could ever make
    // progress), is no usable grant.
    if (replyLength < PREPARE_REPLY_LENGTH || reply[2] != 0 || granted == 0) {
        Log::log(DEBUG_Network_FIRM, "NETWORK: Invalid or error reply when initializing loader for firmware.\n");
        return aErrInvalidOption;
    }
    *blockSize = granted;
    Log::log(DEBUG_Network_FIRM, "NETWORK: Loader validated firmware init [%d block size]\n", granted);
    return aErrNone;
}

aErr QuorvelEntity::_block_transfer(const uint8_t* data, uint32_t length, uint32_t* counter)
{
    Log::log(DEBUG_Network_FIRM, "\nNETWORK: Block Transfer\n");
    uint32_t sum = 0;
    uint32_t position = 0;
    int resends = 0;
    aErr err = aErrNone;
    while (position < length && err == aErrNone) {
        uint32_t chunk = std::min(length - position, DATA_CHUNK_MAX);
        Log::log(DEBUG_Network_FIRM, "\nNETWORK: Block Transfer {cmdUPGRADE, val_UPGRADE_DATA, %d} \n",
                 static_cast<int>(chunk));
        uint8_t request[1 + DATA_CHUNK_MAX] = {val_UPGRADE_DATA};
        memcpy(&request[1], data + position, chunk);
        err = sendPacket(cmdUPGRADE, static_cast<uint8_t>(1 + chunk), request);
        if (err != aErrNone) {
            Log::log(DEBUG_Network_FIRM, "\nNETWORK: Error sending UPGRADE_DATA (%d)\n", err);
            return err;
        }
        uint8_t reply[aPACKET_MAX_DATA];
        uint8_t replyLength = 0;
        if (_await(val_UPGRADE_DATA, reply, &replyLength) != aErrNone) {
            Log::log(DEBUG_Network_FIRM, "\nNETWORK(DATA): No reply when initializing upgrade.\n");
            err = aErrPacket;
            break;
        }
        if (reply[2] != chunk) {
            Log::log(DEBUG_Network_FIRM, "\nNETWORK: Invalid upgrade transfer response [%d != %d].\n", reply[2],
                     static_cast<int>(chunk));
            // The same chunk again, but not for ever.
            if (++resends > DATA_CHUNK_RESENDS) {
                Log::log(DEBUG_Network_FIRM, "\nNETWORK: chunk refused after %d resends.\n", DATA_CHUNK_RESENDS);
                err = aErrPacket;
            }
            continue;
        }
        resends = 0;
        for (uint32_t i = 0; i < chunk; ++i)
            sum += data[position + i];
        position += chunk;
        ++*counter;
        Log::log(DEBUG_Network_FIRM, "\nNETWORK: accepted %d more bytes (%d of %d remaining)\n",
                 static_cast<int>(chunk), static_cast<int>(length - position), static_cast<int>(length));
    }
    Log::log(DEBUG_Network_FIRM, "\nNETWORK: transferred %d of %d bytes\n", static_cast<int>(position),
             static_cast<int>(length));
    if (err != aErrNone || !verifySum)
        return err;

    Log::log(DEBUG_Network_FIRM, "\nNETWORK: Block Transfer Validation {cmdUPGRADE, val_UPGRADE_SUM}\n");
    const uint8_t request[] = {val_UPGRADE_SUM};
    sendPacket(cmdUPGRADE, sizeof request, request);
    uint8_t reply[aPACKET_MAX_DATA];
    uint8_t replyLength = 0;
    if (_await(val_UPGRADE_STATUS, reply, &replyLength) != aErrNone) {
        Log::log(DEBUG_Network_FIRM, "\nNETWORK(STATUS): No reply when initializing upgrade.\n");
        return aErrPacket;
    }
    // A reply too short to carry status and sum is no confirmation.
    uint8_t status = replyLength >= 3 ? reply[2] : 0xFF;
    uint32_t moduleSum = _be32(&reply[3]);
    if (replyLength >= 7 && status == 0 && moduleSum == sum) {
        Log::log(DEBUG_Network_FIRM, "\nNETWORK: Validate transfer [%02X] [%08X == %08X][%d blocks].\n", status, sum,
                 moduleSum, static_cast<int>(*counter));
        return aErrNone;
    }
    Log::log(0, "\nNETWORK: Unable to validate transfer [%02X] [%08X != %08X].\n", status, sum, moduleSum);
    return aErrInvalidOption;
}

aErr QuorvelEntity::LoaderTransfer(const uint8_t* data, uint32_t length)
{
    if (!data || length < LOAD_ADDRESS_SIZE)
        return aErrParam;
    Log::log(DEBUG_Network_FIRM, "NETWORK: Loader Transfer (addr=%08X, len=%d)\n", _be32(data),
             static_cast<int>(length - LOAD_ADDRESS_SIZE));
    uint32_t counter = 0;
    return _block_transfer(data + LOAD_ADDRESS_SIZE, length - LOAD_ADDRESS_SIZE, &counter);
}

aErr QuorvelEntity::FirmwareTransfer(const uint8_t* data, uint32_t length, uint16_t blockSize,
                                     QuorvelDisplayInterface& display)
{
    if (!data || length < LOAD_ADDRESS_SIZE)
        return aErrParam;
    if (blockSize == 0)
        return aErrInvalidOption;
    Log::log(DEBUG_Network_FIRM, "NETWORK: Firmware Transfer (addr=%08X, len=%d)\n", _be32(data),
             static_cast<int>(length - LOAD_ADDRESS_SIZE));
    Log::timestamped = false;
    uint32_t remaining = length - LOAD_ADDRESS_SIZE;
    const uint8_t* position = data + LOAD_ADDRESS_SIZE;
    uint32_t counter = 0;
    aErr err = aErrNone;
    display.display_progress(true);
    while (remaining > 0 && err == aErrNone) {
        uint32_t piece = std::min<uint32_t>(remaining, blockSize);
        err = _block_transfer(position, piece, &counter);
        if (err != aErrNone)
            break;
        position += piece;
        remaining -= piece;
        ++counter;
        display.update_progress(static_cast<double>(length - remaining) / length, nullptr);
        Log::log(DEBUG_Network_FIRM, "\nNETWORK: accepted %d more bytes (%d of %d remaining)\n",
                 static_cast<int>(piece), static_cast<int>(remaining), static_cast<int>(length));
        err = FirmwareWrite(piece);
    }
    display.display_progress(false);
    Log::log(DEBUG_Network_FIRM, "NETWORK: transferred %d of %d bytes\n",
             static_cast<int>(length - LOAD_ADDRESS_SIZE - remaining), static_cast<int>(length - LOAD_ADDRESS_SIZE));
    if (err != aErrNone)
        Log::log(0, "NETWORK: Failed to transfer firmware\n");
    return err;
}

aErr QuorvelEntity::FirmwareWrite(uint32_t count)
{
    Log::log(DEBUG_Network_FIRM, "NETWORK: Firmware Write {cmdUPGRADE, val_UPGRADE_WRITE, %d}\n\n",
             static_cast<int>(count));
    const uint8_t request[] = {val_UPGRADE_WRITE, static_cast<uint8_t>(count >> 8 & 0xFF),
                               static_cast<uint8_t>(count & 0xFF)};
    aErr err = sendPacket(cmdUPGRADE, sizeof request, request);
    if (err != aErrNone) {
        Log::log(DEBUG_Network_FIRM, "NETWORK: Error sending UPGRADE_WRITE (%d, %s)\n", err,
                 aError_GetErrorText(err));
        return err;
    }
    uint8_t reply[aPACKET_MAX_DATA];
    uint8_t replyLength = 0;
    err = _await(val_UPGRADE_STATUS, reply, &replyLength);
    // Without a status byte the write is not confirmed.
    uint8_t status = (err == aErrNone && replyLength >= 3) ? reply[2] : 0xFF;
    if (status != 0) {
        Log::log(DEBUG_Network_FIRM, "NETWORK: invalid or error reply when loader writing firmware.\n\n");
        return aErrInvalidOption;
    }
    Log::log(DEBUG_Network_FIRM, "NETWORK: Loader validated write\n\n");
    return aErrNone;
}

aErr QuorvelEntity::LoaderStart()
{
    Log::log(DEBUG_Network_FIRM, "NETWORK: Loader Start {cmdUPGRADE, val_UPGRADE_LOAD}\n");
    const uint8_t request[] = {val_UPGRADE_LOAD};
    aErr err = sendPacket(cmdUPGRADE, sizeof request, request);
    if (err != aErrNone) {
        Log::log(DEBUG_Network_FIRM, "NETWORK: Error sending UPGRADE_LOAD (%d)\n", err);
        return err;
    }
    uint8_t reply[aPACKET_MAX_DATA];
    uint8_t length = 0;
    if (_await(val_UPGRADE_LOAD, reply, &length) == aErrNone) {
        Log::log(DEBUG_Network_FIRM, "NETWORK: Loader validated start\n");
        return aErrNone;
    }
    // Usually the module restarted into its loader and its link dropped.
    err = _reconnect(LOADER_START_RECONNECT_DELAY_MS);
    if (err != aErrNone) {
        Log::log(DEBUG_Network_FIRM, "NETWORK: Invalid or reply when starting loader. [%d, %s]\n", err,
                 aError_GetErrorText(err));
        return aErrTimeout;
    }
    err = _await(val_UPGRADE_LOAD, reply, &length);
    if (err == aErrNone) {
        Log::log(DEBUG_Network_FIRM, "NETWORK: Loader validated start (Reconnect)\n");
        return aErrNone;
    }
    Log::log(DEBUG_Network_FIRM, "NETWORK: Invalid or reply when starting loader (Reconnect). [%d, %s]\n", err,
             aError_GetErrorText(err));
    return aErrTimeout;
}

aErr QuorvelEntity::_reconnect(uint32_t delayMs)
{
    Module* module = getModule();
    if (!module)
        return aErrResource;
    module->disconnect();
    aErr err = aErrNone;
    for (int attempt = 1; attempt <= RECONNECT_ATTEMPTS; ++attempt) {
        Log::log(DEBUG_Network_LINK, "NETWORK: Attempting to reconnect. Attempt: %d of %d\n", attempt,
                 RECONNECT_ATTEMPTS);
        err = module->reconnect();
        if (err == aErrNone) {
            Log::log(DEBUG_Network_FIRM, "NETWORK: Reconnected to device\n");
            return aErrNone;
        }
        // A connect that came up without learning the address still holds the link.
        module->disconnect();
        Log::log(DEBUG_Network_FIRM, "NETWORK: Couldn't reconnect to device delaying: %d ms\n",
                 static_cast<int>(delayMs));
        aTime_MSSleep(delayMs);
    }
    return err;
}

bool QuorvelEntity::_await_link_drop(uint32_t lossesBefore, uint32_t milliseconds)
{
    Module* module = getModule();
    Link* link = module->getLink();
    if (!link || !module->isConnected())
        return true;
    return link->awaitConnectionLoss(lossesBefore, milliseconds) == aErrNone;
}

aErr QuorvelEntity::LoaderReboot(QuorvelDisplayInterface& display)
{
    Module* module = getModule();
    if (!module)
        return aErrResource;
    Log::log(DEBUG_Network_FIRM, "NETWORK: LoaderReboot {cmdUPGRADE, val_UPGRADE_REBOOT}\n");
    const uint8_t request[] = {val_UPGRADE_REBOOT};
    // Counted before REBOOT goes out: the module may close at once.
    Link* link = module->getLink();
    uint32_t lossesBefore = link ? link->getConnectionLosses() : 0;
    aErr result = sendPacket(cmdUPGRADE, sizeof request, request);
    if (result != aErrNone)
        Log::log(DEBUG_Network_FIRM, "NETWORK: Error sending Loader REBOOT\n");
    uint64_t deadline = aTime_GetMSTicks() + rebootWaitLimitMs;
    while (module->isConnected()) {
        bool dropped = _await_link_drop(lossesBefore, REBOOT_ROUND_MS);
        display.update_spinner(true, REBOOT_SPINNER_LABEL);
        Log::log(DEBUG_Network_FIRM, "Waiting for link to drop.\n");
        Log::log(DEBUG_Network_FIRM, "Rebooting Device\n");
        if (skipRebootWait || dropped)
            break;
        // A module that never lets go of the link must not hold the update for ever.
        if (aTime_GetMSTicks() >= deadline) {
            Log::log(DEBUG_Network_FIRM, "NETWORK: Link did not drop within %u ms after REBOOT\n",
                     static_cast<unsigned>(rebootWaitLimitMs));
            if (result == aErrNone)
                result = aErrTimeout;
            break;
        }
    }
    display.update_spinner(false, REBOOT_SPINNER_LABEL);
    return result;
}
