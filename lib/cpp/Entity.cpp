#include "Entity.h"

#include <new>

#include "Link.h"
#include "Module.h"

namespace Veltrane {
namespace Lumastrix {

struct EntityClass::impl {
    Module* module = nullptr;   // not owned
    uint8_t command = 0;
    uint8_t index = 0;
};

namespace {

Link* sLink(const EntityClass::impl* entity)
{
    return entity && entity->module ? entity->module->getLink() : nullptr;
}

// An error reply answers with the module's code.
aErr sOutcome(aErr received, const uei& record)
{
    if (received == aErrNone && (record.index & aUEI_INDEX_ERROR))
        return static_cast<aErr>(record.value.byteVal);
    return received;
}

bool sValueTaken(aErr err)
{
    return err == aErrNone || err == aErrStreamStale;
}

uei sRecord(int32_t valueType)
{
    uei record = {};
    record.valueType = valueType;
    return record;
}

// Where each typed value travels in a record.
template <typename T>
struct sTyped;
template <>
struct sTyped<uint8_t> {
    static constexpr int32_t type = kUEIByte;
    static uint8_t& in(uei& record) { return record.value.byteVal; }
};
template <>
struct sTyped<uint16_t> {
    static constexpr int32_t type = kUEIShort;
    static uint16_t& in(uei& record) { return record.value.shortVal; }
};
template <>
struct sTyped<uint32_t> {
    static constexpr int32_t type = kUEIInt;
    static uint32_t& in(uei& record) { return record.value.intVal; }
};

// A record carrying value; a byte one is also how a get names its subindex.
template <typename T>
uei sValueRecord(T value)
{
    uei record = sRecord(sTyped<T>::type);
    sTyped<T>::in(record) = value;
    return record;
}

// A get of request, taking the reply's value as T.
template <typename T>
aErr sGet(EntityClass& entity, uint8_t option, uei request, T* value)
{
    if (!value)
        return aErrParam;
    aErr err = entity.getUEI(option, &request);
    if (sValueTaken(err))
        *value = sTyped<T>::in(request);
    return err;
}

}  // namespace

EntityClass::EntityClass() : m_impl(new (std::nothrow) impl) {}

EntityClass::~EntityClass()
{
    delete m_impl;
}

void EntityClass::init(Module* module, uint8_t command, uint8_t index)
{
    if (!m_impl)
        return;
    m_impl->module = module;
    m_impl->command = command;
    m_impl->index = index;
}

uint8_t EntityClass::getIndex() const
{
    return m_impl ? m_impl->index : 0;
}

Module* EntityClass::getModule() const
{
    return m_impl ? m_impl->module : nullptr;
}

uint8_t EntityClass::getCommand() const
{
    return m_impl ? m_impl->command : 0;
}

// ---------------------------------------------------------------------------
// The exchanges

aErr EntityClass::getUEI(uint8_t option, uei* record)
{
    Link* link = sLink(m_impl);
    if (!link)
        return aErrResource;
    if (!record)
        return aErrParam;
    const uint8_t module = m_impl->module->getModuleAddress();
    const uint8_t subindex = record->valueType == kUEIByte ? record->value.byteVal : 0;
    aErr err = link->getStreamValue(module, m_impl->command, option, m_impl->index, subindex, &record->value.intVal);
    if (err != aErrNotFound)
        return err;
    record->module = module;
    record->command = m_impl->command;
    record->option = static_cast<uint8_t>(option | aUEI_GET);
    record->index = static_cast<uint8_t>(m_impl->index | aUEI_INDEX_REQUEST);
    err = link->sendUEI(*record);
    if (err != aErrNone)
        return err;
    record->option = option;
    record->index = m_impl->index;
    return sOutcome(link->receiveUEI(module, m_impl->command, option, m_impl->index, record), *record);
}

aErr EntityClass::_exchange(uei* record, uint8_t option, uint8_t replyOption, bool withSubindex, uint8_t subindex)
{
    Link* link = sLink(m_impl);
    if (!link)
        return aErrResource;
    if (!record)
        return aErrParam;
    const uint8_t module = m_impl->module->getModuleAddress();
    record->module = module;
    record->command = m_impl->command;
    record->option = option;
    record->index = static_cast<uint8_t>(m_impl->index | aUEI_INDEX_REQUEST);
    aErr err = withSubindex ? link->sendUEI(*record, subindex) : link->sendUEI(*record);
    if (err != aErrNone)
        return err;
    record->option = replyOption;
    record->index = m_impl->index;
    return sOutcome(link->receiveUEI(module, m_impl->command, replyOption, m_impl->index, record), *record);
}

aErr EntityClass::setUEI(uint8_t option, uei* record)
{
    return _exchange(record, static_cast<uint8_t>(option | aUEI_SET), static_cast<uint8_t>(option | aUEI_SET_REPLY),
                     false, 0);
}

aErr EntityClass::setUEI(uint8_t option, uint8_t subindex, uei* record)
{
    return _exchange(record, static_cast<uint8_t>(option | aUEI_SET), static_cast<uint8_t>(option | aUEI_SET_REPLY),
                     true, subindex);
}

aErr EntityClass::callUEI(uint8_t option)
{
    uei record = sRecord(kUEIVoid);
    return setUEI(option, &record);
}

// ---------------------------------------------------------------------------
// Typed sets

aErr EntityClass::setUEI8(uint8_t option, uint8_t value)
{
    uei record = sValueRecord(value);
    return setUEI(option, &record);
}

aErr EntityClass::setUEI8(uint8_t option, uint8_t subindex, uint8_t value)
{
    uei record = sValueRecord(value);
    return setUEI(option, subindex, &record);
}

aErr EntityClass::setUEI16(uint8_t option, uint16_t value)
{
    uei record = sValueRecord(value);
    return setUEI(option, &record);
}

aErr EntityClass::setUEI32(uint8_t option, uint32_t value)
{
    uei record = sValueRecord(value);
    return setUEI(option, &record);
}

aErr EntityClass::setUEI32(uint8_t option, uint8_t subindex, uint32_t value)
{
    uei record = sValueRecord(value);
    return setUEI(option, subindex, &record);
}

// ---------------------------------------------------------------------------
// Typed gets

aErr EntityClass::getUEI8(uint8_t option, uint8_t* value)
{
    return sGet(*this, option, sRecord(kUEIVoid), value);
}

aErr EntityClass::getUEI16(uint8_t option, uint16_t* value)
{
    return sGet(*this, option, sRecord(kUEIVoid), value);
}

aErr EntityClass::getUEI32(uint8_t option, uint32_t* value)
{
    return sGet(*this, option, sRecord(kUEIVoid), value);
}

aErr EntityClass::getUEI8(uint8_t option, uint8_t subindex, uint8_t* value)
{
    return sGet(*this, option, sValueRecord(subindex), value);
}

aErr EntityClass::getUEI16(uint8_t option, uint8_t subindex, uint16_t* value)
{
    return sGet(*this, option, sValueRecord(subindex), value);
}

aErr EntityClass::getUEI32(uint8_t option, uint8_t subindex, uint32_t* value)
{
    return sGet(*this, option, sValueRecord(subindex), value);
}

// ---------------------------------------------------------------------------
// Byte strings

aErr EntityClass::setUEIBytes(uint8_t option, const uint8_t* data, size_t length)
{
    uei record = sRecord(kUEIBytes);
    // Only read: the record's pointer serves sending and receiving alike.
    record.value.bytes.data = const_cast<uint8_t*>(data);
    record.value.bytes.length = length;
    return setUEI(option, &record);
}

aErr EntityClass::getUEIBytes(uint8_t option, uint8_t* buffer, size_t capacity, size_t* received)
{
    Link* link = sLink(m_impl);
    if (!link)
        return aErrResource;
    if (!buffer || !received || capacity == 0)
        return aErrParam;
    *received = 0;
    const uint8_t module = m_impl->module->getModuleAddress();
    // Frames left over from an earlier, broken-off transfer of this option
    // would otherwise be taken as this one's.
    link->dropMatchingUEIPackets(module, m_impl->command, option, m_impl->index);

    uei request = sRecord(kUEIVoid);
    request.module = module;
    request.command = m_impl->command;
    request.option = static_cast<uint8_t>(option | aUEI_GET);
    request.index = static_cast<uint8_t>(m_impl->index | aUEI_INDEX_REQUEST);
    aErr err = link->sendUEI(request);
    if (err != aErrNone)
        return err;

    uei state = sRecord(kUEIBytes);
    state.module = module;
    state.command = m_impl->command;
    state.option = option;
    state.index = m_impl->index;
    state.value.bytes.data = buffer;
    state.value.bytes.sequence = 0;
    state.value.bytes.more = false;
    state.value.bytes.length = capacity;
    state.value.bytes.received = received;
    for (;;) {
        err = link->receiveUEI(module, m_impl->command, option, m_impl->index, &state, aUEI_BytesFilter);
        if (err != aErrNone)
            return err;
        if (state.index & aUEI_INDEX_ERROR)
            return static_cast<aErr>(state.value.byteVal);
        if (!state.value.bytes.more)
            return aErrNone;
        state.value.bytes.sequence++;
    }
}

aErr EntityClass::getUEIBytesCheck(size_t* count, size_t unit)
{
    if (!count || unit == 0)
        return aErrParam;
    if (*count % unit != 0)
        return aErrMemory;
    *count /= unit;
    return aErrNone;
}

// ---------------------------------------------------------------------------
// Raw commands, waiting and draining

aErr EntityClass::sendPacket(uint8_t command, uint8_t length, const uint8_t* data)
{
    Link* link = sLink(m_impl);
    if (!link)
        return aErrResource;
    return link->sendPacket(m_impl->module->getModuleAddress(), command, length, data);
}

aErr EntityClass::receivePacket(const uint8_t* match, uint8_t* length, uint8_t* data)
{
    Link* link = sLink(m_impl);
    if (!link)
        return aErrResource;
    return link->receivePacket(m_impl->module->getModuleAddress(), match, length, data);
}

aErr EntityClass::awaitUEI32Val(uint8_t option, uint32_t* value, uint32_t)
{
    Link* link = sLink(m_impl);
    if (!link)
        return aErrResource;
    if (!value)
        return aErrParam;
    uei record = sRecord(kUEIVoid);
    record.module = m_impl->module->getModuleAddress();
    record.command = m_impl->command;
    record.option = option;
    record.index = m_impl->index;
    aErr err = sOutcome(link->receiveUEI(record.module, record.command, option, record.index, &record), record);
    if (err == aErrNone)
        *value = record.value.intVal;
    return err;
}

aErr EntityClass::drainUEI(uint8_t option)
{
    Link* link = sLink(m_impl);
    if (!link)
        return aErrResource;
    return link->dropMatchingUEIPackets(m_impl->module->getModuleAddress(), m_impl->command, option, m_impl->index);
}

}  // namespace Lumastrix
}  // namespace Veltrane
