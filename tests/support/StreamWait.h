#ifndef QUORVEL_TEST_STREAMWAIT_H
#define QUORVEL_TEST_STREAMWAIT_H

// Measures a stream's wait operation: what an idle wait costs in CPU, and how
// soon a reader blocked in it wakes once a byte arrives.

#include <sys/resource.h>

#include <chrono>
#include <cstdio>
#include <functional>
#include <thread>

#include "aStream.h"

namespace testsupport {

struct WaitFigures {
    aErr idleResult = aErrNone;
    double idleWallMs = 0;
    double idleCpuMs = 0;     // CPU time of the waiting thread, user + system
    aErr wakeResult = aErrTimeout;
    double wakeLatencyMs = 0; // from the byte's arrival to the reader's return
};

inline double ThreadCpuMs()
{
    struct rusage usage;
    getrusage(RUSAGE_THREAD, &usage);
    return (usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) * 1e3
           + (usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e3;
}

// Waits idleMs on a stream with nothing coming, then blocks a reader in a
// long wait and calls deliver (which makes one byte arrive) from this thread.
inline WaitFigures MeasureStreamWait(aStreamRef stream, const std::function<void()>& deliver, uint32_t idleMs)
{
    using Clock = std::chrono::steady_clock;
    auto ms = [](Clock::duration d) { return std::chrono::duration<double, std::milli>(d).count(); };
    WaitFigures f;

    double cpu = ThreadCpuMs();
    auto start = Clock::now();
    f.idleResult = aStream_Wait(stream, idleMs);
    f.idleWallMs = ms(Clock::now() - start);
    f.idleCpuMs = ThreadCpuMs() - cpu;

    Clock::time_point woke;
    std::thread reader([&] {
        f.wakeResult = aStream_Wait(stream, 10000);
        woke = Clock::now();
    });
    // Give the reader time to block; were it late, its wait would return at once.
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    auto sent = Clock::now();
    deliver();
    reader.join();
    f.wakeLatencyMs = ms(woke - sent);

    std::printf("[ figure ] idle wait of %u ms: %.1f ms wall, %.2f ms CPU; woke %.3f ms after a byte arrived\n",
                idleMs, f.idleWallMs, f.idleCpuMs, f.wakeLatencyMs);
    return f;
}

}  // namespace testsupport

#endif
