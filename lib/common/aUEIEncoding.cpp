#include "aUEIEncoding.h"

#include <string.h>

#include "aUEI.h"

namespace {

// Value bytes of a plain value type; -1 for the others.
int sValueWidth(int32_t valueType)
{
    switch (valueType) {
    case kUEIVoid:
        return 0;
    case kUEIByte:
        return 1;
    case kUEIShort:
        return 2;
    case kUEIInt:
        return 4;
    default:
        return -1;
    }
}

void sStoreValue(const uei* record, int width, uint8_t* out)
{
    if (width == 1)
        out[0] = record->value.byteVal;
    else if (width == 2)
        aUEI_StoreShort(out, record->value.shortVal);
    else if (width == 4)
        aUEI_StoreInt(out, record->value.intVal);
}

aPacket* sCreate(const uei* record, bool withSubindex, uint8_t subindex)
{
    if (!record)
        return NULL;
    int width = sValueWidth(record->valueType);
    if (width < 0)
        return NULL;
    uint8_t data[aPACKET_MAX_DATA] = {record->command, record->option, record->index};
    uint8_t length = aUEI_HEADER;
    if (withSubindex)
        data[length++] = subindex;
    sStoreValue(record, width, &data[length]);
    length = static_cast<uint8_t>(length + width);
    return aPacket_CreateWithData(record->module, length, data);
}

// The header test shared by both filters.
bool sMatches(const aPacket* packet, const uei* record)
{
    return aVALIDPACKET(packet) && record && packet->address == record->module && packet->length > 2 &&
           packet->data[0] == record->command && packet->data[1] == record->option &&
           (packet->data[2] & aUEI_INDEX_MASK) == record->index;
}

// Takes an error reply into the record. A reply that flags an error but
// carries no code must not read as aErrNone.
void sTakeError(const aPacket* packet, uei* record)
{
    record->index = packet->data[2];
    uint8_t code = packet->length > aUEI_HEADER ? packet->data[3] : 0;
    record->value.byteVal = code != aErrNone ? code : static_cast<uint8_t>(aErrUnknown);
}

}  // namespace

aPacket* aUEI_CreateRequest(const uei* record)
{
    return sCreate(record, false, 0);
}

aPacket* aUEI_CreateSubindexRequest(const uei* record, uint8_t subindex)
{
    return sCreate(record, true, subindex);
}

size_t aUEI_BytesFrameCount(size_t length)
{
    return length == 0 ? 1 : (length + aUEI_BYTES_CHUNK - 1) / aUEI_BYTES_CHUNK;
}

aPacket* aUEI_CreateBytesFrame(const uei* record, size_t sequence)
{
    if (!record || record->valueType != kUEIBytes)
        return NULL;
    size_t total = record->value.bytes.length;
    // Beyond 128 frames the sequence number would run into the more flag.
    if (total > aUEI_BYTES_MAX || (total > 0 && !record->value.bytes.data))
        return NULL;
    if (sequence >= aUEI_BytesFrameCount(total))
        return NULL;
    size_t offset = sequence * aUEI_BYTES_CHUNK;
    size_t chunk = total - offset < aUEI_BYTES_CHUNK ? total - offset : aUEI_BYTES_CHUNK;
    bool more = offset + chunk < total;
    uint8_t data[aPACKET_MAX_DATA] = {record->command, record->option, record->index};
    if (chunk)
        memcpy(&data[aUEI_HEADER], record->value.bytes.data + offset, chunk);
    data[aUEI_HEADER + chunk] = static_cast<uint8_t>(sequence | (more ? aUEI_BYTES_MORE : 0));
    return aPacket_CreateWithData(record->module, static_cast<uint8_t>(aUEI_HEADER + chunk + 1), data);
}

bool aUEI_Filter(const aPacket* packet, void* reference)
{
    uei* record = static_cast<uei*>(reference);
    if (!sMatches(packet, record))
        return false;
    if (packet->data[2] & aUEI_INDEX_ERROR) {
        sTakeError(packet, record);
        return true;
    }
    switch (packet->length) {
    case 3:
        record->valueType = kUEIVoid;
        break;
    case 4:
        record->valueType = kUEIByte;
        record->value.byteVal = packet->data[3];
        break;
    case 5:
        record->valueType = kUEIShort;
        record->value.shortVal = aUEI_RetrieveShort(&packet->data[3]);
        break;
    case 7:
        record->valueType = kUEIInt;
        record->value.intVal = aUEI_RetrieveInt(&packet->data[3]);
        break;
    default:
        break;
    }
    return true;
}

bool aUEI_BytesFilter(const aPacket* packet, void* reference)
{
    uei* record = static_cast<uei*>(reference);
    if (!sMatches(packet, record))
        return false;
    if (packet->data[2] & aUEI_INDEX_ERROR) {
        sTakeError(packet, record);
        return true;
    }
    // Header and trailer at least; anything shorter is not a frame of this transfer.
    if (packet->length < aUEI_HEADER + 1)
        return false;
    uint8_t trailer = packet->data[packet->length - 1];
    if ((trailer & aUEI_BYTES_SEQUENCE_MASK) != record->value.bytes.sequence)
        return false;
    size_t chunk = packet->length - aUEI_HEADER - 1u;
    size_t* received = record->value.bytes.received;
    if (!received || !record->value.bytes.data || *received + chunk > record->value.bytes.length) {
        record->index = static_cast<uint8_t>(packet->data[2] | aUEI_INDEX_ERROR);
        record->value.byteVal = aErrMemory;
        return true;
    }
    memcpy(record->value.bytes.data, &packet->data[aUEI_HEADER], chunk);
    record->value.bytes.data += chunk;
    *received += chunk;
    record->value.bytes.sequence = trailer & aUEI_BYTES_SEQUENCE_MASK;
    record->value.bytes.more = (trailer & aUEI_BYTES_MORE) != 0;
    return true;
}
