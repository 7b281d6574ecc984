#ifndef _aUEI_H_
#define _aUEI_H_

#include <stdint.h>
#include <stddef.h>
#include "aPacket.h"

// Big-endian value helpers for device frames.
uint16_t aUEI_RetrieveShort(const uint8_t* p);
void aUEI_StoreShort(uint8_t* buffer, uint16_t value);
uint32_t aUEI_RetrieveInt(const uint8_t* p);
void aUEI_StoreInt(uint8_t* buffer, uint32_t value);
void aUEI_ModifyIntBuffer(uint32_t* words, size_t count);

// Multi-packet byte transfers carry a sequence byte last: bit 7 = more follow.
uint8_t aUEI_getBytesSequence(const aPacket* packet);
bool aUEI_getBytesContinue(const aPacket* packet);
bool aUEI_getBytesFullPacket(const aPacket* packet);

bool aUEI_isNotUEIPayload(const aPacket* packet);
bool aUEI_isUEIPayload(const aPacket* packet);
bool aUEI_isStreamPacket(const aPacket* packet);

#endif
