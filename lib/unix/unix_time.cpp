#include "aTime.h"

#include <sys/time.h>
#include <unistd.h>

uint64_t aTime_GetMSTicks(void)
{
    struct timeval now;
    if (gettimeofday(&now, NULL) != 0)
        return 0;
    return static_cast<uint64_t>(now.tv_sec) * 1000u + static_cast<uint64_t>(now.tv_usec) / 1000u;
}

uint32_t aTime_SleepStepUS(uint64_t remainingUS)
{
    return remainingUS > aTIME_MAX_USLEEP_STEP ? aTIME_MAX_USLEEP_STEP
                                                : static_cast<uint32_t>(remainingUS);
}

aErr aTime_MSSleep(uint32_t milliseconds)
{
    // usleep() may refuse values of a second or more, hence the steps.
    uint64_t remaining = static_cast<uint64_t>(milliseconds) * 1000u;
    while (remaining > 0) {
        uint32_t step = aTime_SleepStepUS(remaining);
        usleep(step);
        remaining -= step;
    }
    return aErrNone;
}
