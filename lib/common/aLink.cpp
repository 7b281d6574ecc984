// Link creation, sharing, lifecycle, packet functions and the packet debug log.

#include "aLink.h"

#include <stdio.h>

#include <chrono>

#include "aDebug.h"
#include "aLinkManagerInternal.h"
#include "aStreamsocket.h"
#include "aTime.h"
#include "unix_streamserial.h"
#include "unix_streamusb.h"

namespace {

const uint32_t kLegacyIdentifier = 0xFFFFFFFF;
const uint32_t kSerialRates[] = aLINK_SERIAL_RATES;

// Waits up to timeoutMs for the predicate over the link's status fields.
template <typename Predicate>
bool sAwaitStatus(aLinkRecord* link, uint32_t timeoutMs, Predicate predicate)
{
    std::unique_lock<std::mutex> hold(link->statusLock);
    return link->statusChanged.wait_for(hold, std::chrono::milliseconds(timeoutMs), predicate);
}

// Fresh queues, receive packet and filter lock; status from the stream.
aErr sInitRecord(aLinkRecord* link, aStreamRef stream)
{
    link->magic = aLINK_MAGIC;
    link->running = false;
    link->stream = stream;
    link->streamLossesSeen = 0;
    link->gateOpen = true;   // a new stream's gate starts open
    link->status = stream ? kLinkStopped : kLinkNoStream;
    link->inPipe = link->outPipe = NULL;
    link->inbound = aPacketFifo_Create();
    link->outbound = aPacketFifo_Create();
    link->outPending = 0;
    link->inPipeProc = aLinkPipes_InPipe;
    link->outPipeProc = aLinkPipes_OutPipe;
    link->inPipeReady = link->outPipeReady = false;
    link->heartbeatState = aLINK_HB_IDLE;
    link->syncState = kSyncStateSynced;
    link->receivePacket = aPacket_Create();
    link->userFilter = NULL;
    link->userFilterRef = NULL;
    char name[aMUTEX_MAX_IDENTIFIER];
    snprintf(name, sizeof name, "aLink(%p)->userFilterSema", static_cast<void*>(link));
    link->filterLock = aMutex_Create(name);
    // Made with the record rather than with the ring, so the pipes never see
    // the lock appear under them.
    if (!link->logLock) {
        snprintf(name, sizeof name, "LOG_SEMA_%p", static_cast<void*>(link));
        link->logLock = aMutex_Create(name);
    }
    bool complete = link->inbound && link->outbound && link->receivePacket && link->filterLock && link->logLock;
    return complete ? aErrNone : aErrResource;
}

// Releases what sInitRecord made and the stream; the packet log stays.
void sReleaseRecordParts(aLinkRecord* link)
{
    if (link->inbound)
        aPacketFifo_Destroy(&link->inbound);
    if (link->outbound)
        aPacketFifo_Destroy(&link->outbound);
    if (link->receivePacket)
        aPacket_Destroy(&link->receivePacket);
    if (link->filterLock)
        aMutex_Destroy(&link->filterLock);
    if (link->stream) {
        aDebug_Trace(aDEBUG_LINK, " Destroy stream");
        aStream_Destroy(&link->stream);
    }
}

int32_t sRateIndex(uint32_t baudRate)
{
    for (size_t i = 0; i < sizeof kSerialRates / sizeof kSerialRates[0]; i++)
        if (kSerialRates[i] == baudRate)
            return static_cast<int32_t>(i);
    return -1;
}

// Shares an existing link: raises its use count and returns its id.
int32_t sShare(aLinkEntry* entry)
{
    aLinkRecord* link = entry->link;
    aDebug_Trace(aDEBUG_LINK, "Using already created object:(0x%8X, running:%d, state=%d)", entry->id,
                 link ? link->running.load() : 0, link ? link->status.load() : kLinkNoStream);
    aLinkManager_ChangeUseCount(entry, 1);
    return entry->id;
}

// Removes a link whose creation failed: no entry and no threads are left.
int32_t sAbandon(int32_t id)
{
    aLink_Destroy(&id);
    return 0;
}

aErr sRecreateStream(const aLinkEntry* entry, aStreamRef* stream)
{
    switch (entry->type) {
    case USB:
        aDebug_Trace(aDEBUG_LINK, " recreate USB stream");
        return aStream_CreateUSB(entry->identifier, stream);
    case TCPIP:
        aDebug_Trace(aDEBUG_LINK, " recreate TCPIP stream");
        return aStream_CreateSocket(entry->identifier, static_cast<uint16_t>(entry->port), stream);
    case SERIAL:
        return aStream_CreateSerial(entry->devicePath.c_str(), entry->rateIndex, 0, 0, 0, stream);
    default:
        aDebug_Trace(aDEBUG_LINK, " recreate invalid stream type");
        return aErrParam;
    }
}

}  // namespace

bool aLink_AcceptAll(const aPacket*, void*)
{
    return true;
}

static bool sRejectAll(const aPacket*, void*)
{
    return false;
}

// ---------------------------------------------------------------------------
// Creation

int32_t aLink_Init(int32_t id, aStreamRef stream)
{
    aDebug_Trace(aDEBUG_LINK, "aLink_Init(%d, %p)\n", id, static_cast<void*>(stream));
    aLinkEntry* entry = aLinkManager_LookupByID(id);
    if (!entry || !entry->link)
        return 0;
    aLinkRecord* link = entry->link;
    link->id = id;
    link->packetLog = NULL;
    link->logSize = 0;
    aErr err = sInitRecord(link, stream);
    aDebug_Trace(aDEBUG_LINK, " leaving aLink_Init(%d, %p)", id, static_cast<void*>(stream));
    return err == aErrNone ? id : 0;
}

int32_t aLink_CreateUSB(uint32_t serial)
{
    aDebug_Trace(aDEBUG_LINK, " aLink_CreateUSB(%08X)\n", serial);
    if (aLinkEntry* existing = aLinkManager_LookupByIdentifier(serial)) {
        if (existing->server) {
            aDebug_Trace(aDEBUG_LINK, "This device is already being used as a \"SERVER\". \n"
                                      "You must connect by \"CLIENT\" ");
            return 0;
        }
        int32_t id = sShare(existing);
        aDebug_Trace(aDEBUG_LINK, " leaving aLink_CreateUSB(%08X)\n", serial);
        return id;
    }
    int32_t id = aLinkManager_Create(serial, 0, 0, USB);
    if (!id)
        return 0;
    aDebug_Trace(aDEBUG_LINK, "\nUSB sCreate(%08X)==>%d\n", serial, id);
    aStreamRef stream = NULL;
    aErr err = aStream_CreateUSB(serial, &stream);
    if (err != aErrNone) {
        aDebug_Trace(aDEBUG_LINK, " aLink_CreateUSB() error creating stream %d\n", err);
        return sAbandon(id);
    }
    // From here on the link owns the stream, also when it fails.
    if (aLink_Init(id, stream) != id)
        return sAbandon(id);
    aLinkManager_ChangeUseCount(aLinkManager_LookupByID(id), 1);
    err = aLink_Start(id);
    if (err == aErrNone)
        err = aLink_Sync(id);
    if (err == aErrNone)
        err = aLink_ForceRoute(id, 1);
    if (err != aErrNone)
        return sAbandon(id);
    aDebug_Trace(aDEBUG_LINK, " leaving aLink_CreateUSB(%08X)\n", serial);
    return id;
}

int32_t aLink_CreateTCPIP(uint32_t address, uint16_t port)
{
    aDebug_Trace(aDEBUG_LINK, "aLink_CreateTCPIP(%08X, %08X)", address, port);
    if (aLinkEntry* existing = aLinkManager_LookupByIdentifier(address))
        return sShare(existing);
    int32_t id = aLinkManager_Create(address, port, 0, TCPIP);
    if (!id)
        return 0;
    aDebug_Trace(aDEBUG_LINK, "\n\n\nTCPIP sCreate(%08X)==>%d\n\n\n", address, id);
    // A link without a stream would only ever report its failure, and would
    // be shared by every later link to the same address: fail it here.
    aStreamRef stream = NULL;
    aErr err = aStream_CreateSocket(address, port, &stream);
    if (err != aErrNone) {
        aDebug_Trace(aDEBUG_LINK, " aLink_CreateTCPIP() error creating stream %d\n", err);
        return sAbandon(id);
    }
    if (aLink_Init(id, stream) != id || aLink_Start(id) != aErrNone)
        return sAbandon(id);
    aLinkManager_ChangeUseCount(aLinkManager_LookupByID(id), 1);
    return id;
}

int32_t aLink_CreateSerial(uint32_t serial, const char* devicePath, uint32_t baudRate)
{
    aDebug_Trace(aDEBUG_LINK, " aLink_CreateSerial(%s)\n", devicePath ? devicePath : "(null)");
    if (aLinkEntry* existing = aLinkManager_LookupByIdentifier(serial)) {
        int32_t id = sShare(existing);
        aDebug_Trace(aDEBUG_LINK, " leaving aLink_CreateSerial(%08X)\n", serial);
        return id;
    }
    int32_t rateIndex = sRateIndex(baudRate);
    if (rateIndex < 0 || !devicePath) {
        aDebug_Trace(aDEBUG_LINK, " leaving aLink_CreateSerial(%08X) ==> %d\n", serial, 0);
        return 0;
    }
    int32_t id = aLinkManager_Create(serial, 0, 0, SERIAL);
    if (!id)
        return 0;
    aDebug_Trace(aDEBUG_LINK, "\nUSB sCreate(%08X)==>%d\n", serial, id);
    aLinkEntry* entry = aLinkManager_LookupByID(id);
    entry->devicePath = devicePath;
    entry->rateIndex = rateIndex;
    aStreamRef stream = NULL;
    aErr err = aStream_CreateSerial(devicePath, rateIndex, 0, 0, 0, &stream);
    if (err != aErrNone)
        aDebug_Trace(aDEBUG_LINK, " aLink_CreateSerial() error creating stream %d\n", err);
    else if (aLink_Init(id, stream) != id)
        err = aErrConnection;
    if (err == aErrNone) {
        aLinkManager_ChangeUseCount(entry, 1);
        err = aLink_Start(id);
    }
    if (err != aErrNone) {
        aDebug_Trace(aDEBUG_LINK, " error creating USB Link, destroying the id (%d)\n", id);
        return sAbandon(id);
    }
    aDebug_Trace(aDEBUG_LINK, " leaving aLink_CreateUSB(%08X)\n", serial);
    return id;
}

int32_t aLink_Create(aStreamRef stream)
{
    aDebug_Trace(aDEBUG_LINK, "aLink_Create(%08X) OLD VERSION", kLegacyIdentifier);
    int32_t id = aLinkManager_Create(kLegacyIdentifier, 0, 0, INVALID);
    if (!id) {
        aStream_Destroy(&stream);
        return 0;
    }
    aDebug_Trace(aDEBUG_LINK, "\n sCreate(%08X)==>%d\n", kLegacyIdentifier, id);
    if (aLink_Init(id, stream) != id || aLink_Start(id) != aErrNone)
        return sAbandon(id);
    aLinkManager_ChangeUseCount(aLinkManager_LookupByID(id), 1);
    return id;
}

int32_t aLink_CreateClient(uint32_t address, uint16_t port, int32_t existingId)
{
    aDebug_Trace(aDEBUG_LINK, "aLink_CreateClient(%08X, %08X, %d)\n", address, port, existingId);
    return 0;
}

int32_t aLink_CreateServer(uint32_t, uint16_t*, uint32_t*, bool)
{
    aDebug_Trace(aDEBUG_SERVER, "Failed to create server");
    return 0;
}

// ---------------------------------------------------------------------------
// Lifecycle

aErr aLink_Start(int32_t id)
{
    aDebug_Trace(aDEBUG_LINK, " aLink_Start(%d)\n", id);
    aLinkRecord* link = aLinkManager_Record(id);
    if (!link)
        return aErrParam;
    if (link->running.load())
        return aErrNone;
    if (!link->stream)
        return aErrConnection;

    link->running = true;
    aLinkManager_SetStatus(link, kLinkStarting);
    link->heartbeatState = aLINK_HB_IDLE;
    link->inPipeReady = link->outPipeReady = false;
    aErr err = aErrNone;
    link->inPipe = aThread_Create(link->inPipeProc, link);
    if (link->inPipe)
        link->outPipe = aThread_Create(link->outPipeProc, link);
    if (!link->inPipe || !link->outPipe) {
        aLinkPipes_StopWriting(link, false);
        aThread_Destroy(&link->inPipe);
        aThread_Destroy(&link->outPipe);
        aLinkPipes_DiscardOutbound(link);
        aLinkManager_SetStatus(link, kLinkStopped);
        err = aErrResource;
    } else if (!sAwaitStatus(link, aLINK_START_WAIT_MS, [link] {
                   return link->inPipeReady && link->outPipeReady && link->status == kLinkRunning;
               })) {
        err = aErrIndexRange;
    } else {
        err = aLinkPipes_SendRoute(link, true);
    }
    aDebug_Trace(aDEBUG_LINK, " leaving aLink_Start(%d)==> %d\n", id, err);
    return err;
}

aErr aLink_Stop(aLinkRecord* link)
{
    if (!aVALIDLINK(link))
        return aErrParam;
    aDebug_Trace(aDEBUG_LINK, " aLink_Stop(%d)\n", link->id);
    int32_t status = link->status.load();
    // Without pipes there is nothing to stop; the status stays what it says.
    if (status == kLinkStopped || status == kLinkStopping || !link->inPipe || !link->outPipe)
        return aErrNone;
    aLinkManager_SetStatus(link, kLinkStopping);
    // The route-off frame goes out after what is queued. Handed on through
    // the record itself, so that a link already taken out of the table
    // (being destroyed) still tells the module.
    aErr err = aLinkPipes_StopWriting(link, true);
    // The in-pipe may sleep behind its gate: it sees running cleared at once.
    aStream_GateWake(link->stream);
    if (aThread_Destroy(&link->inPipe) != 0)
        err = aErrUnknown;
    if (aThread_Destroy(&link->outPipe) != 0)
        err = aErrUnknown;
    // A caller reading in the in-pipe's place sees running cleared within one
    // of its waits and leaves; after this no caller reads until a new start.
    { std::lock_guard<std::mutex> reader(link->readerRole); }
    aLinkManager_SetReady(link->inPipeReady, link, false);
    aLinkManager_SetReady(link->outPipeReady, link, false);
    aPacket_Reset(link->receivePacket);
    link->heartbeatState = aLINK_HB_IDLE;
    aLinkManager_SetStatus(link, kLinkStopped);
    aDebug_Trace(aDEBUG_LINK, " leaving aLink_Stop(%d)==>%d\n", link->id, err);
    return err;
}

aErr aLink_Sync(int32_t id)
{
    aDebug_Trace(aDEBUG_LINK, " aLink_Sync(%d)\n", id);
    aLinkRecord* link = aLinkManager_Record(id);
    if (!link)
        return aErrParam;
    aErr err = aErrNotReady;
    // Only running pipes can synchronise; a stopped link keeps its status.
    if (link->running.load()) {
        aLinkManager_SetStatus(link, kLinkSyncing);
        if (sAwaitStatus(link, aLINK_SYNC_WAIT_MS, [link] { return link->status == kLinkRunning; }))
            err = aErrNone;
    }
    aLinkPipes_DiscardOutbound(link);
    // The other answers of the burst are still on their way: let them come, then drop them.
    aTime_MSSleep(aLINK_SYNC_SETTLE_MS);
    aPacketFifo_DrainPackets(link->inbound, aLink_AcceptAll, NULL);
    return err;
}

aErr aLink_ForceRoute(int32_t id, bool on)
{
    aDebug_Trace(aDEBUG_LINK, " aLink_ForceRoute(%d)\n", id);
    aLinkEntry* entry = aLinkManager_LookupByID(id);
    if (!entry)
        return aErrNotFound;
    if (!aVALIDLINK(entry->link))
        return aErrParam;
    return aLinkPipes_SendRoute(entry->link, on);
}

aErr aLink_Reset(int32_t id)
{
    aDebug_Trace(aDEBUG_LINK, "aLink_Reset(%d)\n", id);
    aLinkEntry* entry = aLinkManager_LookupByID(id);
    if (!entry || !aVALIDLINK(entry->link))
        return aErrParam;
    // Link server clients come later; a link made from a ready stream has
    // nothing to recreate it from. Both keep running as they are.
    if (entry->type == AWEAVE)
        return aErrUnimplemented;
    if (entry->type != USB && entry->type != TCPIP && entry->type != SERIAL)
        return aErrParam;
    aLinkRecord* link = entry->link;
    aLink_Stop(link);
    sReleaseRecordParts(link);

    aStreamRef stream = NULL;
    aErr err = aErrParam;
    for (int attempt = 0; attempt < aLINK_RECREATE_ATTEMPTS; attempt++) {
        err = sRecreateStream(entry, &stream);
        if (err == aErrNone)
            break;
        aTime_MSSleep(aLINK_RECREATE_PAUSE_MS);
    }
    if (err != aErrNone) {
        aDebug_Trace(aDEBUG_LINK, " ERROR - could not recreate stream: %d\n", err);
        // Stopped, but with working queues, so calls on the id fail cleanly
        // and a later reset can try again.
        sInitRecord(link, NULL);
        return err;
    }
    if (sInitRecord(link, stream) != aErrNone)
        return aErrResource;
    return aLink_Start(id);
}

aErr aLink_Destroy(int32_t* holder)
{
    if (!holder)
        return aErrParam;
    int32_t id = *holder;
    *holder = 0;
    aDebug_Trace(aDEBUG_LINK, "aLink_Destroy(%d)\n", id);
    aLinkEntry* entry = aLinkManager_LookupByID(id);
    if (!entry)
        return aErrParam;
    int16_t count = aLinkManager_ChangeUseCount(entry, -1);
    if (count > 0) {
        aDebug_Trace(aDEBUG_LINK, "aLink_Destroy use_count: %d\n", count);
        return aErrNone;
    }
    aLink_InstallUserPacketFilter(id, NULL, NULL);
    entry = aLinkManager_Extract(id);
    if (!entry)   // another thread released the last use meanwhile
        return aErrParam;
    aLinkRecord* link = entry->link;
    aLink_Stop(link);
    if (entry->server && entry->releaseServer)
        entry->releaseServer(&entry->server);
    if (entry->underlyingLink)
        aLink_Destroy(&entry->underlyingLink);
    aDebug_Trace(aDEBUG_LINK, "aLink_Destroy(%d) destroy link item\n", id);

    aErr err = aErrNone;
    if (link->outbound)
        err = aPacketFifo_Destroy(&link->outbound);
    sReleaseRecordParts(link);
    aPacketLog* log = link->packetLog.exchange(NULL);
    aPacketLog_Destroy(&log);
    if (link->logLock)
        aMutex_Destroy(&link->logLock);
    link->magic = 0;
    aLinkManager_Free(&entry);
    return err;
}

int32_t aLink_GetStatus(int32_t id)
{
    aLinkRecord* link = aLinkManager_Record(id);
    return link ? link->status.load() : kLinkNoStream;
}

// ---------------------------------------------------------------------------
// Packets

aPacket* aLink_GetPacket(int32_t id)
{
    aLinkRecord* link = aLinkManager_Record(id);
    return link ? aPacketFifo_Get(link->inbound) : NULL;
}

aPacket* aLink_AwaitPacket(int32_t id, uint32_t milliseconds)
{
    aLinkRecord* link = aLinkManager_Record(id);
    return link ? aPacketFifo_Await(link->inbound, milliseconds) : NULL;
}

aPacket* aLink_GetFirst(int32_t id, aPacketFilter filter, void* reference)
{
    aLinkRecord* link = aLinkManager_Record(id);
    return link ? aPacketFifo_GetFirst(link->inbound, filter, reference) : NULL;
}

aPacket* aLink_AwaitFirst(int32_t id, aPacketFilter filter, void* reference, uint32_t milliseconds)
{
    aLinkRecord* link = aLinkManager_Record(id);
    if (!link || !link->running.load() || link->status.load() != kLinkRunning)
        return NULL;
    bool served = false;
    aPacket* reply = aLinkPipes_AwaitAsReader(link, filter, reference, milliseconds, NULL, &served);
    if (served)
        return reply;
    // One wait for the whole time: the queue offers each packet to the
    // filter once and returns early only with a match or when it is destroyed.
    return aPacketFifo_AwaitFirst(link->inbound, filter, reference, milliseconds);
}

uint32_t aLink_GetConnectionLosses(int32_t id)
{
    aLinkRecord* link = aLinkManager_Record(id);
    return link ? link->losses.load() : 0;
}

aErr aLink_AwaitConnectionLoss(int32_t id, uint32_t since, uint32_t milliseconds)
{
    aLinkRecord* link = aLinkManager_Record(id);
    if (!link)
        return aErrParam;
    auto lost = [link, since] {
        return !link->running.load() || link->status.load() != kLinkRunning || link->losses.load() != since;
    };
    if (lost())
        return aErrNone;
    // Read in place: the loss is seen the moment the peer's close arrives.
    bool served = false;
    aPacket* none = aLinkPipes_AwaitAsReader(link, sRejectAll, NULL, milliseconds, &since, &served);
    aPacket_Destroy(&none);
    if (served)
        return lost() ? aErrNone : aErrTimeout;
    return sAwaitStatus(link, milliseconds, lost) ? aErrNone : aErrTimeout;
}

size_t aLink_DrainPackets(int32_t id, aPacketFilter filter, void* reference)
{
    aLinkRecord* link = aLinkManager_Record(id);
    return link ? aPacketFifo_DrainPackets(link->inbound, filter, reference) : 0;
}

aErr aLink_PutPacket(int32_t id, const aPacket* packet)
{
    aLinkRecord* link = aLinkManager_Record(id);
    if (!link)
        return aErrParam;
    if (!aVALIDPACKET(packet))
        return aErrParam;
    if (packet->address == 0)
        return aErrPacket;
    return aLinkPipes_Send(link, packet);
}

aErr aLink_InstallUserPacketFilter(int32_t id, aPacketFilter filter, void* reference)
{
    aLinkRecord* link = aLinkManager_Record(id);
    if (!link)
        return aErrParam;
    aMutex_Lock(link->filterLock);
    link->userFilter = filter;
    link->userFilterRef = reference;
    aMutex_Unlock(link->filterLock);
    return aErrNone;
}

// ---------------------------------------------------------------------------
// Packet debug log

aErr aLink_PacketDebug_SetLogSize(int32_t id, int32_t size)
{
    aLinkRecord* link = aLinkManager_Record(id);
    if (!link || size > aLINK_MAX_LOG_SIZE)
        return aErrParam;
    if (link->packetLog.load())
        return aErrBusy;
    link->logSize = size < 0 ? 0 : size;
    return aErrNone;
}

aErr aLink_PacketDebug_Enable(int32_t id)
{
    aLinkRecord* link = aLinkManager_Record(id);
    if (!link)
        return aErrParam;
    if (!link->logLock)
        return aErrResource;
    aMutex_Lock(link->logLock);
    aErr err = aErrNone;
    aPacketLog* log = link->packetLog.load();
    if (!log) {
        if (link->logSize == 0)
            link->logSize = aLINK_DEFAULT_LOG_SIZE;
        log = aPacketLog_Create(static_cast<uint32_t>(link->logSize));
        if (log)
            link->packetLog.store(log, std::memory_order_release);
        else
            err = aErrResource;
    }
    if (log)
        aPacketLog_SetEnabled(log, true);
    aMutex_Unlock(link->logLock);
    return err;
}

namespace {

// Runs use on the link's packet log under its lock: aErrParam for an unknown
// link, aErrNotReady while debugging was never enabled.
template <typename Use>
aErr sWithPacketLog(int32_t id, Use use)
{
    aLinkRecord* link = aLinkManager_Record(id);
    if (!link)
        return aErrParam;
    if (!link->packetLog.load())
        return aErrNotReady;
    aMutex_Lock(link->logLock);
    aErr err = use(link->packetLog.load());
    aMutex_Unlock(link->logLock);
    return err;
}

}  // namespace

aErr aLink_PacketDebug_Disable(int32_t id)
{
    return sWithPacketLog(id, [](aPacketLog* log) {
        aPacketLog_SetEnabled(log, false);
        return aErrNone;
    });
}

aErr aLink_PacketDebug_Read(int32_t id, uint8_t* direction, uint32_t* length, uint8_t* buffer)
{
    return sWithPacketLog(id, [&](aPacketLog* log) { return aPacketLog_Get(log, direction, length, buffer); });
}

aErr aLink_PacketDebug_Write(int32_t id, uint8_t direction, uint32_t length, const uint8_t* bytes)
{
    return sWithPacketLog(id, [&](aPacketLog* log) { return aPacketLog_Put(log, direction, length, bytes); });
}
