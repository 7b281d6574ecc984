#ifndef _aStream_H_
#define _aStream_H_

#include <stddef.h>
#include <stdint.h>
#include "aError.h"

// The library's bidirectional byte channel. Every transport (USB, TCP socket,
// serial line, link client, files) is a stream built from transport
// operations and one opaque reference. The stream adds a push-back ring on
// the reading side so that a read which cannot complete now leaves its bytes
// to the next read, and record reads and writes on top of that.
//
// Concurrency: a stream has no lock. One thread may read (get, wait and the
// ring) while another writes (put and write); each side is used by one thread
// at a time. Destroy only after both have stopped.

#define aSTREAMCHECK 0x4321
#define aSTREAMBUFCHUNK 512

// Transport operations. get stores exactly one byte and returns aErrNone, or
// stores nothing and returns aErrNotReady (nothing now), aErrEOF (exhausted)
// or the channel's error. put/write return aErrNone when every byte was handed
// to the channel. delete closes the channel and releases the reference.
typedef aErr (*aStreamGetProc)(uint8_t* byte, void* reference);
typedef aErr (*aStreamPutProc)(const uint8_t* byte, void* reference);
typedef aErr (*aStreamWriteProc)(const uint8_t* data, size_t length, void* reference);
typedef aErr (*aStreamDeleteProc)(void* reference);
// Optional: sleeps until get may have something to report (a byte, end of
// file or a failure) or timeoutMs passes. aErrNone when get is worth calling,
// aErrTimeout when nothing happened. Transports with a descriptor use poll().
typedef aErr (*aStreamWaitProc)(uint32_t timeoutMs, void* reference);
// Optional gate for a background reader: gateWait sleeps until the channel
// has something while the gate is open (or timeoutMs passes) and never
// touches the reading side's buffers; gateOpen(false) keeps that sleeper
// asleep whatever arrives, without waking it, while another thread reads.
// gateHeld tells the reading side whether bytes are held that need no
// further transfer; the sleeper is not woken for those. gateWake ends one
// gateWait (the next, when none is under way), open or closed.
typedef aErr (*aStreamGateWaitProc)(uint32_t timeoutMs, void* reference);
typedef aErr (*aStreamGateOpenProc)(bool open, void* reference);
typedef bool (*aStreamGateHeldProc)(void* reference);
typedef aErr (*aStreamGateWakeProc)(void* reference);
// Optional: how many times the peer has ended the channel's connection (an
// orderly close or a reset), for transports that reconnect by themselves and
// so never show it in a read. Any thread may ask.
typedef uint32_t (*aStreamLossesProc)(void* reference);

typedef struct aStream {
    aStreamGetProc get;
    aStreamPutProc put;
    aStreamWriteProc write;
    aStreamDeleteProc del;
    aStreamWaitProc wait;
    aStreamGateWaitProc gateWait;
    aStreamGateOpenProc gateOpen;
    aStreamGateHeldProc gateHeld;
    aStreamGateWakeProc gateWake;
    aStreamLossesProc losses;
    void* reference;       // the transport's record, released by del
    uint8_t* buffer;       // push-back ring, allocated on first use
    size_t count;          // bytes held in the ring
    size_t capacity;       // ring size (0 until allocated); grows by aSTREAMBUFCHUNK
    size_t head;           // next byte to hand out
    size_t tail;           // where the next pushed-back byte goes
    uint16_t check;        // aSTREAMCHECK while alive, 0 after destruction
} aStream;

typedef aStream* aStreamRef;

#define aVALIDSTREAM(s) ((s) != NULL && (s)->check == aSTREAMCHECK)

// Any operation may be null. Returns null when memory is exhausted.
aStreamRef aStream_Create(aStreamGetProc get, aStreamPutProc put, aStreamWriteProc write,
                          aStreamDeleteProc del, void* reference);
// Installs the optional wait operation (null removes it).
aErr aStream_SetWait(aStreamRef stream, aStreamWaitProc wait);
// Installs the optional background-reader gate (null removes it).
aErr aStream_SetGate(aStreamRef stream, aStreamGateWaitProc wait, aStreamGateOpenProc open,
                     aStreamGateHeldProc held, aStreamGateWakeProc wake);
bool aStream_HasGate(aStreamRef stream);
// For the reading side: bytes a read hands out without waiting for the channel.
bool aStream_GateHeld(aStreamRef stream);
// aErrNone when the gated sleeper was woken by the channel, aErrTimeout
// otherwise; aErrUnimplemented without a gate.
aErr aStream_GateWait(aStreamRef stream, uint32_t timeoutMs);
aErr aStream_GateOpen(aStreamRef stream, bool open);
aErr aStream_GateWake(aStreamRef stream);
// Installs the optional count of connections the peer ended (null removes it).
aErr aStream_SetLosses(aStreamRef stream, aStreamLossesProc losses);
// That count; 0 for a transport that does not keep one.
uint32_t aStream_GetLosses(aStreamRef stream);
// Runs delete, frees the stream and nulls the holder; returns delete's result
// (aErrParam for an invalid stream, whose holder is nulled all the same).
aErr aStream_Destroy(aStreamRef* stream);

// Reads exactly length bytes. All or nothing with respect to aErrNotReady:
// bytes already obtained are pushed back and the next read sees them first.
// On aErrEOF only the leading part of the destination is filled.
aErr aStream_Read(aStreamRef stream, uint8_t* destination, size_t length);
// One block write when the transport has write and length > 1, else put per byte.
aErr aStream_Write(aStreamRef stream, const uint8_t* data, size_t length);

// Sleeps until a read may make progress: aErrNone at once when pushed-back
// bytes are held or when the transport's wait reports activity; aErrTimeout
// when nothing arrived within timeoutMs; aErrUnimplemented at once when the
// transport cannot wait (the caller then sleeps its own short polling interval).
aErr aStream_Wait(aStreamRef stream, uint32_t timeoutMs);

// Reads one record ended by the terminator (not stored), at most maxLength
// bytes: a longer record is cut there and its remainder starts the next one.
// A record ended by end of file is returned with aErrNone.
aErr aStream_ReadRecord(aStreamRef stream, uint8_t* buffer, size_t* length, size_t maxLength,
                        const uint8_t* terminator, size_t terminatorLength);
aErr aStream_WriteRecord(aStreamRef stream, const uint8_t* data, size_t length,
                         const uint8_t* terminator, size_t terminatorLength);
// A zero-terminated string: at most size - 1 characters, then a zero is stored.
aErr aStream_ReadCString(aStreamRef stream, char* buffer, size_t size);
// The string and its terminating zero.
aErr aStream_WriteCString(aStreamRef stream, const char* string);
// A record ended by the terminator string, zero-terminated in the buffer.
aErr aStream_ReadCStringRecord(aStreamRef stream, char* buffer, size_t size, const char* terminator);
// The string, then the terminator string including its zero byte (which a
// following aStream_ReadCStringRecord leaves in the stream).
aErr aStream_WriteCStringRecord(aStreamRef stream, const char* string, const char* terminator);

// Copies bytes from source to destination until the source reports aErrEOF
// (aErrNone); any other result of the source or the destination is returned.
aErr aStream_Flush(aStreamRef source, aStreamRef destination);

// Read-only stream over a file (get answers aErrEOF at its end), and a
// write-only stream over a new or truncated file. aErrResource on any failure.
aErr aStream_CreateFileInput(const char* path, aStreamRef* stream);
aErr aStream_CreateFileOutput(const char* path, aStreamRef* stream);

#endif
