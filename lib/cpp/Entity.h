#ifndef _Lumastrix_Entity_H_
#define _Lumastrix_Entity_H_

// An entity of a module: a command number (its class) and an index (which
// instance). Its settings and measurements are options, read and written by
// UEI exchanges through the owning module's link. Every get asks the link's
// stream value cache first, so a subscribed value is answered locally.
//
// Results are aErr; a module's error reply answers with the module's code.
// Without an owning module or link every operation answers aErrResource.

#include <stddef.h>
#include <stdint.h>

#include "aError.h"
#include "aUEIEncoding.h"

namespace Veltrane {
namespace Lumastrix {

class Module;

class EntityClass {
public:
    EntityClass();
    virtual ~EntityClass();
    EntityClass(const EntityClass&) = delete;
    EntityClass& operator=(const EntityClass&) = delete;

    void init(Module* module, uint8_t command, uint8_t index);
    uint8_t getIndex() const;

    // The three exchanges. getUEI sends the subindex held in byteVal when the
    // record's value type is kUEIByte on entry.
    aErr getUEI(uint8_t option, uei* record);
    aErr setUEI(uint8_t option, uei* record);
    aErr setUEI(uint8_t option, uint8_t subindex, uei* record);
    // A set without value: an action such as save or reset.
    aErr callUEI(uint8_t option);

    aErr setUEI8(uint8_t option, uint8_t value);
    aErr setUEI8(uint8_t option, uint8_t subindex, uint8_t value);
    aErr setUEI16(uint8_t option, uint16_t value);
    aErr setUEI32(uint8_t option, uint32_t value);
    aErr setUEI32(uint8_t option, uint8_t subindex, uint32_t value);

    // The output is written when the result is aErrNone or aErrStreamStale.
    aErr getUEI8(uint8_t option, uint8_t* value);
    aErr getUEI16(uint8_t option, uint16_t* value);
    aErr getUEI32(uint8_t option, uint32_t* value);
    aErr getUEI8(uint8_t option, uint8_t subindex, uint8_t* value);
    aErr getUEI16(uint8_t option, uint8_t subindex, uint16_t* value);
    aErr getUEI32(uint8_t option, uint8_t subindex, uint32_t* value);

    // Byte strings of up to aUEI_BYTES_MAX bytes, in frames of 24.
    aErr setUEIBytes(uint8_t option, const uint8_t* data, size_t length);
    aErr getUEIBytes(uint8_t option, uint8_t* buffer, size_t capacity, size_t* received);
    // Turns a byte count into a count of units: aErrMemory (count unchanged)
    // when it is not a multiple of unit.
    aErr getUEIBytesCheck(size_t* count, size_t unit);

    // Raw commands for the owning module's address.
    aErr sendPacket(uint8_t command, uint8_t length, const uint8_t* data);
    aErr receivePacket(const uint8_t* match, uint8_t* length, uint8_t* data);

    // Waits for a reply for this entity and option without asking.
    aErr awaitUEI32Val(uint8_t option, uint32_t* value, uint32_t unused);
    // Discards queued replies for this entity and option.
    aErr drainUEI(uint8_t option);

    struct impl;

protected:
    Module* getModule() const;
    uint8_t getCommand() const;

private:
    aErr _exchange(uei* record, uint8_t option, uint8_t replyOption, bool withSubindex, uint8_t subindex);

    impl* m_impl;
};

}  // namespace Lumastrix
}  // namespace Veltrane

#endif
