// Mutexes, threads and time of the OS layer.
#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <vector>

#include "aMutex.h"
#include "aThread.h"
#include "aTime.h"

namespace {

TEST(OsMutex, IdentifierLimit)
{
    struct Case { size_t length; bool created; };
    for (Case c : {Case{0, true}, Case{255, true}, Case{256, false}, Case{1000, false}}) {
        SCOPED_TRACE(c.length);
        std::string id(c.length, 'm');
        aMutexRef mutex = aMutex_Create(id.c_str());
        EXPECT_EQ(mutex != nullptr, c.created);
        if (mutex) {
            EXPECT_EQ(aMutex_Identifier(mutex), id);
            EXPECT_EQ(aMutex_Destroy(&mutex), aErrNone);
        }
    }
    aMutexRef unnamed = aMutex_Create(nullptr);
    ASSERT_NE(unnamed, nullptr);
    EXPECT_STREQ(aMutex_Identifier(unnamed), "");
    aMutex_Destroy(&unnamed);
}

TEST(OsMutex, LockTryLockUnlockAndDestroy)
{
    aMutexRef mutex = aMutex_Create("m");
    ASSERT_NE(mutex, nullptr);
    EXPECT_EQ(aMutex_TryLock(mutex), aErrNone);
    EXPECT_EQ(aMutex_TryLock(mutex), aErrBusy);
#ifndef __SANITIZE_THREAD__  // ThreadSanitizer reports the deliberate misuse itself
    // A held mutex is not freed under possible waiters; the caller keeps it.
    EXPECT_EQ(aMutex_Destroy(&mutex), aErrBusy);
    ASSERT_NE(mutex, nullptr);
#endif
    EXPECT_EQ(aMutex_Unlock(mutex), aErrNone);
    EXPECT_EQ(aMutex_Lock(mutex), aErrNone);
    EXPECT_EQ(aMutex_Unlock(mutex), aErrNone);
    EXPECT_EQ(aMutex_Destroy(&mutex), aErrNone);
    EXPECT_EQ(mutex, nullptr);
    EXPECT_EQ(aMutex_Destroy(&mutex), aErrParam);
    EXPECT_EQ(aMutex_Destroy(nullptr), aErrParam);
    EXPECT_EQ(aMutex_Lock(nullptr), aErrParam);
    EXPECT_EQ(aMutex_TryLock(nullptr), aErrParam);
    EXPECT_EQ(aMutex_Unlock(nullptr), aErrParam);
}

struct Counter {
    aMutexRef mutex;
    long value = 0;
};

void* AddMany(void* argument)
{
    Counter* counter = static_cast<Counter*>(argument);
    for (int i = 0; i < 20000; ++i) {
        aMutex_Lock(counter->mutex);
        ++counter->value;
        aMutex_Unlock(counter->mutex);
        if (i % 5000 == 0)
            aThread_Yield();
    }
    return nullptr;
}

TEST(OsThread, ThreadsUnderOneMutexLoseNoUpdates)
{
    Counter counter{aMutex_Create("counter")};
    std::vector<aThreadRef> threads;
    for (int i = 0; i < 4; ++i) {
        threads.push_back(aThread_Create(AddMany, &counter));
        ASSERT_NE(threads.back(), nullptr);
    }
    for (aThreadRef& thread : threads) {
        EXPECT_EQ(aThread_Destroy(&thread), 0);
        EXPECT_EQ(thread, nullptr);
    }
    EXPECT_EQ(counter.value, 4 * 20000);
    aMutex_Destroy(&counter.mutex);
}

TEST(OsThread, DestroyJoinsAndRejectsNull)
{
    std::atomic<bool> ran{false};
    aThreadRef thread = aThread_Create(
        [](void* argument) -> void* {
            aTime_MSSleep(20);
            static_cast<std::atomic<bool>*>(argument)->store(true);
            return nullptr;
        },
        &ran);
    ASSERT_NE(thread, nullptr);
    EXPECT_EQ(aThread_Destroy(&thread), 0);
    EXPECT_TRUE(ran.load());  // joined, not just released
    EXPECT_NE(aThread_Destroy(&thread), 0);
    EXPECT_NE(aThread_Destroy(nullptr), 0);
    EXPECT_EQ(aThread_Create(nullptr, nullptr), nullptr);
}

TEST(OsTime, SleepStepsOfAtMostOneSecond)
{
    struct Case { uint32_t ms; std::vector<uint32_t> steps; };
    const Case cases[] = {
        {2500, {999999, 999999, 500002}},
        {0, {}},
        {1, {1000}},
        {999, {999000}},
        {1000, {999999, 1}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.ms);
        std::vector<uint32_t> steps;
        for (uint64_t remaining = uint64_t{c.ms} * 1000; remaining > 0; remaining -= steps.back())
            steps.push_back(aTime_SleepStepUS(remaining));
        EXPECT_EQ(steps, c.steps);
    }
}

TEST(OsTime, SleepAndTicks)
{
    uint64_t before = aTime_GetMSTicks();
    EXPECT_GT(before, uint64_t{1600000000000});  // a wall clock in ms, after 2020
    EXPECT_EQ(aTime_MSSleep(0), aErrNone);
    EXPECT_EQ(aTime_MSSleep(30), aErrNone);
    uint64_t after = aTime_GetMSTicks();
    EXPECT_GE(after - before, 29u);  // ms truncation on both ends
}

}  // namespace
