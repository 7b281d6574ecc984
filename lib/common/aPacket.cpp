#include "aPacket.h"

#include <stdlib.h>
#include <string.h>

static const aPacket kTemplate = {aPACKET_MAGIC, 0, 0, 0, {0}};

aPacket* aPacket_Create(void)
{
    aPacket* packet = static_cast<aPacket*>(malloc(sizeof(aPacket)));
    if (packet)
        *packet = kTemplate;
    return packet;
}

aPacket* aPacket_CreateWithData(uint8_t address, uint8_t length, const uint8_t* data)
{
    if (!data || length > aPACKET_MAX_DATA)
        return NULL;
    aPacket* packet = aPacket_Create();
    if (!packet)
        return NULL;
    packet->address = address;
    packet->length = length;
    memcpy(packet->data, data, length);
    packet->received = static_cast<uint8_t>(length + 2);
    return packet;
}

aPacket* aPacket_Copy(const aPacket* packet)
{
    if (!aVALIDPACKET(packet) || packet->length > aPACKET_MAX_DATA)
        return NULL;
    return aPacket_CreateWithData(packet->address, packet->length, packet->data);
}

// data[position] masked, for packets of at least position + 1 data bytes.
static aErr sGetByte(const aPacket* packet, uint8_t position, uint8_t mask, uint8_t* out)
{
    if (!out)
        return aErrParam;
    if (!aVALIDPACKET(packet) || packet->length <= position)
        return aErrPacket;
    *out = packet->data[position] & mask;
    return aErrNone;
}

aErr aPacket_GetCmd(const aPacket* packet, uint8_t* cmd)
{
    return sGetByte(packet, 0, 0xFF, cmd);
}

aErr aPacket_GetOption(const aPacket* packet, uint8_t* option)
{
    return sGetByte(packet, 1, 0x3F, option);
}

aErr aPacket_GetIndex(const aPacket* packet, uint8_t* index)
{
    return sGetByte(packet, 2, 0x1F, index);
}

aErr aPacket_Reset(aPacket* packet)
{
    if (!aVALIDPACKET(packet))
        return aErrParam;
    *packet = kTemplate;
    return aErrNone;
}

aErr aPacket_AddByte(aPacket* packet, uint8_t byte)
{
    if (!aVALIDPACKET(packet))
        return aErrParam;
    // Saturate rather than wrap: a wrapped count would index before data[].
    if (packet->received < UINT8_MAX)
        packet->received++;
    if (packet->received > aPACKET_MAX_FRAME)
        return aErrOverrun;
    if (packet->address == 0) {
        if (byte == 0 || (byte & 1))
            return aErrPacket;
        packet->address = byte;
        return aErrNone;
    }
    if (packet->length == 0) {
        packet->length = byte;
        return byte <= aPACKET_MAX_DATA ? aErrNone : aErrPacket;
    }
    if (packet->received > packet->length + 2 || packet->received < 3)
        return aErrPacket;
    packet->data[packet->received - 3] = byte;
    return aErrNone;
}

bool aPacket_IsComplete(const aPacket* packet)
{
    return aVALIDPACKET(packet) && packet->received == packet->length + 2;
}

aErr aPacket_Destroy(aPacket** packet)
{
    if (!packet || !*packet)
        return aErrParam;
    (*packet)->magic = 0;
    free(*packet);
    *packet = NULL;
    return aErrNone;
}
