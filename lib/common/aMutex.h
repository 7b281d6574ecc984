#ifndef _aMutex_H_
#define _aMutex_H_

#include "aError.h"

#define aMUTEX_MAX_IDENTIFIER 255

// Plain (non-recursive) mutex with a label for traces.
typedef struct aMutex aMutex;
typedef aMutex* aMutexRef;

aMutexRef aMutex_Create(const char* identifier);
const char* aMutex_Identifier(aMutexRef mutex);
aErr aMutex_Lock(aMutexRef mutex);
aErr aMutex_TryLock(aMutexRef mutex);
aErr aMutex_Unlock(aMutexRef mutex);
aErr aMutex_Destroy(aMutexRef* mutex);

#endif
