#include "aMutex.h"

#include <errno.h>
#include <pthread.h>
#include <stdlib.h>
#include <string.h>

struct aMutex {
    pthread_mutex_t mutex;
    char identifier[aMUTEX_MAX_IDENTIFIER + 1];
};

aMutexRef aMutex_Create(const char* identifier)
{
    size_t length = identifier ? strnlen(identifier, aMUTEX_MAX_IDENTIFIER + 1) : 0;
    if (length > aMUTEX_MAX_IDENTIFIER)
        return NULL;
    aMutex* mutex = static_cast<aMutex*>(calloc(1, sizeof(aMutex)));
    if (!mutex)
        return NULL;
    if (pthread_mutex_init(&mutex->mutex, NULL) != 0) {
        free(mutex);
        return NULL;
    }
    if (length)
        memcpy(mutex->identifier, identifier, length);
    return mutex;
}

const char* aMutex_Identifier(aMutexRef mutex)
{
    return mutex ? mutex->identifier : NULL;
}

aErr aMutex_Lock(aMutexRef mutex)
{
    if (!mutex)
        return aErrParam;
    switch (pthread_mutex_lock(&mutex->mutex)) {
    case 0: return aErrNone;
    case EINVAL: return aErrParam;
    case EDEADLK: return aErrDuplicate;
    default: return aErrUnknown;
    }
}

aErr aMutex_TryLock(aMutexRef mutex)
{
    if (!mutex)
        return aErrParam;
    switch (pthread_mutex_trylock(&mutex->mutex)) {
    case 0: return aErrNone;
    case EBUSY: return aErrBusy;
    case EINVAL: return aErrParam;
    default: return aErrUnknown;
    }
}

aErr aMutex_Unlock(aMutexRef mutex)
{
    if (!mutex)
        return aErrParam;
    switch (pthread_mutex_unlock(&mutex->mutex)) {
    case 0: return aErrNone;
    case EPERM: return aErrPermission;
    case EINVAL: return aErrParam;
    default: return aErrUnknown;
    }
}

aErr aMutex_Destroy(aMutexRef* mutex)
{
    if (!mutex || !*mutex)
        return aErrParam;
    aErr result;
    switch (pthread_mutex_destroy(&(*mutex)->mutex)) {
    case 0: result = aErrNone; break;
    // A mutex that is still held may have waiters; freeing it under them would
    // be a use after free, so the record stays with the caller.
    case EBUSY: return aErrBusy;
    case EAGAIN: result = aErrResource; break;
    case EINVAL: result = aErrParam; break;
    default: result = aErrUnknown; break;
    }
    free(*mutex);
    *mutex = NULL;
    return result;
}
