#ifndef QUORVEL_QUORVELENTITY_H
#define QUORVEL_QUORVELENTITY_H

// The upgrade command (0x5F) spoken to a module: the normal firmware takes a
// loader and starts it; the loader takes the firmware blocks, writes them
// into flash and reboots the module. One QuorvelEntity serves one stage.
// Every exchange waits for its reply before the next request goes out, and
// every debug line goes under DEBUG_Network_FIRM.

#include <cstdint>

#include "Entity.h"
#include "Module.h"
#include "QuorvelDisplayInterface.h"
#include "aError.h"

// Command byte and sub-commands (the second byte of every request and reply).
constexpr uint8_t cmdUPGRADE = 0x5F;
enum : uint8_t {
    val_UPGRADE_INIT = 0,
    val_UPGRADE_DATA = 1,
    val_UPGRADE_LOAD = 2,
    val_UPGRADE_PREPARE = 3,
    val_UPGRADE_SUM = 4,
    val_UPGRADE_WRITE = 5,
    val_UPGRADE_REBOOT = 6,
    val_UPGRADE_STATUS = 7,
};

class QuorvelEntity : public Veltrane::Lumastrix::EntityClass {
public:
    // Payload bytes of one DATA request: with the command and sub-command
    // bytes they fill a packet's 28 data bytes.
    static constexpr uint32_t DATA_CHUNK_MAX = 26;
    // A chunk whose count keeps coming back wrong is sent again at most this
    // often; then the transfer fails with aErrPacket.
    static constexpr int DATA_CHUNK_RESENDS = 5;
    // An INIT reply must be longer than this (it carries the load base).
    static constexpr uint8_t INIT_REPLY_MIN = 6;
    // PREPARE reply: 5F 07 status size-high size-low.
    static constexpr uint8_t PREPARE_REPLY_LENGTH = 5;
    // Block data of loader and firmware blocks begins with the load address.
    static constexpr uint32_t LOAD_ADDRESS_SIZE = 4;
    // Reconnecting after LOAD went unanswered: attempts and the pause after a
    // failed one.
    static constexpr int RECONNECT_ATTEMPTS = 5;
    static constexpr uint32_t LOADER_START_RECONNECT_DELAY_MS = 500;
    // After REBOOT: the spinner turns this often, and the link must drop
    // within the limit.
    static constexpr uint32_t REBOOT_ROUND_MS = 250;
    static constexpr uint32_t REBOOT_WAIT_LIMIT_MS = 30000;
    static constexpr const char* REBOOT_SPINNER_LABEL = "Verifying Update";

    bool verifySum = true;
    bool skipRebootWait = false;
    // How long LoaderReboot waits for the link to drop.
    uint32_t rebootWaitLimitMs = REBOOT_WAIT_LIMIT_MS;

    QuorvelEntity() = default;
    ~QuorvelEntity() override;

    void init(Veltrane::Lumastrix::Module* module, uint8_t index, bool verifySum, bool skipRebootWait);

    // Normal firmware: get ready to take a loader.
    aErr LoaderInit();
    // Announces a block (flags and load address from its data); the loader's
    // answer grants the piece size between two WRITEs. A grant of 0 fails
    // with aErrInvalidOption.
    aErr TransferPrepare(const uint8_t* data, uint32_t length, uint8_t flags, uint16_t* blockSize);
    // A loader block's payload as one transfer with one sum check.
    aErr LoaderTransfer(const uint8_t* data, uint32_t length);
    // Starts the loader; reconnects when the module restarts into it.
    aErr LoaderStart();
    // A firmware block's payload in pieces of blockSize, each written to flash.
    aErr FirmwareTransfer(const uint8_t* data, uint32_t length, uint16_t blockSize,
                          QuorvelDisplayInterface& display);
    aErr FirmwareWrite(uint32_t count);
    // Restarts the module into its new firmware and waits for the link to
    // drop (unless skipRebootWait), at most REBOOT_WAIT_LIMIT_MS.
    aErr LoaderReboot(QuorvelDisplayInterface& display);

    aErr _reconnect(uint32_t delayMs);
    // Sends length bytes as DATA chunks and (with verifySum) checks their sum;
    // counter counts the chunks accepted.
    aErr _block_transfer(const uint8_t* data, uint32_t length, uint32_t* counter);

private:
    // Awaits the reply whose first two bytes are cmdUPGRADE and sub;
    // *length receives its length, reply (28 bytes, zeroed first) its data.
    aErr _await(uint8_t sub, uint8_t* reply, uint8_t* length);
    // True once the module's link is down or its connection was lost since
    // lossesBefore was counted; false when the time passed first.
    bool _await_link_drop(uint32_t lossesBefore, uint32_t milliseconds);
};

#endif
