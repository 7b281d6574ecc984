// quorvel-test: threaded
// Packet FIFO: identifiers, copies, filters, the window rule, the bound and
// destruction under waiting threads.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>
#include <vector>

#include "aPacket.h"
#include "packetfifo.h"

namespace {

// Identifier of the first FIFO this process made, before any test ran.
aPacketFifoId gFirstId = 0;

class FirstFifoEnvironment : public ::testing::Environment {
public:
    void SetUp() override
    {
        gFirstId = aPacketFifo_Create();
        aPacketFifoId id = gFirstId;
        aPacketFifo_Destroy(&id);
    }
};
const auto* const kEnvironment =
    ::testing::AddGlobalTestEnvironment(new FirstFifoEnvironment);

// A packet whose first two data bytes are tag and sequence number.
aPacket* MakePacket(uint8_t tag, uint8_t sequence = 0)
{
    uint8_t data[] = {tag, sequence, 0x55};
    return aPacket_CreateWithData(2, sizeof(data), data);
}

void Put(aPacketFifoId fifo, uint8_t tag, uint8_t sequence = 0)
{
    aPacket* packet = MakePacket(tag, sequence);
    ASSERT_EQ(aPacketFifo_Put(fifo, packet), aErrNone);
    aPacket_Destroy(&packet);
}

// Tag and sequence of a packet handed out, releasing it; {-1, -1} for null.
std::pair<int, int> Take(aPacket* packet)
{
    if (!packet)
        return {-1, -1};
    std::pair<int, int> result{packet->data[0], packet->data[1]};
    aPacket_Destroy(&packet);
    return result;
}

bool AcceptTag(const aPacket* packet, void* reference)
{
    return packet->data[0] == *static_cast<const uint8_t*>(reference);
}

bool RejectAll(const aPacket*, void*)
{
    return false;
}

// A FIFO destroyed at the end of the test unless the test destroyed it.
struct Fifo {
    aPacketFifoId id = aPacketFifo_Create();
    ~Fifo()
    {
        if (id)
            aPacketFifo_Destroy(&id);
    }
};

// Counts filter calls and lets the test wait for a given count.
struct CountingFilter {
    uint8_t acceptTag;
    std::mutex lock;
    std::condition_variable called;
    int calls = 0;

    static bool Filter(const aPacket* packet, void* reference)
    {
        CountingFilter* self = static_cast<CountingFilter*>(reference);
        {
            std::lock_guard<std::mutex> hold(self->lock);
            self->calls++;
        }
        self->called.notify_all();
        return packet->data[0] == self->acceptTag;
    }

    bool WaitForCalls(int count)
    {
        std::unique_lock<std::mutex> hold(lock);
        return called.wait_for(hold, std::chrono::seconds(10), [&] { return calls >= count; });
    }

    int Calls()
    {
        std::lock_guard<std::mutex> hold(lock);
        return calls;
    }
};

TEST(PacketFifo, IdentifiersStartAtOneAndAreNeverReused)
{
    EXPECT_EQ(gFirstId, 1u);
    aPacketFifoId previous = gFirstId;
    for (int i = 0; i < 3; i++) {
        aPacketFifoId id = aPacketFifo_Create();
        EXPECT_GT(id, previous);
        previous = id;
        EXPECT_EQ(aPacketFifo_Destroy(&id), aErrNone);
        EXPECT_EQ(id, 0u);
    }
}

TEST(PacketFifo, StaleAndUnknownIdentifiersFailQuietly)
{
    const aPacketFifoId stale = aPacketFifo_Create();
    aPacketFifoId holder = stale;
    ASSERT_EQ(aPacketFifo_Destroy(&holder), aErrNone);
    EXPECT_EQ(holder, 0u);
    holder = stale;
    EXPECT_EQ(aPacketFifo_Destroy(&holder), aErrNotFound);
    EXPECT_EQ(holder, stale);
    EXPECT_EQ(aPacketFifo_Destroy(nullptr), aErrParam);

    aPacket* packet = MakePacket(1);
    uint8_t tag = 1;
    for (aPacketFifoId id : {aPacketFifoId(0), stale, aPacketFifoId(1) << 40}) {
        SCOPED_TRACE(id);
        EXPECT_EQ(aPacketFifo_Put(id, packet), aErrParam);
        EXPECT_EQ(aPacketFifo_GetLength(id), 0u);
        EXPECT_EQ(aPacketFifo_Get(id), nullptr);
        EXPECT_EQ(aPacketFifo_Await(id, 0), nullptr);
        EXPECT_EQ(aPacketFifo_GetFirst(id, AcceptTag, &tag), nullptr);
        EXPECT_EQ(aPacketFifo_AwaitFirst(id, AcceptTag, &tag, 0), nullptr);
        EXPECT_EQ(aPacketFifo_DrainPackets(id, AcceptTag, &tag), 0u);
        aPacketFifoId holder = id;
        EXPECT_EQ(aPacketFifo_Destroy(&holder), aErrNotFound);
    }
    aPacket_Destroy(&packet);
}

TEST(PacketFifo, PacketsGoInAndComeOutAsCopies)
{
    Fifo fifo;
    aPacket* original = MakePacket(7, 1);
    ASSERT_EQ(aPacketFifo_Put(fifo.id, original), aErrNone);
    original->data[0] = 99;  // the queue kept its own copy
    aPacket* out = aPacketFifo_Get(fifo.id);
    ASSERT_NE(out, nullptr);
    EXPECT_NE(out, original);
    EXPECT_EQ(out->data[0], 7);
    EXPECT_TRUE(aPacket_IsComplete(out));
    aPacket_Destroy(&out);
    aPacket_Destroy(&original);

    // Invalid packets are refused; the sequence number they drew is not seen.
    aPacket bad = {};
    EXPECT_EQ(aPacketFifo_Put(fifo.id, &bad), aErrParam);
    EXPECT_EQ(aPacketFifo_Put(fifo.id, nullptr), aErrParam);
    EXPECT_EQ(aPacketFifo_GetLength(fifo.id), 0u);
}

TEST(PacketFifo, GetAwaitAndFiltersTakeInOrder)
{
    Fifo fifo;
    EXPECT_EQ(aPacketFifo_Get(fifo.id), nullptr);
    EXPECT_EQ(aPacketFifo_Await(fifo.id, 0), nullptr);

    for (uint8_t i = 0; i < 6; i++)
        Put(fifo.id, i % 2, i);  // tags 0 1 0 1 0 1
    uint8_t one = 1;
    EXPECT_EQ(Take(aPacketFifo_GetFirst(fifo.id, AcceptTag, &one)), std::make_pair(1, 1));
    EXPECT_EQ(Take(aPacketFifo_AwaitFirst(fifo.id, AcceptTag, &one, 0)), std::make_pair(1, 3));
    EXPECT_EQ(aPacketFifo_GetFirst(fifo.id, RejectAll, nullptr), nullptr);
    EXPECT_EQ(aPacketFifo_GetFirst(fifo.id, nullptr, nullptr), nullptr);
    EXPECT_EQ(Take(aPacketFifo_Await(fifo.id, 0)), std::make_pair(0, 0));
    EXPECT_EQ(Take(aPacketFifo_Get(fifo.id)), std::make_pair(0, 2));
    EXPECT_EQ(aPacketFifo_GetLength(fifo.id), 2u);
}

TEST(PacketFifo, DrainRemovesWhatTheFilterAcceptsAndKeepsTheOrder)
{
    Fifo fifo;
    for (uint8_t i = 0; i < 10; i++)
        Put(fifo.id, i % 2, i);
    uint8_t one = 1;
    EXPECT_EQ(aPacketFifo_DrainPackets(fifo.id, AcceptTag, &one), 5u);
    EXPECT_EQ(aPacketFifo_DrainPackets(fifo.id, nullptr, nullptr), 0u);
    for (int i = 0; i < 10; i += 2)
        EXPECT_EQ(Take(aPacketFifo_Get(fifo.id)), std::make_pair(0, i));
    EXPECT_EQ(aPacketFifo_GetLength(fifo.id), 0u);
}

TEST(PacketFifo, AwaitTimesOutOnAnEmptyQueue)
{
    Fifo fifo;
    auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(aPacketFifo_Await(fifo.id, 50), nullptr);
    EXPECT_EQ(aPacketFifo_AwaitFirst(fifo.id, RejectAll, nullptr, 50), nullptr);
    EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(100));
}

TEST(PacketFifo, ThousandPacketsKeptTheThousandAndFirstClearsTheQueue)
{
    Fifo fifo;
    for (int i = 0; i < aPACKETFIFO_CAPACITY; i++)
        Put(fifo.id, 1, static_cast<uint8_t>(i));
    EXPECT_EQ(aPacketFifo_GetLength(fifo.id), size_t(aPACKETFIFO_CAPACITY));
    Put(fifo.id, 2);
    EXPECT_EQ(aPacketFifo_GetLength(fifo.id), 0u);
    Put(fifo.id, 3);
    EXPECT_EQ(aPacketFifo_GetLength(fifo.id), 1u);
    // A waiter started after the clear still sees the new packet.
    uint8_t three = 3;
    EXPECT_EQ(Take(aPacketFifo_AwaitFirst(fifo.id, AcceptTag, &three, 0)), std::make_pair(3, 0));
}

// Three queued rejects are offered once each before the waiter sleeps, and
// each later packet exactly once, however often the waiter is woken.
TEST(PacketFifo, AwaitFirstOffersEachPacketToItsFilterOnce)
{
    Fifo fifo;
    CountingFilter filter;
    filter.acceptTag = 9;
    for (uint8_t i = 0; i < 3; i++)
        Put(fifo.id, 1, i);

    std::pair<int, int> got{-1, -1};
    std::thread waiter([&] {
        got = Take(aPacketFifo_AwaitFirst(fifo.id, CountingFilter::Filter, &filter, 10000));
    });
    // EXPECT rather than ASSERT: the waiter must still be released and joined.
    EXPECT_TRUE(filter.WaitForCalls(3));
    // Every put wakes the waiter; it examines only the new packet.
    Put(fifo.id, 1, 3);
    EXPECT_TRUE(filter.WaitForCalls(4));
    Put(fifo.id, 1, 4);
    EXPECT_TRUE(filter.WaitForCalls(5));
    Put(fifo.id, 9, 5);
    waiter.join();

    EXPECT_EQ(got, std::make_pair(9, 5));
    EXPECT_EQ(filter.Calls(), 6);
    EXPECT_EQ(aPacketFifo_GetLength(fifo.id), 5u);
}

// Several waiters with different filters on one FIFO, fed by two producers:
// each waiter gets exactly the packets it accepts, in the order they were put.
TEST(PacketFifo, ConcurrentWaitersEachGetOnlyWhatTheyAccept)
{
    constexpr int kWaiters = 4;
    constexpr int kPerWaiter = 100;  // 2 producers * 4 * 100 stays below the bound
    constexpr int kProducers = 2;
    Fifo fifo;

    std::vector<std::vector<std::pair<int, int>>> received(kWaiters);
    std::vector<uint8_t> tags(kWaiters);
    std::vector<std::thread> threads;
    for (int w = 0; w < kWaiters; w++) {
        tags[w] = static_cast<uint8_t>(w);
        threads.emplace_back([&, w] {
            for (int n = 0; n < kProducers * kPerWaiter; n++) {
                aPacket* packet = aPacketFifo_AwaitFirst(fifo.id, AcceptTag, &tags[w], 10000);
                if (!packet)
                    return;
                received[w].push_back({packet->data[0], packet->data[1] | packet->data[2] << 8});
                aPacket_Destroy(&packet);
            }
        });
    }
    for (int p = 0; p < kProducers; p++) {
        threads.emplace_back([&, p] {
            for (int n = 0; n < kPerWaiter; n++) {
                for (int w = 0; w < kWaiters; w++) {
                    // data: tag, sequence, producer
                    uint8_t data[] = {uint8_t(w), uint8_t(n), uint8_t(p)};
                    aPacket* packet = aPacket_CreateWithData(2, sizeof(data), data);
                    EXPECT_EQ(aPacketFifo_Put(fifo.id, packet), aErrNone);
                    aPacket_Destroy(&packet);
                }
            }
        });
    }
    for (std::thread& thread : threads)
        thread.join();

    for (int w = 0; w < kWaiters; w++) {
        SCOPED_TRACE(w);
        ASSERT_EQ(received[w].size(), size_t(kProducers * kPerWaiter));
        std::vector<int> nextSequence(kProducers, 0);
        for (const auto& item : received[w]) {
            EXPECT_EQ(item.first, w);
            int sequence = item.second & 0xFF;
            int producer = item.second >> 8;
            ASSERT_LT(producer, kProducers);
            EXPECT_EQ(sequence, nextSequence[producer]++);
        }
    }
    EXPECT_EQ(aPacketFifo_GetLength(fifo.id), 0u);
}

// Destroying a FIFO wakes the threads blocked on it; they return null at once
// instead of waiting for their deadline.
TEST(PacketFifo, DestroyWakesBlockedWaiters)
{
    Fifo fifo;
    CountingFilter filter;
    filter.acceptTag = 9;
    Put(fifo.id, 1);
    const aPacketFifoId id = fifo.id;
    auto start = std::chrono::steady_clock::now();
    std::thread awaitFirst([id, &filter] {
        EXPECT_EQ(aPacketFifo_AwaitFirst(id, CountingFilter::Filter, &filter, 30000), nullptr);
    });
    // Once the filter has seen the queued packet, the waiter is blocked.
    EXPECT_TRUE(filter.WaitForCalls(1));
    EXPECT_EQ(Take(aPacketFifo_Get(fifo.id)), std::make_pair(1, 0));

    std::thread await([id] { EXPECT_EQ(aPacketFifo_Await(id, 30000), nullptr); });
    // A plain waiter gives no sign that it blocked; this pause lets it block
    // (the outcome is the same if it has not: the identifier is gone).
    std::this_thread::sleep_for(std::chrono::milliseconds(20));

    EXPECT_EQ(aPacketFifo_Destroy(&fifo.id), aErrNone);
    EXPECT_EQ(fifo.id, 0u);
    awaitFirst.join();
    await.join();
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(10));
    EXPECT_EQ(filter.Calls(), 1);
    aPacketFifoId again = id;
    EXPECT_EQ(aPacketFifo_Destroy(&again), aErrNotFound);
}

}  // namespace
