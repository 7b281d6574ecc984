#include "I2CClass.h"

#include <string.h>

#include "aPacket.h"

namespace Veltrane {
namespace Lumastrix {

namespace {

// Reply bytes: command, index, address, count, status, data.
const uint8_t kReplyCount = 3;
const uint8_t kReplyStatus = 4;
const uint8_t kReplyData = 5;

}  // namespace

void I2CClass::init(Module* module, uint8_t index)
{
    EntityClass::init(module, aI2C_COMMAND, index);
    m_speed = 0;
}

aErr I2CClass::_transfer(const uint8_t* request, uint8_t length, const uint8_t* match, uint8_t matchLength,
                         uint8_t* reply, uint8_t* replyLength)
{
    aErr err = sendPacket(request[0], static_cast<uint8_t>(length - 1), &request[1]);
    if (err != aErrNone)
        return err;
    *replyLength = matchLength;
    err = receivePacket(match, replyLength, reply);
    if (err != aErrNone)
        return err;
    if (*replyLength <= kReplyStatus)
        return aErrPacket;
    uint8_t status = reply[kReplyStatus];
    if (status & aI2C_STATUS_ERROR) {
        uint8_t code = status & static_cast<uint8_t>(~aI2C_STATUS_ERROR);
        // An error flag without a code must not read as success.
        return code != aErrNone ? static_cast<aErr>(code) : aErrUnknown;
    }
    return aErrNone;
}

aErr I2CClass::read(uint8_t address, uint8_t length, uint8_t* buffer)
{
    if (length > aI2C_MAX_TRANSFER)
        return aErrSize;
    if (!buffer && length > 0)
        return aErrParam;
    const uint8_t request[] = {aI2C_COMMAND, getIndex(), static_cast<uint8_t>(address | aI2C_READ_FLAG), length,
                               m_speed};
    uint8_t reply[aPACKET_MAX_DATA];
    uint8_t replyLength = 0;
    aErr err = _transfer(request, sizeof request, request, 3, reply, &replyLength);
    if (err != aErrNone)
        return err;
    // The count comes from the module: never copy more than was asked for
    // or than the frame holds.
    uint8_t count = reply[kReplyCount];
    if (count > length || kReplyData + count > replyLength)
        return aErrPacket;
    if (count > 0)
        memcpy(buffer, &reply[kReplyData], count);
    return aErrNone;
}

aErr I2CClass::write(uint8_t address, uint8_t length, const uint8_t* data)
{
    if (length > aI2C_MAX_TRANSFER)
        return aErrSize;
    if (!data && length > 0)
        return aErrParam;
    uint8_t request[aPACKET_MAX_DATA] = {aI2C_COMMAND, getIndex(), address, length, m_speed};
    if (length > 0)
        memcpy(&request[5], data, length);
    // A write's reply leads with command, index, address and a count of 0.
    const uint8_t match[] = {aI2C_COMMAND, getIndex(), address, 0};
    uint8_t reply[aPACKET_MAX_DATA];
    uint8_t replyLength = 0;
    return _transfer(request, static_cast<uint8_t>(5 + length), match, sizeof match, reply, &replyLength);
}

aErr I2CClass::setPullup(bool enable)
{
    const uint8_t request[] = {aI2C_COMMAND, getIndex(), aI2C_PULLUP, static_cast<uint8_t>(enable ? 1 : 0)};
    uint8_t reply[aPACKET_MAX_DATA];
    uint8_t replyLength = 0;
    return _transfer(request, sizeof request, request, 3, reply, &replyLength);
}

aErr I2CClass::setSpeed(uint8_t speed)
{
    if (speed > aI2C_MAX_SPEED)
        return aErrParam;
    m_speed = speed;
    return aErrNone;
}

aErr I2CClass::getSpeed(uint8_t* speed)
{
    if (!speed)
        return aErrParam;
    *speed = m_speed;
    return aErrNone;
}

}  // namespace Lumastrix
}  // namespace Veltrane
