#include "discover.h"

#include <arpa/inet.h>
#include <czmq.h>
#include <string.h>

#include "unix_discovery.h"

uint8_t aDiscovery_EnumerateModules(linkType type, aDiscoveryCallback callback, void* reference,
                                    uint32_t networkInterface)
{
    if (!callback)
        return 0;
    switch (type) {
    case USB: return aDiscovery_EnumerateUSBModules(callback, reference);
    case TCPIP: return aDiscovery_EnumerateTCPIPModules(callback, reference);
    case AWEAVE: return aDiscovery_Enumerate_aWeaveModules(callback, reference, networkInterface);
    default: return 0;   // SERIAL lines cannot be enumerated; INVALID names no transport
    }
}

// Link servers are not searched yet: no link-server modules exist for this
// library until it can find them.
uint8_t aDiscovery_Enumerate_aWeaveModules(aDiscoveryCallback callback, void* reference, uint32_t networkInterface)
{
    (void)callback;
    (void)reference;
    (void)networkInterface;
    return 0;
}

// ---------------------------------------------------------------------------
// Finders: the reference is the result record, already allocated; a match
// overwrites all of it, so nothing of the search (the wanted serial number)
// survives in a result that was found.

typedef struct {
    linkSpec* result;
    uint32_t serialNumber;
} sSearch;

static bool cbSNCallback(const linkSpec* found, bool* success, void* reference)
{
    sSearch* search = static_cast<sSearch*>(reference);
    if (found->serial_num != search->serialNumber)
        return true;
    memcpy(search->result, found, sizeof(linkSpec));
    *success = true;
    return false;
}

static bool cbFirstCallback(const linkSpec* found, bool* success, void* reference)
{
    sSearch* search = static_cast<sSearch*>(reference);
    if (found->serial_num == 0)
        return true;
    memcpy(search->result, found, sizeof(linkSpec));
    *success = true;
    return false;
}

static linkSpec* sFind(linkType type, aDiscoveryCallback callback, uint32_t serialNumber, uint32_t networkInterface)
{
    sSearch search = {aLinkSpec_Create(type), serialNumber};
    if (!search.result)
        return NULL;
    if (aDiscovery_EnumerateModules(type, callback, &search, networkInterface) == 0)
        aLinkSpec_Destroy(&search.result);
    return search.result;
}

linkSpec* aDiscovery_FindModule(linkType type, uint32_t serialNumber, uint32_t networkInterface)
{
    return sFind(type, cbSNCallback, serialNumber, networkInterface);
}

linkSpec* aDiscovery_FindFirstModule(linkType type, uint32_t networkInterface)
{
    return sFind(type, cbFirstCallback, 0, networkInterface);
}

// ---------------------------------------------------------------------------
// Interfaces

size_t aDiscovery_GetIPv4Interfaces(uint32_t* addresses, size_t capacity)
{
    if (!addresses)
        return 0;
    ziflist_t* interfaces = ziflist_new();
    if (!interfaces)
        return 0;
    size_t count = 0;
    for (const char* name = ziflist_first(interfaces); name && count < capacity; name = ziflist_next(interfaces)) {
        struct in_addr address;
        const char* text = ziflist_address(interfaces);
        if (text && inet_pton(AF_INET, text, &address) == 1)
            addresses[count++] = address.s_addr;
    }
    ziflist_destroy(&interfaces);
    return count;
}

size_t aDiscovery_ConvertIPv4Interface(uint32_t address, char* text, size_t length)
{
    if (!text || length < aDISCOVERY_IPV4_TEXT_SIZE)
        return 0;
    memset(text, 0, length);
    struct in_addr in;
    in.s_addr = address;
    if (!inet_ntop(AF_INET, &in, text, static_cast<socklen_t>(length)))
        return 0;
    return strlen(text);
}
