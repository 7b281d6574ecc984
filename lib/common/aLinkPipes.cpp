// The link I/O engine: the in-pipe (bytes to packets, heartbeat answers, the
// synchronisation handshake) and the out-pipe (packets to bytes).

#include <chrono>

#include "aDebug.h"
#include "aLinkManagerInternal.h"
#include "aTime.h"

namespace {

typedef std::chrono::steady_clock Clock;

// The out-pipe's wake-up after a stop: address 0 is no module's and no
// control frame's, so nothing with it is ever written.
const uint8_t kWakeAddress = 0;

const uint8_t kHeartbeatCommand = 0;
const uint8_t kHeartbeatLength = 2;
const uint8_t kHeartbeatAnswerOffset = 2;

const char* sSyncStateName(int32_t state)
{
    switch (state) {
    case kSyncStateSynced: return "kSyncStateSynced";
    case kSyncStateStart: return "kSyncStateStart";
    case kSyncStateByte1: return "kSyncStateByte1";
    case kSyncStateByte2: return "kSyncStateByte2";
    case kSyncStateByte3: return "kSyncStateByte3";
    case kSyncStateByte4: return "kSyncStateByte4";
    default: return "unknown";
    }
}

void sLogFrame(aLinkRecord* link, uint8_t direction, const aPacket* packet)
{
    if (!link->packetLog.load(std::memory_order_acquire))
        return;
    uint8_t frame[aPACKET_MAX_FRAME];
    frame[0] = packet->address;
    frame[1] = packet->length;
    for (uint8_t i = 0; i < packet->length && i < aPACKET_MAX_DATA; i++)
        frame[2 + i] = packet->data[i];
    aMutex_Lock(link->logLock);
    aPacketLog* log = link->packetLog.load(std::memory_order_relaxed);
    if (aPacketLog_IsEnabled(log))
        aPacketLog_Put(log, direction, packet->length + 2u, frame);
    aMutex_Unlock(link->logLock);
}

void sWriteFrame(aLinkRecord* link, const aPacket* packet, bool traceAndLog)
{
    uint8_t frame[aPACKET_MAX_FRAME];
    uint8_t length = packet->length <= aPACKET_MAX_DATA ? packet->length : aPACKET_MAX_DATA;
    frame[0] = packet->address;
    frame[1] = length;
    for (uint8_t i = 0; i < length; i++)
        frame[2 + i] = packet->data[i];
    if (traceAndLog)
        aDebug_Trace(aDEBUG_PACKETS, " sOutPipeProcess(%d) ADDR:%02X, LEN:%02X, [%02X %02X %02X ...]\n",
                     link->id, packet->address, packet->length, packet->data[0], packet->data[1],
                     packet->data[2]);
    aErr err = aStream_Write(link->stream, frame, length + 2u);
    if (err != aErrNone && traceAndLog)
        aDebug_Trace(aDEBUG_LINK, "sOutPipeProcess error writing: %d\n", err);
    if (traceAndLog)
        sLogFrame(link, aPACKETLOG_SENT, packet);
}

// ---------------------------------------------------------------------------
// Synchronisation

void sSyncStart(aLinkRecord* link)
{
    aDebug_Trace(aDEBUG_LINK, "syncStart");
    aLinkManager_SetStatus(link, kLinkSyncing);
    link->syncState = kSyncStateStart;
    aPacket_Reset(link->receivePacket);
    static const uint8_t none[1] = {0};
    aPacket* query = aPacket_CreateWithData(aPACKET_ADDR_SYNC, 0, none);
    aErr err = query ? aErrNone : aErrMemory;
    for (int i = 0; i < aLINK_SYNC_QUERIES && query; i++)
        err = aLinkPipes_Send(link, query);
    aPacket_Destroy(&query);
    if (err == aErrNone)
        link->syncState = kSyncStateByte1;
}

// The host is in step after two consecutive answers A, 0, A, 0 from one
// even address; anything else starts over.
void sSyncByte(aLinkRecord* link, uint8_t byte)
{
    aDebug_Trace(aDEBUG_LINK, "sByte %d\n", byte);
    aDebug_Trace(aDEBUG_LINK, "%s\n", sSyncStateName(link->syncState));
    switch (link->syncState) {
    case kSyncStateByte1:
        if (byte != 0 && (byte & 1) == 0) {
            aDebug_Trace(aDEBUG_LINK, "sync2");
            link->syncAddress = byte;
            link->syncState = kSyncStateByte2;
        } else {
            sSyncStart(link);
        }
        break;
    case kSyncStateByte2:
        link->syncState = byte == 0 ? kSyncStateByte3 : kSyncStateStart;
        if (byte == 0)
            aDebug_Trace(aDEBUG_LINK, "sync3");
        break;
    case kSyncStateByte3:
        link->syncState = byte == link->syncAddress ? kSyncStateByte4 : kSyncStateStart;
        if (byte == link->syncAddress)
            aDebug_Trace(aDEBUG_LINK, "sync4");
        break;
    case kSyncStateByte4:
        if (byte == 0) {
            aDebug_Trace(aDEBUG_LINK, "synced");
            link->syncState = kSyncStateSynced;
            aLinkManager_SetStatus(link, kLinkRunning);
        } else {
            link->syncState = kSyncStateStart;
        }
        break;
    default:   // kSyncStateStart, or a sync requested while in step
        aDebug_Trace(aDEBUG_LINK, "sync default");
        sSyncStart(link);
        break;
    }
}

// ---------------------------------------------------------------------------
// Packets

// aErrNotFound hands the packet back as no heartbeat (also one that arrives
// while an answer is pending); otherwise the heartbeat is answered.
aErr sHandleHeartbeat(aLinkRecord* link, const aPacket* packet)
{
    if (packet->length != kHeartbeatLength || packet->data[0] != kHeartbeatCommand)
        return aErrNotFound;
    if (link->heartbeatState != aLINK_HB_IDLE)
        return aErrNotFound;
    aDebug_Trace(aDEBUG_PACKETS, " sHandleHBBackChannel() ==> received HB packet [data size = %d][%d,%d]\n",
                 packet->length, packet->data[0], packet->data[1]);
    if (packet->data[1] == 0) {
        link->heartbeatState = aLINK_HB_UP;
        aDebug_Trace(aDEBUG_PACKETS, " sHandleHBBackChannel() %s\n", "sending HB UP");
    } else if (packet->data[1] == 1) {
        link->heartbeatState = aLINK_HB_DOWN;
        aDebug_Trace(aDEBUG_PACKETS, " sHandleHBBackChannel() %s\n", "sending HB DOWN");
    }
    uint8_t data[kHeartbeatLength] = {kHeartbeatCommand,
                                      static_cast<uint8_t>(packet->data[1] + kHeartbeatAnswerOffset)};
    aPacket* answer = aPacket_CreateWithData(packet->address, kHeartbeatLength, data);
    if (answer) {
        aLinkPipes_Send(link, answer);
        aPacket_Destroy(&answer);
    }
    link->heartbeatState = aLINK_HB_IDLE;
    return aErrNone;
}

aErr sHandlePacket(aLinkRecord* link)
{
    aPacket* packet = link->receivePacket;
    if (!aPacket_IsComplete(packet))
        return aErrNone;
    sLogFrame(link, aPACKETLOG_RECEIVED, packet);

    bool taken = false;
    aMutex_Lock(link->filterLock);
    if (link->userFilter)
        taken = link->userFilter(packet, link->userFilterRef);
    aMutex_Unlock(link->filterLock);

    aErr err = aErrNone;
    if (!taken) {
        err = sHandleHeartbeat(link, packet);
        if (err == aErrNotFound) {
            aDebug_Trace(aDEBUG_PACKETS, " sHandlePacket(%d) ADDR:%02X, LEN:%02X, [%02X %02X %02X ...]\n",
                         link->id, packet->address, packet->length, packet->data[0], packet->data[1],
                         packet->data[2]);
            err = aPacketFifo_Put(link->inbound, packet);
        }
    }
    aPacket_Reset(packet);
    return err;
}

void sInPipeByte(aLinkRecord* link, uint8_t byte)
{
    if (link->status.load() == kLinkSyncing) {
        sSyncByte(link, byte);
        return;
    }
    if (aPacket_AddByte(link->receivePacket, byte) != aErrNone) {
        aDebug_Trace(aDEBUG_LINK, "Out of sync");
        sSyncStart(link);
        return;
    }
    if (sHandlePacket(link) != aErrNone)
        aLinkManager_SetStatus(link, kLinkError);
}

// No byte for a whole read time-out: a handshake in progress tries again.
void sInPipeQuiet(aLinkRecord* link)
{
    if (link->status.load() == kLinkSyncing)
        sSyncStart(link);
}

uint32_t sRemainingMs(Clock::time_point now, Clock::time_point deadline)
{
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - now).count();
    return left > 0 ? static_cast<uint32_t>(left) : 0;
}

}  // namespace

// Queues for the out-pipe. writeLock held.
static aErr sQueue(aLinkRecord* link, const aPacket* packet)
{
    aErr err = aPacketFifo_Put(link->outbound, packet);
    if (err == aErrNone)
        link->outPending++;
    return err;
}

aErr aLinkPipes_Send(aLinkRecord* link, const aPacket* packet)
{
    if (!aVALIDPACKET(packet) || packet->length > aPACKET_MAX_DATA)
        return aErrParam;
    std::lock_guard<std::mutex> hold(link->writeLock);
    // Written here, the frame saves the hop to the out-pipe thread: a
    // request reaches the module as soon as it is handed on.
    if (link->running.load() && link->outPending == 0) {
        sWriteFrame(link, packet, true);
        return aErrNone;
    }
    return sQueue(link, packet);
}

aErr aLinkPipes_SendRoute(aLinkRecord* link, bool on)
{
    uint8_t data[1] = {static_cast<uint8_t>(on ? 1 : 0)};
    aPacket* packet = aPacket_CreateWithData(aPACKET_ADDR_ROUTE, 1, data);
    if (!packet)
        return aErrMemory;
    aErr err = aLinkPipes_Send(link, packet);
    aPacket_Destroy(&packet);
    return err;
}

aErr aLinkPipes_StopWriting(aLinkRecord* link, bool routeOff)
{
    std::lock_guard<std::mutex> hold(link->writeLock);
    aErr err = aErrNone;
    if (routeOff) {
        uint8_t data[1] = {0};
        aPacket* off = aPacket_CreateWithData(aPACKET_ADDR_ROUTE, 1, data);
        err = off ? sQueue(link, off) : aErrMemory;
        aPacket_Destroy(&off);
    }
    static const uint8_t none[1] = {0};
    aPacket* wake = aPacket_CreateWithData(kWakeAddress, 0, none);
    if (wake)
        sQueue(link, wake);
    aPacket_Destroy(&wake);
    // Cleared last: an out-pipe that sees it cleared finds all of the above queued.
    link->running = false;
    return err;
}

void aLinkPipes_DiscardOutbound(aLinkRecord* link)
{
    std::lock_guard<std::mutex> hold(link->writeLock);
    size_t discarded = aPacketFifo_DrainPackets(link->outbound, aLink_AcceptAll, NULL);
    // What is left is the packet the out-pipe may hold.
    link->outPending = discarded < link->outPending ? link->outPending - discarded : 0;
}

void aLinkPipes_NoteLosses(aLinkRecord* link)
{
    uint32_t count = aStream_GetLosses(link->stream);
    if (count == link->streamLossesSeen)
        return;
    uint32_t moved = count - link->streamLossesSeen;
    link->streamLossesSeen = count;
    {
        std::lock_guard<std::mutex> hold(link->statusLock);
        link->losses.fetch_add(moved);
    }
    link->statusChanged.notify_all();
}

// Reads and handles what the stream holds now: aErrNone when it ran dry
// (*gotBytes tells whether anything came), or the read error, which the
// status then shows. readerToken held.
static aErr sReadAvailable(aLinkRecord* link, bool* gotBytes)
{
    for (;;) {
        uint8_t byte;
        aErr err = aStream_Read(link->stream, &byte, 1);
        if (err == aErrNotReady) {
            aLinkPipes_NoteLosses(link);
            return aErrNone;
        }
        if (err != aErrNone) {
            aDebug_Trace(aDEBUG_LINK, " sInPipeProcess(%d) IO_ERROR [aStream_Read()==>%d]\n", link->id, err);
            aLinkManager_SetStatus(link, kLinkIOError);
            return err;
        }
        *gotBytes = true;
        sInPipeByte(link, byte);
    }
}

// Opens the gate again once callers have stopped coming. Returns how long
// the in-pipe may sleep before it looks again; 0 when the gate is open.
static uint32_t sReopenGate(aLinkRecord* link, uint32_t* visitsSeen)
{
    if (link->gateOpen.load())
        return 0;
    uint32_t visits = link->readerVisits.load();
    if (visits != *visitsSeen) {
        *visitsSeen = visits;
        return aLINK_GATE_IDLE_MS;
    }
    std::unique_lock<std::mutex> role(link->readerRole, std::try_to_lock);
    if (!role.owns_lock()) {
        // A caller is reading: it wakes the pipe when it leaves. Asked before
        // the second try, so that only a caller that looked just before the
        // asking and leaves just after the try misses it; the pipe then looks
        // again at its read time-out.
        link->inPipeAwaitsRole = true;
        role.try_lock();
        if (!role.owns_lock())
            return aLINK_READ_WAIT_MS;
        link->inPipeAwaitsRole = false;
    }
    aStream_GateOpen(link->stream, true);
    link->gateOpen = true;
    return 0;
}

// The in-pipe on a stream with a gate. It reads only while the gate is open
// and it holds the reader token, and sleeps behind the gate, which a caller
// reading in its place closes (without waking it); bytes that came while it
// was closed wake the pipe as soon as it opens it again.
static void sInPipeGated(aLinkRecord* link)
{
    const auto readWait = std::chrono::milliseconds(aLINK_READ_WAIT_MS);
    Clock::time_point quietSince = Clock::now();
    bool woken = false;      // the last gate wait reported activity
    bool wokeEmpty = false;  // ... and the read after it found nothing
    uint32_t visitsSeen = link->readerVisits.load();
    while (link->running.load()) {
        uint32_t gateClosedMs = sReopenGate(link, &visitsSeen);
        aErr err = aErrNone;
        wokeEmpty = false;
        if (gateClosedMs == 0) {
            std::unique_lock<std::mutex> token(link->readerToken, std::try_to_lock);
            if (token.owns_lock()) {
                bool gotBytes = false;
                err = sReadAvailable(link, &gotBytes);
                Clock::time_point now = Clock::now();
                if (gotBytes)
                    quietSince = now;
                wokeEmpty = woken && !gotBytes && err == aErrNone;
                if (now - quietSince >= readWait) {
                    quietSince = now;
                    sInPipeQuiet(link);
                }
            }
        }
        if (err != aErrNone) {
            aTime_MSSleep(aLINK_IO_ERROR_PAUSE_MS);
            continue;
        }
        // A peer that closed keeps the socket readable with nothing to read:
        // do not spin on it.
        if (wokeEmpty)
            aTime_MSSleep(aLINK_POLL_MS);
        Clock::time_point now = Clock::now();
        uint32_t wait = gateClosedMs ? gateClosedMs : sRemainingMs(now, quietSince + readWait) + 1;
        woken = aStream_GateWait(link->stream, wait) == aErrNone;
    }
}

aPacket* aLinkPipes_AwaitAsReader(aLinkRecord* link, aPacketFilter filter, void* reference,
                                  uint32_t milliseconds, const uint32_t* lossesSince, bool* served)
{
    *served = false;
    if (!filter)
        return NULL;
    std::unique_lock<std::mutex> role(link->readerRole, std::try_to_lock);
    if (!role.owns_lock())
        return NULL;
    link->readerVisits.fetch_add(1);
    // However this ends, an in-pipe that waits for the role is woken. Still
    // under the role: a stop may replace the stream once it is let go. (An
    // in-pipe that asks just after this looks again at its read time-out.)
    struct Leave {
        aLinkRecord* link;
        ~Leave()
        {
            if (link->inPipeAwaitsRole.exchange(false))
                aStream_GateWake(link->stream);
        }
    } leave{link};
    Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(milliseconds);
    // Checked under the role: after a stop took it, running stays cleared
    // until a start has put the (maybe renewed) stream in place.
    if (!link->running.load()) {
        *served = true;
        return NULL;
    }
    if (!aStream_HasGate(link->stream))
        return NULL;
    *served = true;
    int64_t cursor;
    if (!aPacketFifo_StartExamining(link->inbound, &cursor))
        return NULL;
    aPacket* found = aPacketFifo_TakeFirstNew(link->inbound, filter, reference, &cursor);
    if (found)
        return found;
    if (link->gateOpen.load()) {
        aStream_GateOpen(link->stream, false);
        link->gateOpen = false;
    }
    {
        std::lock_guard<std::mutex> token(link->readerToken);
        // The in-pipe may have queued it before it let the token go.
        found = aPacketFifo_TakeFirstNew(link->inbound, filter, reference, &cursor);
        // Reads only what the stream holds and sleeps in its wait otherwise,
        // which takes in what arrived; a read that must ask the channel runs
        // only after a wait that took nothing in, to hear of a failure.
        bool askChannel = false;
        bool wokeEmpty = false;
        auto lost = [link, lossesSince] { return lossesSince && link->losses.load() != *lossesSince; };
        while (!found && link->running.load() && link->status.load() == kLinkRunning && !lost()) {
            if (askChannel || aStream_GateHeld(link->stream)) {
                bool asked = askChannel;
                askChannel = false;
                uint8_t byte;
                aErr err = aStream_Read(link->stream, &byte, 1);
                if (err == aErrNone) {
                    wokeEmpty = false;
                    sInPipeByte(link, byte);
                    if (link->receivePacket->received == 0)
                        found = aPacketFifo_TakeFirstNew(link->inbound, filter, reference, &cursor);
                    continue;
                }
                if (err != aErrNotReady) {
                    aDebug_Trace(aDEBUG_LINK, " sInPipeProcess(%d) IO_ERROR [aStream_Read()==>%d]\n", link->id, err);
                    aLinkManager_SetStatus(link, kLinkIOError);
                    break;
                }
                aLinkPipes_NoteLosses(link);
                if (lost())
                    break;
                // A hung-up socket may stay readable with nothing to read:
                // do not spin on it.
                if (asked && wokeEmpty)
                    aTime_MSSleep(aLINK_POLL_MS);
                wokeEmpty = asked;
            }
            Clock::time_point now = Clock::now();
            if (now >= deadline)
                break;
            // Sliced so that a stop is noticed as soon as by the in-pipe.
            uint32_t wait = sRemainingMs(now, deadline) + 1;
            aErr waited = aStream_Wait(link->stream, wait < aLINK_READ_WAIT_MS ? wait : aLINK_READ_WAIT_MS);
            askChannel = waited == aErrNone && !aStream_GateHeld(link->stream);
        }
        // The in-pipe is woken by the channel, not by bytes already taken in
        // (a frame that came with the reply): those are handled here. They
        // need no further transfer, so this ends.
        uint8_t byte;
        while (aStream_GateHeld(link->stream) && aStream_Read(link->stream, &byte, 1) == aErrNone)
            sInPipeByte(link, byte);
    }
    // The gate stays closed for the next caller; the in-pipe opens it once
    // callers pause.
    return found;
}

// Reads one byte per call and sleeps in the stream's wait while nothing
// comes, so an idle link costs nothing and a reply is seen as soon as its
// first byte arrives.
void* aLinkPipes_InPipe(void* argument)
{
    aLinkRecord* link = static_cast<aLinkRecord*>(argument);
    aDebug_Trace(aDEBUG_LINK, " sInPipeProcess(%d) -- syncing\n", link->id);
    link->heartbeatState = aLINK_HB_IDLE;
    link->syncAddress = 1;
    link->syncState = kSyncStateSynced;
    aLinkManager_SetStatus(link, kLinkRunning);
    aLinkManager_SetReady(link->inPipeReady, link, true);
    if (aStream_HasGate(link->stream)) {
        sInPipeGated(link);
        aDebug_Trace(aDEBUG_LINK, " sInPipeProcess(%d) terminating\n", link->id);
        return NULL;
    }

    const auto readWait = std::chrono::milliseconds(aLINK_READ_WAIT_MS);
    const auto pollStep = std::chrono::milliseconds(aLINK_POLL_MS);
    Clock::time_point quietSince = Clock::now();   // the first read that found nothing after bytes
    bool gotBytes = false;
    bool wokeEmpty = false;   // the last wait reported bytes, but none came yet
    bool canWait = true;      // the stream offers a wait
    bool frameEnded = false;  // the last byte ended a frame
    while (link->running.load()) {
        uint8_t byte;
        // Only a stream without a wait needs to know how long its read took.
        Clock::time_point before = canWait ? Clock::time_point() : Clock::now();
        // A frame usually arrives whole, so after its last byte the stream
        // is mostly empty: going to its wait at once saves a read that would
        // only find nothing (the wait returns at once when bytes are there).
        aErr err = frameEnded && canWait ? aErrNotReady : aStream_Read(link->stream, &byte, 1);
        frameEnded = false;
        if (err == aErrNone) {
            gotBytes = true;
            wokeEmpty = false;
            sInPipeByte(link, byte);
            frameEnded = link->receivePacket->received == 0;
            continue;
        }
        if (err != aErrNotReady) {
            aDebug_Trace(aDEBUG_LINK, " sInPipeProcess(%d) IO_ERROR [aStream_Read()==>%d]\n", link->id, err);
            aLinkManager_SetStatus(link, kLinkIOError);
            aTime_MSSleep(aLINK_IO_ERROR_PAUSE_MS);
            continue;
        }
        Clock::time_point now = Clock::now();
        if (gotBytes) {
            quietSince = now;
            gotBytes = false;
        }
        if (now - quietSince >= readWait) {
            quietSince = now;
            sInPipeQuiet(link);
            continue;
        }
        aErr waited = aStream_Wait(link->stream, sRemainingMs(now, quietSince + readWait) + 1);
        if (waited == aErrNone) {
            // A hung-up line may stay readable with nothing to read: do not spin on it.
            if (wokeEmpty)
                aTime_MSSleep(aLINK_POLL_MS);
            wokeEmpty = true;
        } else if (waited != aErrTimeout) {
            // The stream cannot wait. Its read may wait itself (USB
            // transfers); when it did not, poll.
            bool readWaited = !canWait && now - before >= pollStep;
            canWait = false;
            if (!readWaited)
                aTime_MSSleep(aLINK_POLL_MS);
        }
    }
    aDebug_Trace(aDEBUG_LINK, " sInPipeProcess(%d) terminating\n", link->id);
    return NULL;
}

// Writes a packet the out-pipe took from the queue. Only the out-pipe takes
// packets out, so once this one is written the queue holds all that is pending.
static void sOutPipeWrite(aLinkRecord* link, aPacket* packet, bool traceAndLog)
{
    std::lock_guard<std::mutex> hold(link->writeLock);
    if (packet->address != kWakeAddress)
        sWriteFrame(link, packet, traceAndLog);
    link->outPending = aPacketFifo_GetLength(link->outbound);
}

void* aLinkPipes_OutPipe(void* argument)
{
    aLinkRecord* link = static_cast<aLinkRecord*>(argument);
    aLinkManager_SetReady(link->outPipeReady, link, true);
    while (link->running.load()) {
        aPacket* packet = aPacketFifo_Await(link->outbound, aLINK_OUTPIPE_WAIT_MS);
        if (!packet)
            continue;
        sOutPipeWrite(link, packet, true);
        aPacket_Destroy(&packet);
    }
    // Stopping: what was queued still goes out, the route-off frame last.
    for (aPacket* packet; (packet = aPacketFifo_Get(link->outbound)) != NULL;) {
        sOutPipeWrite(link, packet, false);
        aPacket_Destroy(&packet);
    }
    aDebug_Trace(aDEBUG_LINK, " sOutPipeProcess(%d) terminating\n", link->id);
    return NULL;
}
