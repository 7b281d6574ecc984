#ifndef _aStreamsocket_H_
#define _aStreamsocket_H_

#include <stdint.h>
#include "aStream.h"

// A stream over a TCP client connection to a module's link service. get never
// blocks (aErrNotReady when nothing is waiting); a broken connection is
// re-established by whichever side meets it, so a link survives a restart of
// the peer. The stream's wait operation sleeps in poll() until bytes arrive.

#define aSOCKET_MAX_SEND_RETRY ((uint8_t)10)   // send rounds without progress
#define aSOCKET_RETRY_DELAY_MS ((uint8_t)60)   // pause between send rounds

// address: IPv4 address in network byte order; port in host order.
// aErrParam for a null out pointer, aErrResource on every other failure
// (no listener, no memory); *stream is null unless aErrNone is returned.
aErr aStream_CreateSocket(uint32_t address, uint16_t port, aStreamRef* stream);

// Releases a socket reference without closing its socket, for a socket owned
// elsewhere. aErrIO when the reference is not a valid socket reference.
aErr sSocketStreamAcceptDelete(void* reference);

#endif
