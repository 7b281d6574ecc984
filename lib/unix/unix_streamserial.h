#ifndef _unix_streamserial_H_
#define _unix_streamserial_H_

#include <stdint.h>
#include "aStream.h"

// A stream over a serial line, opened raw with the given line settings; the
// line's previous settings are restored when the stream is destroyed. get
// never waits (aErrNotReady when nothing was received); the stream's wait
// operation sleeps in poll() until bytes arrive.

#define aSERIAL_MAXPATH 4096
// Rate index -> bit/s: 0 2400, 1 4800, 2 9600, 3 19200, 4 38400, 5 57600,
// 6 115200, 7 230400; any other index sets rate 0, which hangs up the line.
#define aSERIAL_RATE_COUNT 8

// Line rate in bit/s of a rate index; 0 for an index outside the table.
uint32_t aSerial_RateOfIndex(int32_t rateIndex);

struct termios;
// Composes raw line settings over the given ones: break ignored, no output
// processing, no echo or signals, receiver on, modem lines ignored, even
// parity when asked, the character size and stop bits of the selectors, the
// rate of the index, reads that return at once.
void aSerial_ComposeSettings(struct termios* settings, int32_t rateIndex, bool parity, int32_t dataBits,
                             int32_t stopBits);

// dataBits: 0 = 8 bits, 1 = 7 bits. stopBits: 0 = one, 1 = two. parity: even.
// aErrResource for refused arguments or no memory; aErrNotFound for a path
// that does not exist, aErrPermission, aErrIO for a line that cannot be set.
aErr aStream_CreateSerial(const char* path, int32_t rateIndex, bool parity, int32_t dataBits,
                          int32_t stopBits, aStreamRef* stream);

#endif
