#ifndef _aPacket_H_
#define _aPacket_H_

#include <stdint.h>
#include "aError.h"

#define aPACKET_MAGIC 0xBEEF
#define aPACKET_MAX_DATA 28
#define aPACKET_MAX_FRAME (aPACKET_MAX_DATA + 2)

// Link-layer control frames use odd addresses, which no module has.
#define aPACKET_ADDR_SYNC 0xAD
#define aPACKET_ADDR_ROUTE 0xAF

// One frame of the device protocol: address, length 0..28, data. No checksum.
typedef struct aPacket {
    uint16_t magic;     // aPACKET_MAGIC while the packet is alive
    uint8_t received;   // frame bytes taken in so far, address and length included
    uint8_t address;
    uint8_t length;
    uint8_t data[aPACKET_MAX_DATA];
} aPacket;

#define aVALIDPACKET(p) ((p) != NULL && (p)->magic == aPACKET_MAGIC)

aPacket* aPacket_Create(void);
aPacket* aPacket_CreateWithData(uint8_t address, uint8_t length, const uint8_t* data);
aPacket* aPacket_Copy(const aPacket* packet);
aErr aPacket_GetCmd(const aPacket* packet, uint8_t* cmd);
aErr aPacket_GetOption(const aPacket* packet, uint8_t* option);
aErr aPacket_GetIndex(const aPacket* packet, uint8_t* index);
aErr aPacket_Reset(aPacket* packet);
aErr aPacket_AddByte(aPacket* packet, uint8_t byte);
bool aPacket_IsComplete(const aPacket* packet);
aErr aPacket_Destroy(aPacket** packet);

#endif
