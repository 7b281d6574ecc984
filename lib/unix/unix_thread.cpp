#include "aThread.h"

#include <errno.h>
#include <pthread.h>
#include <stdlib.h>
#include <time.h>

struct aThread {
    pthread_t id;
};

aThreadRef aThread_Create(aThreadProc procedure, void* argument)
{
    if (!procedure)
        return NULL;
    aThread* thread = static_cast<aThread*>(malloc(sizeof(aThread)));
    if (!thread)
        return NULL;
    if (pthread_create(&thread->id, NULL, procedure, argument) != 0) {
        free(thread);
        return NULL;
    }
    return thread;
}

int aThread_Destroy(aThreadRef* thread)
{
    if (!thread || !*thread)
        return EINVAL;
    int result = pthread_join((*thread)->id, NULL);
    // A thread that destroys its own record cannot join itself; detach it so
    // its resources are still reclaimed when it ends.
    if (result == EDEADLK)
        pthread_detach((*thread)->id);
    free(*thread);
    *thread = NULL;
    return result;
}

void aThread_Yield(void)
{
    struct timespec pause = {0, 5000};
    nanosleep(&pause, NULL);
}
