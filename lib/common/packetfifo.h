#ifndef _packetfifo_H_
#define _packetfifo_H_

// Thread-safe packet queues named by number.
//
// A queue is reached only through its identifier, looked up in a process-wide
// dictionary on every call; a destroyed identifier finds nothing and every call
// with it fails quietly (null, 0, aErrParam, aErrNotFound). Identifiers start
// at 1 and are never reused within a process.
//
// Packets go in and come out as copies: aPacketFifo_Put keeps its own copy (the
// caller still owns and destroys its packet), and every packet handed out is a
// new one the caller releases with aPacket_Destroy.
//
// Filters run while the queue's lock is held: a filter must not call packet
// FIFO functions on the same queue. A waiting aPacketFifo_AwaitFirst offers
// each packet to its filter once, however often it is woken, so several
// waiters with different filters can share one queue.

#include <stddef.h>
#include <stdint.h>

#include "aError.h"
#include "aPacket.h"

typedef uint64_t aPacketFifoId;

// True when the packet is wanted.
typedef bool (*aPacketFilter)(const aPacket* packet, void* reference);

// A put that would make the queue hold more than this discards its whole
// content, the new packet included, so that a queue nobody reads (a stopped
// caller, a module streaming unasked) cannot grow without bound.
#define aPACKETFIFO_CAPACITY 1000

// A new empty queue; 0 when it cannot be made.
aPacketFifoId aPacketFifo_Create(void);

// Empties and removes the queue, wakes every waiter (they return null) and
// sets *fifo to 0. aErrParam for a null pointer, aErrNotFound for an unknown
// identifier, aErrUnknown on an internal failure.
aErr aPacketFifo_Destroy(aPacketFifoId* fifo);

// Number of queued packets; 0 for an unknown identifier.
size_t aPacketFifo_GetLength(aPacketFifoId fifo);

// Queues a copy of the packet and wakes the waiters. aErrParam for an unknown
// identifier or an invalid packet, aErrResource when memory runs out.
aErr aPacketFifo_Put(aPacketFifoId fifo, const aPacket* packet);

// The oldest packet, without waiting; null when there is none.
aPacket* aPacketFifo_Get(aPacketFifoId fifo);

// The oldest packet, waiting up to timeoutMS milliseconds (monotonic clock)
// for one; null on time-out or when the queue is destroyed meanwhile.
aPacket* aPacketFifo_Await(aPacketFifoId fifo, uint32_t timeoutMS);

// The oldest packet the filter accepts, without waiting; the others stay in
// their order. Null when none is accepted or the filter is null.
aPacket* aPacketFifo_GetFirst(aPacketFifoId fifo, aPacketFilter filter, void* reference);

// The oldest packet the filter accepts, waiting up to timeoutMS milliseconds
// for one. Each packet is offered to the filter at most once per call.
aPacket* aPacketFifo_AwaitFirst(aPacketFifoId fifo, aPacketFilter filter, void* reference,
                                uint32_t timeoutMS);

// For a caller that waits in its own way and looks at the queue now and then,
// offering each packet to its filter once, as aPacketFifo_AwaitFirst does:
// aPacketFifo_StartExamining gives the cursor to start from (every queued
// packet still to be offered; false for an unknown identifier), and
// aPacketFifo_TakeFirstNew offers only packets after the cursor, moves it on
// and takes the first accepted one (null when none).
bool aPacketFifo_StartExamining(aPacketFifoId fifo, int64_t* cursor);
aPacket* aPacketFifo_TakeFirstNew(aPacketFifoId fifo, aPacketFilter filter, void* reference,
                                  int64_t* cursor);

// Removes and releases every packet the filter accepts, keeping the order of
// the rest; returns how many were removed (0 for an unknown identifier).
size_t aPacketFifo_DrainPackets(aPacketFifoId fifo, aPacketFilter filter, void* reference);

#endif
