#include "aLogger.h"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <new>
#include <thread>

#include "aThread.h"

struct aLogger {
    int32_t reference = 0;            // handed to the callback
    std::atomic<bool> running{false};  // the logger thread loops while set
    uint16_t check = 0;               // aLOGGER_MAGIC while valid
    aLoggerProc callback = nullptr;
    aFileRef file = nullptr;
    aThreadRef thread = nullptr;      // null while no thread runs
    // Set by the logger thread itself, so that a call from it can be told apart.
    std::atomic<std::thread::id> loggerThread{};
    // Wakes an idle logger thread when it is disabled.
    std::mutex idleLock;
    std::condition_variable idle;
    // A thread that could not be joined may still use the logger: keep it.
    bool unjoinable = false;
};

#define aVALIDLOGGER(l) ((l) != NULL && (l)->check == aLOGGER_MAGIC)

static bool sOnLoggerThread(const aLogger* logger)
{
    return logger->loggerThread.load() == std::this_thread::get_id();
}

static void* sRunLog(void* argument)
{
    aLogger* logger = static_cast<aLogger*>(argument);
    logger->loggerThread = std::this_thread::get_id();
    while (logger->running) {
        if (logger->callback(logger->file, logger->reference))
            continue;
        std::unique_lock<std::mutex> hold(logger->idleLock);
        logger->idle.wait_for(hold, std::chrono::milliseconds(aLOGGER_IDLE_MS),
                              [logger] { return !logger->running; });
    }
    return NULL;
}

aLogger* aLogger_Create(int32_t reference, aLoggerProc callback, const char* path)
{
    if (!callback)
        return NULL;
    aLogger* logger = new (std::nothrow) aLogger;
    if (!logger)
        return NULL;
    logger->file = aFile_Open(path, aFileModeAppend);
    if (!logger->file || aFile_SetUnbuffered(logger->file) != aErrNone) {
        aFile_Close(&logger->file);
        delete logger;
        return NULL;
    }
    logger->reference = reference;
    logger->callback = callback;
    logger->check = aLOGGER_MAGIC;
    return logger;
}

aErr aLogger_Enable(aLogger* logger)
{
    if (!aVALIDLOGGER(logger))
        return aErrParam;
    if (logger->thread)
        return aErrNone;
    logger->running = true;
    logger->thread = aThread_Create(sRunLog, logger);
    if (!logger->thread) {
        logger->running = false;
        return aErrResource;
    }
    return aErrNone;
}

aErr aLogger_Disable(aLogger* logger)
{
    if (!aVALIDLOGGER(logger))
        return aErrParam;
    // The logger thread is tested first: only the owner touches the handle.
    if (sOnLoggerThread(logger) || !logger->thread)
        return aErrNone;
    {
        std::lock_guard<std::mutex> hold(logger->idleLock);
        logger->running = false;
    }
    logger->idle.notify_all();
    if (aThread_Destroy(&logger->thread) != 0) {
        logger->unjoinable = true;
        return aErrUnknown;
    }
    logger->loggerThread = std::thread::id();
    return aErrNone;
}

aErr aLogger_Destroy(aLogger** holder)
{
    if (!holder || !aVALIDLOGGER(*holder))
        return aErrNone;
    aLogger* logger = *holder;
    // Freeing the logger under its own running thread would pull the file and
    // the record from under it.
    if (sOnLoggerThread(logger))
        return aErrBusy;
    aErr err = aLogger_Disable(logger);
    if (err != aErrNone)
        return err;
    if (logger->unjoinable)
        return aErrUnknown;
    aFile_Close(&logger->file);
    logger->check = 0;
    delete logger;
    *holder = NULL;
    return aErrNone;
}
