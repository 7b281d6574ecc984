#ifndef _aPacketDebug_H_
#define _aPacketDebug_H_

// Packet log: a byte ring of records (packets sent, packets received, text),
// and the line format of the packet log file.
//
// Entry points for the link layer:
//   aPacketLog_Create(size)            make a link's ring when recording is first switched on
//   aPacketLog_SetEnabled(log, on)     the recording switch (the ring keeps what it holds)
//   aPacketLog_IsEnabled(log)          test it before recording a frame
//   aPacketLog_Put(log, dir, n, bytes) append a record; a full ring drops its oldest records
//   aPacketLog_Get(log, &dir, &n, buf) take the oldest record
//   aPacketLog_Destroy(&log)           free the ring with the link
//   aPacketLog_WriteLine(file, dir, n, bytes)
//                                      one log file line for a record, for the logger
//                                      callback (aLogger.h) that drains the ring
//
// The ring has no lock of its own: its owner guards every call on one ring
// (put, get, enable switch) with one mutex, the link's log lock. The I/O
// threads record each frame as address, length and data (length + 2 bytes),
// direction aPACKETLOG_SENT after writing it and aPACKETLOG_RECEIVED once it
// is complete. A logger callback should read into a buffer of
// aPACKETLOG_MAX_RECORD bytes: a record that does not fit stays in the ring.

#include <stdint.h>

#include "aError.h"
#include "aFile.h"

// Record directions.
#define aPACKETLOG_SENT 1       // packet sent to the module
#define aPACKETLOG_RECEIVED 2   // packet received from the module
#define aPACKETLOG_TEXT 3       // text written by the application

// A record's length is one byte.
#define aPACKETLOG_MAX_RECORD 255
// Direction and length bytes in front of every record.
#define aPACKETLOG_RECORD_HEADER 2

typedef struct aPacketLog {
    uint8_t* data;     // the ring
    uint32_t size;     // ring size in bytes
    uint32_t head;     // index of the oldest record
    uint32_t tail;     // index where the next record goes
    bool enabled;      // recording switched on
} aPacketLog;

// An empty ring of size bytes (disabled); null for size 0 or when memory is exhausted.
aPacketLog* aPacketLog_Create(uint32_t size);

// Appends one record, dropping whole records from the front until it fits with
// one byte to spare. aErrOverrun (nothing changes) when the record can never
// fit: length above aPACKETLOG_MAX_RECORD or length + 2 not below the ring
// size. aErrParam for a null log, or null bytes with a length above 0.
aErr aPacketLog_Put(aPacketLog* log, uint8_t direction, uint32_t length, const uint8_t* bytes);

// Takes the oldest record. *length holds the buffer's capacity on entry and the
// record's length on return; *direction its direction. aErrNotFound when the
// ring is empty; aErrOverrun when the record is longer than the capacity (it
// stays in the ring); aErrParam for null arguments.
aErr aPacketLog_Get(aPacketLog* log, uint8_t* direction, uint32_t* length, uint8_t* buffer);

aErr aPacketLog_SetEnabled(aPacketLog* log, bool enabled);
bool aPacketLog_IsEnabled(const aPacketLog* log);

// Frees the ring and nulls *log; a null log is ignored. Always aErrNone.
aErr aPacketLog_Destroy(aPacketLog** log);

// Writes one record as a log file line: "<length> > " for sent records and
// "<length> < " for all others, then the bytes (as characters for text
// records, each as "0x%X " otherwise), then CR LF. One write per line.
aErr aPacketLog_WriteLine(aFileRef file, uint8_t direction, uint32_t length,
                          const uint8_t* bytes);

#endif
