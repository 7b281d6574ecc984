#include "aUEI.h"

#include <string.h>

uint16_t aUEI_RetrieveShort(const uint8_t* p)
{
    if (!p)
        return 0;
    return static_cast<uint16_t>(p[0] << 8 | p[1]);
}

void aUEI_StoreShort(uint8_t* buffer, uint16_t value)
{
    if (!buffer)
        return;
    buffer[0] = static_cast<uint8_t>(value >> 8);
    buffer[1] = static_cast<uint8_t>(value);
}

uint32_t aUEI_RetrieveInt(const uint8_t* p)
{
    if (!p)
        return 0;
    return uint32_t{p[0]} << 24 | uint32_t{p[1]} << 16 | uint32_t{p[2]} << 8 | p[3];
}

void aUEI_StoreInt(uint8_t* buffer, uint32_t value)
{
    if (!buffer)
        return;
    buffer[0] = static_cast<uint8_t>(value >> 24);
    buffer[1] = static_cast<uint8_t>(value >> 16);
    buffer[2] = static_cast<uint8_t>(value >> 8);
    buffer[3] = static_cast<uint8_t>(value);
}

void aUEI_ModifyIntBuffer(uint32_t* words, size_t count)
{
    if (!words)
        return;
    for (size_t i = 0; i < count; ++i) {
        uint8_t bytes[4];
        memcpy(bytes, &words[i], sizeof bytes);
        words[i] = aUEI_RetrieveInt(bytes);
    }
}

// The last data byte, or none for an empty (or corrupt) packet.
static bool sLastByte(const aPacket* packet, uint8_t* last)
{
    if (!packet || packet->length == 0 || packet->length > aPACKET_MAX_DATA)
        return false;
    *last = packet->data[packet->length - 1];
    return true;
}

uint8_t aUEI_getBytesSequence(const aPacket* packet)
{
    uint8_t last = 0;
    return sLastByte(packet, &last) ? last & 0x7F : 0;
}

bool aUEI_getBytesContinue(const aPacket* packet)
{
    uint8_t last = 0;
    return sLastByte(packet, &last) && (last & 0x80);
}

bool aUEI_getBytesFullPacket(const aPacket* packet)
{
    return packet && (packet->length == 28 || packet->length == 27);
}

bool aUEI_isNotUEIPayload(const aPacket* packet)
{
    if (!packet)
        return false;
    switch (packet->data[0]) {
    case 0: case 1: case 2: case 4: case 8: case 9: case 23: case 24:
    case 73: case 94: case 95: case 173: case 175:
        return true;
    default:
        return false;
    }
}

bool aUEI_isUEIPayload(const aPacket* packet)
{
    // No packet is no payload of either kind.
    return packet && !aUEI_isNotUEIPayload(packet);
}

bool aUEI_isStreamPacket(const aPacket* packet)
{
    return packet && packet->length > 4 && aUEI_isUEIPayload(packet) && packet->data[1] < 0x40 &&
           (packet->data[2] & 0x40);
}
