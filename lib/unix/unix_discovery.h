#ifndef _unix_discovery_H_
#define _unix_discovery_H_

#include <stdint.h>

#include "discover.h"

// The platform's enumerations behind aDiscovery_EnumerateModules. Both call
// the callback on the caller's thread and return the accepted count.

// Modules attached by USB, through the process-wide libusb context. A machine
// where libusb cannot start has none.
uint8_t aDiscovery_EnumerateUSBModules(aDiscoveryCallback callback, void* reference);
// Modules answering the multicast request on the local IPv4 interfaces.
uint8_t aDiscovery_EnumerateTCPIPModules(aDiscoveryCallback callback, void* reference);

// Hands one found module to the callback and counts it when accepted; the
// count stops at 255 rather than wrapping. Returns the callback's go-on.
static inline bool aDiscovery_Report(aDiscoveryCallback callback, const linkSpec* found, void* reference,
                                     uint8_t* count)
{
    bool success = false;
    bool goOn = callback(found, &success, reference);
    if (success && *count < UINT8_MAX)
        (*count)++;
    return goOn;
}

#endif
