#ifndef _aDebug_H_
#define _aDebug_H_

#include <stdint.h>

// The library's trace switches. A trace is printed to standard output (and
// flushed) only when the switch is on and its group bit is set in the level.
// Nothing in the application sets them; tests and developers do.
extern bool aLumastrixDebuggingEnable;      // default false
extern uint32_t aLumastrixDebuggingLevel;   // default 0

// Trace groups.
#define aDEBUG_LINK          0x001u  // link engine
#define aDEBUG_PACKETS       0x002u  // packets and heartbeats
#define aDEBUG_SERVER        0x004u  // link server
#define aDEBUG_MULTICAST     0x008u  // multicast sockets
#define aDEBUG_DISCOVERY     0x010u  // discovery
#define aDEBUG_CLIENTSTREAM  0x020u  // link client stream
#define aDEBUG_ADDRESS       0x040u  // address learning
#define aDEBUG_BEACON_LOCK   0x200u  // beacon interface lock
#define aDEBUG_USB           0x400u  // USB transport

// True when traces of the group are printed.
bool aDebug_Enabled(uint32_t group);
// printf-style trace of the group; prints nothing unless aDebug_Enabled(group).
void aDebug_Trace(uint32_t group, const char* format, ...) __attribute__((format(printf, 2, 3)));

#endif
