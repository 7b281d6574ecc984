#ifndef QUORVEL_TEST_STREAMHELPERS_H
#define QUORVEL_TEST_STREAMHELPERS_H

// Byte streams in tests: reading and writing strings, and measuring a stream's
// wait operation (what an idle wait costs in CPU, how soon a reader blocked in
// it wakes once a byte arrives).

#include <sys/resource.h>

#include <chrono>
#include <cstdio>
#include <functional>
#include <string>
#include <thread>

#include <gtest/gtest.h>

#include "aStream.h"

namespace testsupport {

inline aErr WriteString(aStreamRef stream, const std::string& bytes)
{
    return aStream_Write(stream, reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size());
}

// Reads exactly length bytes, sleeping in the stream's wait while none come;
// empty (and a test failure) after a failure or ten seconds.
inline std::string ReadExactly(aStreamRef stream, size_t length)
{
    std::string bytes(length, '\0');
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    aErr err;
    do {
        err = aStream_Read(stream, reinterpret_cast<uint8_t*>(&bytes[0]), length);
        if (err == aErrNotReady)
            aStream_Wait(stream, 100);   // USB through libusb cannot wait: its get already did
    } while (err == aErrNotReady && std::chrono::steady_clock::now() < deadline);
    EXPECT_EQ(err, aErrNone);
    return err == aErrNone ? bytes : "";
}

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
