#ifndef _aLogger_H_
#define _aLogger_H_

// A logger thread that drains something into a file: it calls its callback
// over and over with the file and a reference (for a link's packet log, the
// link id) while it is enabled.
//
// Entry points:
//   aLogger_Create(reference, callback, path)  opens path for appending, unbuffered; not running
//   aLogger_Enable(logger)                     starts the thread
//   aLogger_Disable(logger)                    stops and joins it
//   aLogger_Destroy(&logger)                   stops it, closes the file, frees the logger
//
// The callback returns true when it wrote something (it is called again at
// once) and false when there was nothing to write; the thread then waits
// aLOGGER_IDLE_MS, or less when it is disabled meanwhile. A packet log
// callback reads one record from the link's ring (under the link's log lock)
// and writes it with aPacketLog_WriteLine (aPacketDebug.h).
//
// Create, enable, disable and destroy are called by the logger's owner, one
// thread at a time; the callback may call aLogger_Disable on its own logger
// (it does nothing) but not destroy it.

#include <stdint.h>

#include "aError.h"
#include "aFile.h"

#define aLOGGER_MAGIC 0xDEED
#define aLOGGER_IDLE_MS 5

typedef bool (*aLoggerProc)(aFileRef file, int32_t reference);

// Opaque; valid (check aLOGGER_MAGIC) from create until destroy.
typedef struct aLogger aLogger;

// A logger that is not running; null when the file cannot be opened, the
// callback is null or memory is exhausted.
aLogger* aLogger_Create(int32_t reference, aLoggerProc callback, const char* path);

// Starts the logger thread. aErrParam for an invalid logger, aErrNone when it
// already runs, aErrResource when the thread cannot be started.
aErr aLogger_Enable(aLogger* logger);

// Stops the logger thread and waits for it. aErrParam for an invalid logger;
// aErrNone when it does not run, or when called from the logger thread itself
// (nothing is done then); aErrUnknown when the thread cannot be joined.
aErr aLogger_Disable(aLogger* logger);

// Stops the logger, closes its file, frees it and nulls *logger. An invalid
// logger is ignored (aErrNone). When the thread cannot be stopped, or when
// called from the logger thread itself (aErrBusy), nothing is released.
aErr aLogger_Destroy(aLogger** logger);

#endif
