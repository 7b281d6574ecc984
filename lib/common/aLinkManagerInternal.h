#ifndef _aLinkManagerInternal_H_
#define _aLinkManagerInternal_H_

// The process-wide link table and the link record, shared by the link
// functions (aLink.cpp), the pipe threads (aLinkPipes.cpp) and the link
// sharing built on them. Not for users of the library: they hold link ids.

#include <stdint.h>

#include <atomic>
#include <condition_variable>
#include <mutex>
#include <string>

#include "aDefs.h"
#include "aLink.h"
#include "aMutex.h"
#include "aPacket.h"
#include "aPacketDebug.h"
#include "aStream.h"
#include "aThread.h"
#include "packetfifo.h"

#define aLINK_MAGIC 0xCEED

// Heartbeat state: what the in-pipe is answering.
#define aLINK_HB_IDLE 0
#define aLINK_HB_UP 2
#define aLINK_HB_DOWN 3

// Synchronisation states.
enum {
    kSyncStateSynced = 0,
    kSyncStateStart = 1,
    kSyncStateByte1 = 2,   // waiting for the first address byte A (non-zero, even)
    kSyncStateByte2 = 3,   // waiting for the first zero length byte
    kSyncStateByte3 = 4,   // waiting for the same A again
    kSyncStateByte4 = 5    // waiting for the second zero length byte
};

// How long the in-pipe waits for a byte before it counts a read time-out
// (which, while syncing, sends a new burst of address queries). Stopping a
// link takes at most this long for the in-pipe to notice.
#define aLINK_READ_WAIT_MS 100
// The out-pipe's wait for an outbound packet; a stop wakes it at once.
#define aLINK_OUTPIPE_WAIT_MS 1000
// Start and sync give the pipes this long (200 polls of 10 ms in the past).
#define aLINK_START_WAIT_MS 2000
#define aLINK_SYNC_WAIT_MS 2000
// After a sync, how long late answers to the address queries may still come in.
#define aLINK_SYNC_SETTLE_MS 100
// Pause after a failed stream read, and between tries to recreate a stream.
#define aLINK_IO_ERROR_PAUSE_MS 100
#define aLINK_RECREATE_PAUSE_MS 100
#define aLINK_RECREATE_ATTEMPTS 20
// Short pause of the in-pipe when its stream cannot wait for bytes.
#define aLINK_POLL_MS 10
// A gate that callers left closed is opened again by the in-pipe once no
// caller has come for this long.
#define aLINK_GATE_IDLE_MS 10
// Address queries per synchronisation burst.
#define aLINK_SYNC_QUERIES 6

// One link: a stream, two packet queues and the two pipe threads between them.
// The status, running and ready fields change under statusLock and are
// announced on statusChanged, so start and sync wait without polling; readers
// that only look may read the atomics without the lock.
typedef struct aLinkRecord {
    uint16_t magic = 0;                   // aLINK_MAGIC once initialised
    int32_t id = 0;
    std::atomic<bool> running{false};
    std::atomic<int32_t> status{kLinkStopped};
    aPacketFifoId inbound = 0;            // complete packets from the module
    aPacket* receivePacket = NULL;        // the frame being assembled (in-pipe)
    aPacketFifoId outbound = 0;           // packets waiting to be written
    aThreadRef inPipe = NULL;
    aThreadRef outPipe = NULL;
    aThreadProc inPipeProc = NULL;
    aThreadProc outPipeProc = NULL;
    std::atomic<bool> inPipeReady{false};
    std::atomic<bool> outPipeReady{false};
    aStreamRef stream = NULL;             // owned by the link
    int32_t heartbeatState = aLINK_HB_IDLE;
    int32_t syncState = kSyncStateSynced;
    uint8_t syncAddress = 0;
    std::atomic<aPacketLog*> packetLog{NULL};  // calls on the ring hold logLock
    int32_t logSize = 0;
    aMutexRef logLock = NULL;             // "LOG_SEMA_%p"
    aPacketFilter userFilter = NULL;      // guarded by filterLock
    void* userFilterRef = NULL;
    aMutexRef filterLock = NULL;          // "aLink(%p)->userFilterSema"
    std::mutex statusLock;
    std::condition_variable statusChanged;
    // Frames go out in the order they were handed on. A packet is written at
    // once by the thread that hands it on when nothing is waiting to go out;
    // otherwise it is queued for the out-pipe. writeLock guards every write
    // and outPending, which counts queued packets plus the one the out-pipe
    // may hold.
    std::mutex writeLock;
    size_t outPending = 0;
    // On a stream with a gate, a caller awaiting a reply reads the stream
    // itself instead of being woken by the in-pipe, which saves a thread
    // switch per exchange. readerToken is held by whoever reads the stream
    // and runs the in-pipe's packet handling (receive packet, heartbeat and
    // sync state); readerRole by the one caller that reads, or by the
    // in-pipe while it opens the gate. Stop takes readerRole after the pipes
    // ended, so no caller reads a stream being replaced.
    // A caller closes the gate and leaves it closed: requests come in runs,
    // and the next caller finds it closed already. The in-pipe opens it again
    // once readerVisits stood still for aLINK_GATE_IDLE_MS; while a caller
    // reads, it sleeps with inPipeAwaitsRole set and the leaving caller wakes
    // it. gateOpen changes under readerRole.
    std::mutex readerToken;
    std::mutex readerRole;
    std::atomic<bool> gateOpen{true};
    std::atomic<uint32_t> readerVisits{0};
    std::atomic<bool> inPipeAwaitsRole{false};
    // Connections the peer ended, as the stream counts them (a socket stream
    // reconnects by itself, so its status never shows them). Whoever holds
    // readerToken compares the stream's count with streamLossesSeen and, when
    // it moved, raises losses under statusLock and announces it.
    std::atomic<uint32_t> losses{0};
    uint32_t streamLossesSeen = 0;
} aLinkRecord;

#define aVALIDLINK(l) ((l) != NULL && (l)->magic == aLINK_MAGIC)

// Releases whatever a link server attached to an entry (set by whoever attaches one).
typedef void (*aLinkServerReleaseProc)(void** server);

// One row of the link table.
typedef struct aLinkEntry {
    int32_t id = 0;
    int32_t underlyingLink = 0;           // a client link's link under its server; 0 otherwise
    void* server = NULL;                  // link server of a served USB link; null otherwise
    aLinkServerReleaseProc releaseServer = NULL;
    uint32_t identifier = 0;              // serial number, or IPv4 address in network order
    uint32_t port = 0;                    // TCP port (TCPIP, AWEAVE)
    uint32_t clientIndex = 0;             // AWEAVE links
    linkType type = INVALID;
    int16_t useCount = 0;                 // changed under the table lock
    std::string devicePath;               // SERIAL: the line, so a reset can reopen it
    int32_t rateIndex = 0;                // SERIAL
    aLinkRecord* link = NULL;
    struct aLinkEntry* next = NULL;
} aLinkEntry;

// Table operations. Each takes the table lock ("aLink_Managed") only while it
// runs; entries are used after it is released, so an entry must not be
// destroyed while another thread still uses its id.

// A new entry with a zeroed record, pushed at the head; its id, or 0 when
// memory is exhausted.
int32_t aLinkManager_Create(uint32_t identifier, uint32_t port, uint32_t clientIndex, linkType type);
aLinkEntry* aLinkManager_LookupByID(int32_t id);
// The first entry with this identifier, whatever its type.
aLinkEntry* aLinkManager_LookupByIdentifier(uint32_t identifier);
aLinkEntry* aLinkManager_LookupByTriple(uint32_t identifier, uint32_t port, uint32_t clientIndex);
// Unlinks the entry from the table; null when no entry has the id.
aLinkEntry* aLinkManager_Extract(int32_t id);
// Adds delta to the use count (16-bit arithmetic); returns the new count.
int16_t aLinkManager_ChangeUseCount(aLinkEntry* entry, int16_t delta);
// The use count of a link; -1 when no link has the id.
int32_t aLinkManager_GetUseCount(int32_t id);
// Frees an extracted entry and its record (which must be released already).
void aLinkManager_Free(aLinkEntry** entry);

// The record of a link id; null when there is none or it is not initialised.
aLinkRecord* aLinkManager_Record(int32_t id);

// Status changes announced to start and sync.
void aLinkManager_SetStatus(aLinkRecord* link, int32_t status);
void aLinkManager_SetReady(std::atomic<bool>& flag, aLinkRecord* link, bool ready);

// The pipe threads (aLinkPipes.cpp); the argument is the link record.
void* aLinkPipes_InPipe(void* link);
void* aLinkPipes_OutPipe(void* link);
// Hands a packet on to the module: written at once when the link runs and
// nothing is waiting to go out, else queued for the out-pipe. The caller
// keeps its packet.
aErr aLinkPipes_Send(aLinkRecord* link, const aPacket* packet);
// Hands on a route-control frame.
aErr aLinkPipes_SendRoute(aLinkRecord* link, bool on);
// Queues the route-off frame (when asked), then clears running so that
// nothing more is written at once, and wakes an out-pipe that waits for
// packets: it writes what is queued, the route-off frame last, and ends.
// Returns the result of queueing the route-off frame.
aErr aLinkPipes_StopWriting(aLinkRecord* link, bool routeOff);
// On a stream with a gate: the caller reads the stream itself until the
// filter accepts a new inbound packet (taken and returned), the time runs out
// or the link leaves kLinkRunning (null); with lossesSince, also as soon as
// the link's loss count differs from it. *served is false when the stream
// has no gate or another caller reads already; the caller then awaits the
// inbound queue.
aPacket* aLinkPipes_AwaitAsReader(aLinkRecord* link, aPacketFilter filter, void* reference,
                                  uint32_t milliseconds, const uint32_t* lossesSince, bool* served);
// Takes in a change of the stream's loss count. readerToken held (or the
// in-pipe of a stream without a gate).
void aLinkPipes_NoteLosses(aLinkRecord* link);
// Discards every packet waiting to go out.
void aLinkPipes_DiscardOutbound(aLinkRecord* link);

// Accepts every packet: used to empty a queue.
bool aLink_AcceptAll(const aPacket* packet, void* reference);

#endif
