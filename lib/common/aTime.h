#ifndef _aTime_H_
#define _aTime_H_

#include <stdint.h>
#include "aError.h"

// Wall-clock milliseconds since 1970 (not monotonic); 0 when the clock fails.
uint64_t aTime_GetMSTicks(void);
aErr aTime_MSSleep(uint32_t milliseconds);

#endif
