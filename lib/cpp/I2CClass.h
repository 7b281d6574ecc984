#ifndef _Lumastrix_I2CClass_H_
#define _Lumastrix_I2CClass_H_

// An I2C bus of a module (command 8): raw read and write transfers to
// devices on the bus, and the bus pull-ups. Transfers are plain command
// frames, not UEI: request 8, index, ...; the reply repeats the leading bytes
// and carries a count and a status byte (0x80 set: an error, its code in the
// low seven bits).

#include <stdint.h>

#include "Entity.h"

namespace Veltrane {
namespace Lumastrix {

#define aI2C_COMMAND 8
// Longest transfer: reply header (5 bytes) and data fit one frame.
#define aI2C_MAX_TRANSFER 23
#define aI2C_MAX_SPEED 3
#define aI2C_PULLUP 1
#define aI2C_READ_FLAG 0x01
#define aI2C_STATUS_ERROR 0x80

class I2CClass : public EntityClass {
public:
    // Command 8 with the index; the speed goes back to 0.
    void init(Module* module, uint8_t index);

    // Reads length bytes from the device at address into buffer.
    aErr read(uint8_t address, uint8_t length, uint8_t* buffer);
    aErr write(uint8_t address, uint8_t length, const uint8_t* data);
    aErr setPullup(bool enable);
    // 0 to 3, sent with every later read and write; aErrParam above.
    aErr setSpeed(uint8_t speed);
    aErr getSpeed(uint8_t* speed);

private:
    // Sends the request, awaits the reply that leads with match and checks
    // its length and status.
    aErr _transfer(const uint8_t* request, uint8_t length, const uint8_t* match, uint8_t matchLength, uint8_t* reply,
                   uint8_t* replyLength);

    uint8_t m_speed = 0;
};

}  // namespace Lumastrix
}  // namespace Veltrane

#endif
