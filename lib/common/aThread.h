#ifndef _aThread_H_
#define _aThread_H_

typedef struct aThread aThread;
typedef aThread* aThreadRef;
typedef void* (*aThreadProc)(void* argument);

aThreadRef aThread_Create(aThreadProc procedure, void* argument);
// Joins the thread, frees the record and nulls the holder; returns the join result.
int aThread_Destroy(aThreadRef* thread);
void aThread_Yield(void);

#endif
