#ifndef _discover_H_
#define _discover_H_

#include <stddef.h>
#include <stdint.h>

#include "aDefs.h"

// Finding the modules reachable over one kind of link. Each module found is
// handed to a callback as a linkSpec; the callback decides whether it counts
// and whether the enumeration goes on. Everything runs on the caller's thread.

// found: belongs to the enumeration and is released when the callback
//        returns; copy what you want to keep.
// success: false on entry; set it to true to accept (count) the module.
// reference: the caller's pointer, passed through.
// Return true to go on, false to stop after this module.
typedef bool (*aDiscoveryCallback)(const linkSpec* found, bool* success, void* reference);

// TCP/IP discovery exchange: a 16-byte request to the multicast group, a
// 16-byte reply per module to the requester's reply port.
#define aDISCOVERY_GROUP "232.2.2.2"
#define aDISCOVERY_REQUEST_PORT 9888
#define aDISCOVERY_REPLY_PORT 9889
#define aDISCOVERY_MESSAGE_SIZE 16
#define aDISCOVERY_REQUEST_TAG 1
#define aDISCOVERY_REPLY_TIMEOUT_MS 2000   // the listener gives up this long after the last reply

// A text buffer that holds any dotted-decimal IPv4 address.
#define aDISCOVERY_IPV4_TEXT_SIZE 16

// Enumerates the modules of one link type and returns how many the callback
// accepted (at most 255). USB: modules attached to this computer. TCPIP:
// modules on the local networks answering the multicast request; it always
// takes at least aDISCOVERY_REPLY_TIMEOUT_MS unless the callback stops it or
// no request could be sent. AWEAVE: modules offered by link servers, found on
// networkInterface (an IPv4 address in network order; 0 none given,
// 127.0.0.1 this computer only), which only AWEAVE uses. Any other type, or
// a null callback, enumerates nothing.
uint8_t aDiscovery_EnumerateModules(linkType type, aDiscoveryCallback callback, void* reference,
                                    uint32_t networkInterface);

// The first module of the type whose serial number is serialNumber, as a copy
// the caller releases with aLinkSpec_Destroy; null when none was found.
linkSpec* aDiscovery_FindModule(linkType type, uint32_t serialNumber, uint32_t networkInterface);
// The first module of the type with a serial number other than 0, or null.
linkSpec* aDiscovery_FindFirstModule(linkType type, uint32_t networkInterface);

// Link-server modules (AWEAVE); the callback contract is the one above.
uint8_t aDiscovery_Enumerate_aWeaveModules(aDiscoveryCallback callback, void* reference,
                                           uint32_t networkInterface);

// Fills addresses with the IPv4 addresses (network order) of the interfaces
// in CZMQ's interface list, in its order, at most capacity of them; returns
// how many. 0 for a null array.
size_t aDiscovery_GetIPv4Interfaces(uint32_t* addresses, size_t capacity);

// Writes the dotted-decimal text of address (network order) into text, which
// must hold at least aDISCOVERY_IPV4_TEXT_SIZE bytes (otherwise nothing is
// written). The buffer is cleared first. Returns the text's length, 0 on
// failure.
size_t aDiscovery_ConvertIPv4Interface(uint32_t address, char* text, size_t length);

#endif
