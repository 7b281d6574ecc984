#ifndef _aLink_H_
#define _aLink_H_

// Links: one live connection to a module each, named by an id.
//
// A link is a byte stream plus two packet queues plus two threads (the
// in-pipe and the out-pipe) that move frames between them. Links live in one
// process-wide table; a creation call for a target that already has a link
// (same serial number, or same IPv4 address whatever the port) shares it and
// raises its use count, and aLink_Destroy releases one use. Ids start at 1 and
// are never reused; 0 means no link and is what a failed creation returns.
//
// The user side never touches the stream: it puts packets on the outbound
// queue (aLink_PutPacket) and takes replies from the inbound queue
// (aLink_AwaitFirst and friends). The in-pipe answers the module's heartbeats
// itself and regains the frame boundaries after an error by the address-query
// handshake (status kLinkSyncing until it succeeds).
//
// On a TCP link, a caller in aLink_AwaitFirst reads the stream itself in the
// in-pipe's place and does all the in-pipe would with what comes (heartbeat
// answers, synchronisation, the user filter, the packet log, queueing), so
// its reply reaches it without a thread switch; the in-pipe reads again as
// soon as no caller does. It returns null early when the link leaves
// kLinkRunning meanwhile (an error or a framing fault it met).
//
// Every function looks the link up by id, so a stale id finds nothing. A link
// must not be destroyed while another thread still calls into it.

#include <stdint.h>

#include "aError.h"
#include "aPacket.h"
#include "aStream.h"
#include "packetfifo.h"

// Link status values.
enum {
    kLinkStopped = 0,    // initialised with a stream, or stopped
    kLinkStarting = 1,   // aLink_Start has begun
    kLinkRunning = 2,    // the in-pipe runs, or synchronisation succeeded
    kLinkStopping = 3,   // aLink_Stop is in progress
    kLinkSyncing = 4,    // synchronisation requested or in progress
    kLinkNoStream = 5,   // no stream; also the status of an id that names no link
    kLinkIOError = 6,    // a stream read failed
    kLinkError = 8       // a complete packet could not be handed on
};

// Accepted line rates of aLink_CreateSerial, in bit/s.
#define aLINK_SERIAL_RATES {2400, 4800, 9600, 19200, 38400, 57600, 115200, 230400}
// Largest packet log ring, in bytes, and the size used when none was set.
#define aLINK_MAX_LOG_SIZE 0x4000000
#define aLINK_DEFAULT_LOG_SIZE 65536

typedef struct aLinkRecord aLinkRecord;

// Creation. Each returns the link id (started and running), or 0 on failure,
// leaving no table entry and no threads behind.
// USB module by serial number; also synchronises and turns routing on.
int32_t aLink_CreateUSB(uint32_t serial);
// TCP link service of a module; address in network byte order (as in linkSpec).
int32_t aLink_CreateTCPIP(uint32_t address, uint16_t port);
// Serial line; baudRate must be one of aLINK_SERIAL_RATES.
int32_t aLink_CreateSerial(uint32_t serial, const char* devicePath, uint32_t baudRate);
// Wraps a ready stream, which the link then owns (also when creation fails).
int32_t aLink_Create(aStreamRef stream);
// Links through a link server are not available yet: these return 0.
int32_t aLink_CreateClient(uint32_t address, uint16_t port, int32_t existingId);
int32_t aLink_CreateServer(uint32_t serial, uint16_t* port, uint32_t* interfaceAddress, bool loopbackOnly);

// Fills the record of a table entry made by the table's create operation; the
// link takes the stream (null: status kLinkNoStream). Returns the id or 0.
int32_t aLink_Init(int32_t id, aStreamRef stream);

// Starts the pipes and turns routing on. aErrParam for an unknown id,
// aErrConnection for a link without a stream, aErrResource when a thread
// cannot be made, aErrIndexRange when the pipes do not come up in time.
aErr aLink_Start(int32_t id);
// Turns routing off, then stops and joins the pipes; what was queued is still
// written, the route-off frame last. A stopped link is left alone.
aErr aLink_Stop(aLinkRecord* link);
// Runs the address-query handshake and empties both queues afterwards.
// aErrNotReady when the link did not come back to kLinkRunning.
aErr aLink_Sync(int32_t id);
// Queues a route-control frame (on: routing to this link on).
aErr aLink_ForceRoute(int32_t id, bool on);
// Stops the link, recreates its stream and starts it again. When the stream
// cannot be recreated the link is left stopped (kLinkNoStream) and the
// stream's error returned; aErrParam for a link whose stream cannot be
// recreated at all (one made from a ready stream), which is left as it was.
aErr aLink_Reset(int32_t id);
// Releases one use; the last one stops and frees the link. *id becomes 0.
aErr aLink_Destroy(int32_t* id);
// The link's status; kLinkNoStream for an id that names no link.
int32_t aLink_GetStatus(int32_t id);
// How many times the module ended the link's connection. A TCP link
// reconnects by itself and stays kLinkRunning, so a module that restarts
// shows only here. 0 for an id that names no link.
uint32_t aLink_GetConnectionLosses(int32_t id);
// Waits until the link is no longer running or its loss count differs from
// since: aErrNone then, aErrTimeout when the time ran out, aErrParam for an
// id that names no link. No polling: it wakes on the event itself.
aErr aLink_AwaitConnectionLoss(int32_t id, uint32_t since, uint32_t milliseconds);

// Packets. Packets handed out are the caller's to destroy; a put keeps its own
// copy. An id that names no link gives null, 0 or aErrParam.
aPacket* aLink_GetPacket(int32_t id);
aPacket* aLink_AwaitPacket(int32_t id, uint32_t milliseconds);
aPacket* aLink_GetFirst(int32_t id, aPacketFilter filter, void* reference);
// The oldest inbound packet the filter accepts, waiting up to the time; null
// at once when the link is not running or not in step (syncing, in error).
aPacket* aLink_AwaitFirst(int32_t id, aPacketFilter filter, void* reference, uint32_t milliseconds);
size_t aLink_DrainPackets(int32_t id, aPacketFilter filter, void* reference);
// aErrPacket for a packet with address 0, which is no frame.
aErr aLink_PutPacket(int32_t id, const aPacket* packet);
// The filter sees every complete inbound packet first, with the filter lock
// held, on the in-pipe or on a caller reading in its place on a TCP link: it
// must copy a packet it keeps, must not install filters itself and must not
// wait for a lock an awaiting caller may hold. Returning true takes the
// packet: it is neither answered nor queued. Null removes the filter.
aErr aLink_InstallUserPacketFilter(int32_t id, aPacketFilter filter, void* reference);

// Packet debug log: a ring of the frames the pipes write and read.
aErr aLink_PacketDebug_SetLogSize(int32_t id, int32_t size);
aErr aLink_PacketDebug_Enable(int32_t id);
aErr aLink_PacketDebug_Disable(int32_t id);
// *length: the buffer's capacity on entry, the record's length on return.
aErr aLink_PacketDebug_Read(int32_t id, uint8_t* direction, uint32_t* length, uint8_t* buffer);
aErr aLink_PacketDebug_Write(int32_t id, uint8_t direction, uint32_t length, const uint8_t* bytes);

#endif
