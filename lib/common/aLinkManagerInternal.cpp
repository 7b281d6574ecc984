#include "aLinkManagerInternal.h"

#include <new>

#include "aDebug.h"

namespace {

aLinkEntry* gHead = NULL;
int32_t gNextId = 1;

// Made by whichever table operation runs first; never destroyed, since pipe
// threads may still look links up while the process exits.
aMutexRef sTableLock()
{
    static aMutexRef lock = aMutex_Create("aLink_Managed");
    return lock;
}

class TableGuard {
public:
    TableGuard() : lock_(sTableLock()) { aMutex_Lock(lock_); }
    ~TableGuard() { aMutex_Unlock(lock_); }
    TableGuard(const TableGuard&) = delete;
    TableGuard& operator=(const TableGuard&) = delete;

private:
    aMutexRef lock_;
};

aLinkEntry* sFind(bool (*match)(const aLinkEntry*, const void*), const void* key)
{
    for (aLinkEntry* entry = gHead; entry; entry = entry->next)
        if (match(entry, key))
            return entry;
    return NULL;
}

struct Triple {
    uint32_t identifier, port, clientIndex;
};

}  // namespace

int32_t aLinkManager_Create(uint32_t identifier, uint32_t port, uint32_t clientIndex, linkType type)
{
    aLinkEntry* entry = new (std::nothrow) aLinkEntry();
    aLinkRecord* link = new (std::nothrow) aLinkRecord();
    if (!entry || !link) {
        delete entry;
        delete link;
        return 0;
    }
    entry->identifier = identifier;
    entry->port = port;
    entry->clientIndex = clientIndex;
    entry->type = type;
    entry->link = link;
    {
        TableGuard guard;
        entry->id = gNextId++;
        link->id = entry->id;
        entry->next = gHead;
        gHead = entry;
    }
    aDebug_Trace(aDEBUG_LINK, " sCreate2(%08X)==>%d\n", identifier, entry->id);
    return entry->id;
}

aLinkEntry* aLinkManager_LookupByID(int32_t id)
{
    TableGuard guard;
    return sFind([](const aLinkEntry* e, const void* key) { return e->id == *static_cast<const int32_t*>(key); },
                 &id);
}

aLinkEntry* aLinkManager_LookupByIdentifier(uint32_t identifier)
{
    TableGuard guard;
    return sFind([](const aLinkEntry* e, const void* key) {
        return e->identifier == *static_cast<const uint32_t*>(key);
    }, &identifier);
}

aLinkEntry* aLinkManager_LookupByTriple(uint32_t identifier, uint32_t port, uint32_t clientIndex)
{
    Triple triple = {identifier, port, clientIndex};
    TableGuard guard;
    return sFind([](const aLinkEntry* e, const void* key) {
        const Triple* t = static_cast<const Triple*>(key);
        return e->identifier == t->identifier && e->port == t->port && e->clientIndex == t->clientIndex;
    }, &triple);
}

aLinkEntry* aLinkManager_Extract(int32_t id)
{
    aLinkEntry* found = NULL;
    int remaining = 0;
    {
        TableGuard guard;
        aDebug_Trace(aDEBUG_LINK, "sExtractEntry() Links: head=%p, nextID=%d", static_cast<void*>(gHead), gNextId);
        for (aLinkEntry** at = &gHead; *at; at = &(*at)->next) {
            if ((*at)->id == id) {
                found = *at;
                *at = found->next;
                found->next = NULL;
                break;
            }
        }
        for (aLinkEntry* entry = gHead; entry; entry = entry->next)
            remaining++;
    }
    if (found)
        aDebug_Trace(aDEBUG_LINK, "  sExtractEntry(%d) -  %d remaining\n", id, remaining);
    if (found && remaining == 0)
        aDebug_Trace(aDEBUG_LINK, "NO MORE LINKS");
    return found;
}

int16_t aLinkManager_ChangeUseCount(aLinkEntry* entry, int16_t delta)
{
    if (!entry)
        return 0;
    int16_t count;
    {
        TableGuard guard;
        entry->useCount = static_cast<int16_t>(entry->useCount + delta);
        count = entry->useCount;
    }
    aDebug_Trace(aDEBUG_LINK, " sChangeUseCount(%d, %+d) ==> %d\n", entry->id, delta, count);
    return count;
}

int32_t aLinkManager_GetUseCount(int32_t id)
{
    TableGuard guard;
    for (aLinkEntry* entry = gHead; entry; entry = entry->next)
        if (entry->id == id)
            return entry->useCount;
    return -1;
}

void aLinkManager_Free(aLinkEntry** entry)
{
    if (!entry || !*entry)
        return;
    delete (*entry)->link;
    delete *entry;
    *entry = NULL;
}

aLinkRecord* aLinkManager_Record(int32_t id)
{
    aLinkEntry* entry = aLinkManager_LookupByID(id);
    return entry && aVALIDLINK(entry->link) ? entry->link : NULL;
}

void aLinkManager_SetStatus(aLinkRecord* link, int32_t status)
{
    {
        std::lock_guard<std::mutex> guard(link->statusLock);
        link->status = status;
    }
    link->statusChanged.notify_all();
}

void aLinkManager_SetReady(std::atomic<bool>& flag, aLinkRecord* link, bool ready)
{
    {
        std::lock_guard<std::mutex> guard(link->statusLock);
        flag = ready;
    }
    link->statusChanged.notify_all();
}
