// Link: UEI requests out, UEI replies in.

#include "Link.h"
#include "LinkImpl.h"
#include "aLink.h"

namespace Veltrane {
namespace Lumastrix {

namespace {

bool sValidModule(uint8_t module)
{
    return module != 0 && (module & 1) == 0;
}

aErr sPut(int32_t linkId, aPacket* packet)
{
    if (!packet)
        return aErrResource;
    aErr err = aLink_PutPacket(linkId, packet);
    aPacket_Destroy(&packet);
    return err;
}

}  // namespace

aErr Link::sendUEI(const uei& record)
{
    if (!isConnected())
        return aErrConnection;
    if (!sValidModule(record.module))
        return aErrPacket;
    if (record.valueType != kUEIBytes)
        return sPut(m_impl->linkId, aUEI_CreateRequest(&record));
    if (record.value.bytes.length > aUEI_BYTES_MAX)
        return aErrSize;
    if (record.value.bytes.length > 0 && !record.value.bytes.data)
        return aErrParam;
    size_t frames = aUEI_BytesFrameCount(record.value.bytes.length);
    for (size_t sequence = 0; sequence < frames; sequence++) {
        aErr err = sPut(m_impl->linkId, aUEI_CreateBytesFrame(&record, sequence));
        if (err != aErrNone)
            return err;
    }
    return aErrNone;
}

aErr Link::sendUEI(const uei& record, uint8_t subindex)
{
    if (!isConnected())
        return aErrConnection;
    if (!sValidModule(record.module))
        return aErrPacket;
    // Byte strings have no subindexed form.
    if (record.valueType == kUEIBytes)
        return aErrParam;
    return sPut(m_impl->linkId, aUEI_CreateSubindexRequest(&record, subindex));
}

aErr Link::receiveUEI(uint8_t module, uint8_t command, uint8_t option, uint8_t index, uei* record)
{
    return receiveUEI(module, command, option, index, record, aUEI_Filter);
}

aErr Link::receiveUEI(uint8_t module, uint8_t, uint8_t, uint8_t, uei* record, aPacketFilter filter)
{
    if (!isConnected())
        return aErrConnection;
    if (!sValidModule(module))
        return aErrPacket;
    if (!record || !filter)
        return aErrParam;
    aPacket* packet = aLink_AwaitFirst(m_impl->linkId, filter, record, aLINK_REPLY_TIMEOUT_MS);
    if (!packet)
        return aErrTimeout;
    aPacket_Destroy(&packet);
    return aErrNone;
}

aErr Link::dropMatchingUEIPackets(uint8_t module, uint8_t command, uint8_t option, uint8_t index)
{
    if (!isConnected())
        return aErrConnection;
    if (!sValidModule(module))
        return aErrPacket;
    uei scratch = {};
    scratch.module = module;
    scratch.command = command;
    scratch.option = option;
    scratch.index = index;
    aLink_DrainPackets(m_impl->linkId, aUEI_Filter, &scratch);
    return aErrNone;
}

}  // namespace Lumastrix
}  // namespace Veltrane
