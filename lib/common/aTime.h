#ifndef _aTime_H_
#define _aTime_H_

#include <stdint.h>
#include "aError.h"

// Wall-clock milliseconds since 1970 (not monotonic); 0 when the clock fails.
uint64_t aTime_GetMSTicks(void);
// Sleeps in usleep() steps of at most aTIME_MAX_USLEEP_STEP microseconds.
aErr aTime_MSSleep(uint32_t milliseconds);

#define aTIME_MAX_USLEEP_STEP 999999u
// The next usleep() step for the given remaining microseconds.
uint32_t aTime_SleepStepUS(uint64_t remainingUS);

#endif
