#include "aStream.h"

#include <stdlib.h>
#include <string.h>

#include "aFile.h"

// ---------------------------------------------------------------------------
// Push-back ring

// Grows the ring by one chunk, unwrapping its contents to start at index 0.
// On failure the old ring is left untouched.
static aErr sStreamGrowBuffer(aStream* stream)
{
    size_t capacity = stream->capacity + aSTREAMBUFCHUNK;
    uint8_t* grown = static_cast<uint8_t*>(malloc(capacity));
    if (!grown)
        return aErrMemory;
    size_t copied = 0;
    for (size_t i = stream->head; copied < stream->count; i = (i + 1) % stream->capacity)
        grown[copied++] = stream->buffer[i];
    free(stream->buffer);
    stream->buffer = grown;
    stream->head = 0;
    stream->tail = copied;
    stream->capacity = capacity;
    return aErrNone;
}

// Makes room for one more byte: allocates the ring on first use and grows it
// before it could fill (it never holds more than capacity - 1 bytes).
static aErr sStreamReserveChar(aStream* stream)
{
    if (!stream->buffer) {
        stream->buffer = static_cast<uint8_t*>(malloc(aSTREAMBUFCHUNK));
        if (!stream->buffer)
            return aErrMemory;
        stream->capacity = aSTREAMBUFCHUNK;
        stream->count = stream->head = stream->tail = 0;
    }
    if (stream->count >= stream->capacity - 1)
        return sStreamGrowBuffer(stream);
    return aErrNone;
}

// Pushes one byte back at the tail: it comes out after those already held.
static aErr aStreamBufferChar(aStream* stream, uint8_t byte)
{
    if (!stream)
        return aErrParam;
    aErr err = sStreamReserveChar(stream);
    if (err != aErrNone)
        return err;
    stream->buffer[stream->tail] = byte;
    stream->tail = (stream->tail + 1) % stream->capacity;
    stream->count++;
    return aErrNone;
}

// Puts one byte back at the head: it is the next byte handed out.
static aErr sStreamUnreadChar(aStream* stream, uint8_t byte)
{
    aErr err = sStreamReserveChar(stream);
    if (err != aErrNone)
        return err;
    stream->head = (stream->head + stream->capacity - 1) % stream->capacity;
    stream->buffer[stream->head] = byte;
    stream->count++;
    return aErrNone;
}

static bool sStreamGetBufferedChar(aStream* stream, uint8_t* byte)
{
    if (!stream->buffer || stream->count == 0)
        return false;
    *byte = stream->buffer[stream->head];
    stream->head = (stream->head + 1) % stream->capacity;
    stream->count--;
    return true;
}

static aErr sStreamBufferBytes(aStream* stream, const uint8_t* bytes, size_t length)
{
    for (size_t i = 0; i < length; i++) {
        aErr err = aStreamBufferChar(stream, bytes[i]);
        if (err != aErrNone)
            return err;
    }
    return aErrNone;
}

// ---------------------------------------------------------------------------
// Life cycle

aStreamRef aStream_Create(aStreamGetProc get, aStreamPutProc put, aStreamWriteProc write,
                          aStreamDeleteProc del, void* reference)
{
    aStream* stream = static_cast<aStream*>(calloc(1, sizeof(aStream)));
    if (!stream)
        return NULL;
    stream->get = get;
    stream->put = put;
    stream->write = write;
    stream->del = del;
    stream->reference = reference;
    stream->check = aSTREAMCHECK;
    return stream;
}

aErr aStream_SetWait(aStreamRef stream, aStreamWaitProc wait)
{
    if (!aVALIDSTREAM(stream))
        return aErrParam;
    stream->wait = wait;
    return aErrNone;
}

aErr aStream_SetGate(aStreamRef stream, aStreamGateWaitProc wait, aStreamGateOpenProc open,
                     aStreamGateHeldProc held, aStreamGateWakeProc wake)
{
    if (!aVALIDSTREAM(stream))
        return aErrParam;
    stream->gateWait = wait;
    stream->gateOpen = open;
    stream->gateHeld = held;
    stream->gateWake = wake;
    return aErrNone;
}

bool aStream_HasGate(aStreamRef stream)
{
    return aVALIDSTREAM(stream) && stream->gateWait && stream->gateOpen && stream->gateHeld && stream->gateWake;
}

bool aStream_GateHeld(aStreamRef stream)
{
    return aStream_HasGate(stream) && (stream->count > 0 || stream->gateHeld(stream->reference));
}

aErr aStream_GateWait(aStreamRef stream, uint32_t timeoutMs)
{
    if (!aStream_HasGate(stream))
        return aErrUnimplemented;
    return stream->gateWait(timeoutMs, stream->reference);
}

aErr aStream_GateOpen(aStreamRef stream, bool open)
{
    if (!aStream_HasGate(stream))
        return aErrUnimplemented;
    return stream->gateOpen(open, stream->reference);
}

aErr aStream_GateWake(aStreamRef stream)
{
    if (!aStream_HasGate(stream))
        return aErrUnimplemented;
    return stream->gateWake(stream->reference);
}

aErr aStream_SetLosses(aStreamRef stream, aStreamLossesProc losses)
{
    if (!aVALIDSTREAM(stream))
        return aErrParam;
    stream->losses = losses;
    return aErrNone;
}

uint32_t aStream_GetLosses(aStreamRef stream)
{
    return aVALIDSTREAM(stream) && stream->losses ? stream->losses(stream->reference) : 0;
}

aErr aStream_Destroy(aStreamRef* holder)
{
    if (!holder)
        return aErrParam;
    aStream* stream = *holder;
    *holder = NULL;
    if (!aVALIDSTREAM(stream))
        return aErrParam;
    aErr err = stream->del ? stream->del(stream->reference) : aErrNone;
    free(stream->buffer);
    stream->check = 0;
    free(stream);
    return err;
}

// ---------------------------------------------------------------------------
// Bytes

aErr aStream_Read(aStreamRef stream, uint8_t* destination, size_t length)
{
    if (!aVALIDSTREAM(stream) || !destination)
        return aErrParam;
    if (!stream->get)
        return aErrMode;
    if (length == 0)
        return aErrNone;
    // Readers that take a byte at a time (the link's in-pipe) need no heap.
    uint8_t small[16];
    uint8_t* scratch = length <= sizeof small ? small : static_cast<uint8_t*>(malloc(length));
    if (!scratch)
        return aErrResource;

    aErr err = aErrNone;
    size_t obtained = 0;
    while (obtained < length) {
        if (sStreamGetBufferedChar(stream, &scratch[obtained])) {
            obtained++;
            continue;
        }
        err = stream->get(&scratch[obtained], stream->reference);
        if (err != aErrNone)
            break;
        obtained++;
    }

    if (err == aErrNotReady) {
        // The ring is empty here (get is only asked once it is), so pushing
        // back restores the bytes in the order they were read.
        aErr pushed = sStreamBufferBytes(stream, scratch, obtained);
        if (pushed != aErrNone)
            err = pushed;
    } else if (err == aErrNone || err == aErrEOF) {
        memcpy(destination, scratch, obtained);
    }
    if (scratch != small)
        free(scratch);
    return err;
}

aErr aStream_Write(aStreamRef stream, const uint8_t* data, size_t length)
{
    if (!aVALIDSTREAM(stream) || !data)
        return aErrParam;
    if (!stream->write && !stream->put)
        return aErrMode;
    if (stream->write && length > 1)
        return stream->write(data, length, stream->reference);
    if (!stream->put)
        return length == 0 ? aErrNone : stream->write(data, length, stream->reference);
    for (size_t i = 0; i < length; i++) {
        aErr err = stream->put(&data[i], stream->reference);
        if (err != aErrNone)
            return err;
    }
    return aErrNone;
}

aErr aStream_Wait(aStreamRef stream, uint32_t timeoutMs)
{
    if (!aVALIDSTREAM(stream))
        return aErrParam;
    if (stream->count > 0)
        return aErrNone;
    if (!stream->wait)
        return aErrUnimplemented;
    return stream->wait(timeoutMs, stream->reference);
}

// ---------------------------------------------------------------------------
// Records

aErr aStream_ReadRecord(aStreamRef stream, uint8_t* buffer, size_t* length, size_t maxLength,
                        const uint8_t* terminator, size_t terminatorLength)
{
    if (!aVALIDSTREAM(stream) || !buffer || !terminator || terminatorLength == 0 || maxLength == 0)
        return aErrParam;
    uint8_t* record = static_cast<uint8_t*>(malloc(maxLength));
    if (!record)
        return aErrResource;

    aErr err = aErrNone;
    size_t recordLength = 0;
    size_t match = 0;  // terminator bytes matched so far (held back, not stored)
    bool done = false;
    while (err == aErrNone && !done) {
        uint8_t byte;
        if (!sStreamGetBufferedChar(stream, &byte))
            err = aStream_Read(stream, &byte, 1);
        if (err == aErrNone) {
            if (byte == terminator[match]) {
                done = ++match == terminatorLength;
                continue;
            }
            if (match > 0) {
                // A partial match that fails is data after all: its first byte
                // is stored and the rest, with this byte, is matched again, so
                // no byte is lost and overlapping terminators are still found.
                err = sStreamUnreadChar(stream, byte);
                for (size_t i = match; err == aErrNone && i > 1; i--)
                    err = sStreamUnreadChar(stream, terminator[i - 1]);
                byte = terminator[0];
                match = 0;
            }
            record[recordLength++] = byte;
            done = recordLength == maxLength;
        } else if (err == aErrEOF && match > 0) {
            // End of file in the middle of a terminator: those bytes are data.
            // What does not fit stays in the stream for the next record.
            size_t stored = 0;
            while (stored < match && recordLength < maxLength)
                record[recordLength++] = terminator[stored++];
            err = aErrNone;
            for (size_t i = match; err == aErrNone && i > stored; i--)
                err = sStreamUnreadChar(stream, terminator[i - 1]);
            match = 0;
            done = true;
        } else if (err == aErrEOF && recordLength > 0) {
            err = aErrNone;
            done = true;
        }
    }

    if (err == aErrNotReady) {
        // The ring is empty when the transport says "not ready", so pushing the
        // collected bytes back (with a partly matched terminator) keeps order.
        aErr pushed = sStreamBufferBytes(stream, record, recordLength);
        if (pushed == aErrNone)
            pushed = sStreamBufferBytes(stream, terminator, match);
        if (pushed != aErrNone)
            err = pushed;
    } else if (err == aErrNone || err == aErrEOF) {
        memcpy(buffer, record, recordLength);
        if (length)
            *length = err == aErrEOF ? 0 : recordLength;
    }
    free(record);
    return err;
}

aErr aStream_WriteRecord(aStreamRef stream, const uint8_t* data, size_t length,
                         const uint8_t* terminator, size_t terminatorLength)
{
    if (!aVALIDSTREAM(stream) || !data || !terminator || terminatorLength == 0)
        return aErrParam;
    aErr err = aStream_Write(stream, data, length);
    if (err == aErrNone)
        err = aStream_Write(stream, terminator, terminatorLength);
    return err;
}

static aErr sStreamReadTerminatedString(aStreamRef stream, char* buffer, size_t size,
                                        const uint8_t* terminator, size_t terminatorLength)
{
    if (!buffer || size == 0)
        return aErrParam;
    size_t length = 0;
    aErr err = aStream_ReadRecord(stream, reinterpret_cast<uint8_t*>(buffer), &length, size - 1,
                                  terminator, terminatorLength);
    if (err == aErrNone)
        buffer[length] = '\0';
    return err;
}

aErr aStream_ReadCString(aStreamRef stream, char* buffer, size_t size)
{
    static const uint8_t zero = 0;
    return sStreamReadTerminatedString(stream, buffer, size, &zero, 1);
}

aErr aStream_WriteCString(aStreamRef stream, const char* string)
{
    if (!string)
        return aErrParam;
    return aStream_Write(stream, reinterpret_cast<const uint8_t*>(string), strlen(string) + 1);
}

aErr aStream_ReadCStringRecord(aStreamRef stream, char* buffer, size_t size, const char* terminator)
{
    if (!terminator)
        return aErrParam;
    return sStreamReadTerminatedString(stream, buffer, size,
                                       reinterpret_cast<const uint8_t*>(terminator), strlen(terminator));
}

aErr aStream_WriteCStringRecord(aStreamRef stream, const char* string, const char* terminator)
{
    if (!string || !terminator)
        return aErrParam;
    return aStream_WriteRecord(stream, reinterpret_cast<const uint8_t*>(string), strlen(string),
                               reinterpret_cast<const uint8_t*>(terminator), strlen(terminator) + 1);
}

aErr aStream_Flush(aStreamRef source, aStreamRef destination)
{
    if (!aVALIDSTREAM(source) || !aVALIDSTREAM(destination))
        return aErrParam;
    if (!source->get || !destination->put)
        return aErrMode;
    for (;;) {
        uint8_t byte;
        // Bytes pushed back by an earlier read come first; they belong to the
        // source as much as those still in its transport.
        if (!sStreamGetBufferedChar(source, &byte)) {
            aErr err = source->get(&byte, source->reference);
            if (err == aErrEOF)
                return aErrNone;
            if (err != aErrNone)
                return err;
        }
        aErr err = destination->put(&byte, destination->reference);
        if (err != aErrNone)
            return err;
    }
}

// ---------------------------------------------------------------------------
// File streams

static aErr sFileStreamGet(uint8_t* byte, void* reference)
{
    size_t count = 0;
    aErr err = aFile_Read(static_cast<aFileRef>(reference), byte, 1, &count);
    if (err == aErrNone && count != 1)
        return aErrEOF;
    return err;
}

static aErr sFileStreamWrite(const uint8_t* data, size_t length, void* reference)
{
    size_t count = 0;
    aErr err = aFile_Write(static_cast<aFileRef>(reference), data, length, &count);
    if (err == aErrNone && count != length)
        return aErrIO;
    return err;
}

static aErr sFileStreamPut(const uint8_t* byte, void* reference)
{
    return sFileStreamWrite(byte, 1, reference);
}

static aErr sFileStreamDelete(void* reference)
{
    if (!reference)
        return aErrIO;
    aFileRef file = static_cast<aFileRef>(reference);
    return aFile_Close(&file);
}

// A file never keeps a reader waiting: the next get has a byte or end of file.
static aErr sFileStreamWait(uint32_t, void*)
{
    return aErrNone;
}

static aErr sStreamCreateFile(const char* path, int32_t mode, aStreamRef* out)
{
    if (!path || !out)
        return aErrResource;
    aFileRef file = aFile_Open(path, mode);
    if (!file)
        return aErrResource;
    aStreamRef stream = mode == aFileModeRead
        ? aStream_Create(sFileStreamGet, NULL, NULL, sFileStreamDelete, file)
        : aStream_Create(NULL, sFileStreamPut, sFileStreamWrite, sFileStreamDelete, file);
    if (!stream) {
        aFile_Close(&file);
        return aErrResource;
    }
    if (mode == aFileModeRead)
        aStream_SetWait(stream, sFileStreamWait);
    *out = stream;
    return aErrNone;
}

aErr aStream_CreateFileInput(const char* path, aStreamRef* stream)
{
    return sStreamCreateFile(path, aFileModeRead, stream);
}

aErr aStream_CreateFileOutput(const char* path, aStreamRef* stream)
{
    return sStreamCreateFile(path, aFileModeWrite, stream);
}
