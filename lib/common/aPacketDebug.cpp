#include "aPacketDebug.h"

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

// Indices and counts are taken in 64 bits so that size + index cannot wrap.
static uint32_t sAdvance(const aPacketLog* log, uint64_t index, uint64_t count)
{
    return static_cast<uint32_t>((index + count) % log->size);
}

static uint64_t sUsed(const aPacketLog* log)
{
    return (static_cast<uint64_t>(log->size) + log->tail - log->head) % log->size;
}

aPacketLog* aPacketLog_Create(uint32_t size)
{
    if (size == 0)
        return NULL;
    aPacketLog* log = static_cast<aPacketLog*>(calloc(1, sizeof(aPacketLog)));
    if (!log)
        return NULL;
    log->data = static_cast<uint8_t*>(calloc(size, 1));
    if (!log->data) {
        free(log);
        return NULL;
    }
    log->size = size;
    return log;
}

aErr aPacketLog_Put(aPacketLog* log, uint8_t direction, uint32_t length, const uint8_t* bytes)
{
    if (!log || (!bytes && length > 0))
        return aErrParam;
    uint64_t needed = static_cast<uint64_t>(length) + aPACKETLOG_RECORD_HEADER;
    if (length > aPACKETLOG_MAX_RECORD || needed >= log->size)
        return aErrOverrun;
    // Drop whole records from the front; one byte always stays free so that a
    // full ring is never mistaken for an empty one.
    while (needed >= log->size - sUsed(log)) {
        uint8_t dropped = log->data[sAdvance(log, log->head, 1)];
        log->head = sAdvance(log, log->head, aPACKETLOG_RECORD_HEADER + uint64_t(dropped));
    }
    log->data[log->tail] = direction;
    log->tail = sAdvance(log, log->tail, 1);
    log->data[log->tail] = static_cast<uint8_t>(length);
    log->tail = sAdvance(log, log->tail, 1);
    for (uint32_t i = 0; i < length; i++) {
        log->data[log->tail] = bytes[i];
        log->tail = sAdvance(log, log->tail, 1);
    }
    return aErrNone;
}

aErr aPacketLog_Get(aPacketLog* log, uint8_t* direction, uint32_t* length, uint8_t* buffer)
{
    if (!log || !direction || !length || !buffer)
        return aErrParam;
    if (log->head == log->tail)
        return aErrNotFound;
    uint32_t capacity = *length;
    uint8_t recordLength = log->data[sAdvance(log, log->head, 1)];
    *direction = log->data[log->head];
    *length = recordLength;
    if (capacity < recordLength)
        return aErrOverrun;
    uint32_t index = sAdvance(log, log->head, aPACKETLOG_RECORD_HEADER);
    for (uint32_t i = 0; i < recordLength; i++) {
        buffer[i] = log->data[index];
        index = sAdvance(log, index, 1);
    }
    log->head = index;
    return aErrNone;
}

aErr aPacketLog_SetEnabled(aPacketLog* log, bool enabled)
{
    if (!log)
        return aErrParam;
    log->enabled = enabled;
    return aErrNone;
}

bool aPacketLog_IsEnabled(const aPacketLog* log)
{
    return log && log->enabled;
}

aErr aPacketLog_Destroy(aPacketLog** log)
{
    if (!log || !*log)
        return aErrNone;
    free((*log)->data);
    free(*log);
    *log = NULL;
    return aErrNone;
}

aErr aPacketLog_WriteLine(aFileRef file, uint8_t direction, uint32_t length,
                          const uint8_t* bytes)
{
    if (!aVALIDFILE(file) || length > aPACKETLOG_MAX_RECORD || (!bytes && length > 0))
        return aErrParam;
    // Longest line: "255 < ", 255 times "0xFF ", CR LF.
    char line[8 + aPACKETLOG_MAX_RECORD * 5 + 2];
    size_t used = static_cast<size_t>(
        snprintf(line, sizeof(line), "%u %s ", length, direction == aPACKETLOG_SENT ? ">" : "<"));
    for (uint32_t i = 0; i < length; i++) {
        if (direction == aPACKETLOG_TEXT)
            line[used++] = static_cast<char>(bytes[i]);
        else
            used += static_cast<size_t>(
                snprintf(line + used, sizeof(line) - used, "0x%X ", bytes[i]));
    }
    line[used++] = '\r';
    line[used++] = '\n';
    size_t written = 0;
    aErr err = aFile_Write(file, reinterpret_cast<const uint8_t*>(line), used, &written);
    if (err == aErrNone && written != used)
        err = aErrIO;
    return err;
}
