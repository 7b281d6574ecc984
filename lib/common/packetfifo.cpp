#include "packetfifo.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <map>
#include <memory>
#include <mutex>

namespace {

struct aPacketDeleter {
    void operator()(aPacket* packet) const { aPacket_Destroy(&packet); }
};
typedef std::unique_ptr<aPacket, aPacketDeleter> OwnedPacket;

struct SerialPacket {
    int64_t id;           // sequence number within its queue
    OwnedPacket packet;   // the queue's private copy
};

typedef std::deque<SerialPacket> PacketQueue;

struct packetFifo {
    PacketQueue queue;                  // oldest first, ids strictly increasing
    std::condition_variable condition;  // a packet was added, or the queue destroyed
    std::mutex lock;                    // guards queue and window
    std::atomic<bool> alive{true};
    // The window lets a waiter tell packets it already examined from new ones:
    // windowStart is the id of the front packet, or nextId when empty.
    std::atomic<int64_t> windowStart{0};
    std::atomic<int64_t> nextId{0};
    // Threads blocked on condition (guarded by lock): a put with nobody
    // waiting skips the wake-up.
    int waiters = 0;

    void syncWindow() { windowStart = queue.empty() ? nextId.load() : queue.front().id; }

    void clearAndSyncWindow()
    {
        queue.clear();
        windowStart = nextId.load();
    }

    void eraseAndSyncWindow(PacketQueue::iterator element)
    {
        queue.erase(element);
        syncWindow();
    }

    void eraseAndSyncWindow(PacketQueue::iterator first, PacketQueue::iterator last)
    {
        queue.erase(first, last);
        syncWindow();
    }
};

typedef std::shared_ptr<packetFifo> FifoRef;
typedef std::map<aPacketFifoId, FifoRef> FifoDictionary;

std::atomic<aPacketFifoId> gpSequentialId{1};
std::mutex gpPacketFifoDictionaryMutex;

// Never destroyed: threads still running at exit may look queues up.
FifoDictionary& sDictionary()
{
    static FifoDictionary* gpPacketFifoDictionary = new FifoDictionary;
    return *gpPacketFifoDictionary;
}

typedef std::chrono::steady_clock Clock;

Clock::time_point sDeadline(uint32_t timeoutMS)
{
    return Clock::now() + std::chrono::milliseconds(timeoutMS);
}

FifoRef sGetFifo(aPacketFifoId id)
{
    std::lock_guard<std::mutex> hold(gpPacketFifoDictionaryMutex);
    FifoDictionary& dictionary = sDictionary();
    FifoDictionary::iterator found = dictionary.find(id);
    return found == dictionary.end() ? FifoRef() : found->second;
}

FifoRef sExtractFifo(aPacketFifoId id)
{
    std::lock_guard<std::mutex> hold(gpPacketFifoDictionaryMutex);
    FifoDictionary& dictionary = sDictionary();
    FifoDictionary::iterator found = dictionary.find(id);
    if (found == dictionary.end())
        return FifoRef();
    FifoRef fifo = std::move(found->second);
    dictionary.erase(found);
    return fifo;
}

// Hands out the element's packet and erases the element. The queue's own
// copy goes to the caller: nobody else can reach it once it leaves the
// queue, so a second copy would only cost an allocation. Called with the
// queue's lock held.
aPacket* _stealPacketFromFifo(packetFifo& fifo, PacketQueue::iterator element)
{
    aPacket* packet = element->packet.release();
    fifo.eraseAndSyncWindow(element);
    return packet;
}

// Waits on the queue's condition until the predicate holds or the deadline
// passes; counts the waiter so that puts know whether to wake anyone.
template <typename Predicate>
bool sWaitUntil(packetFifo& fifo, std::unique_lock<std::mutex>& hold, Clock::time_point deadline,
                Predicate predicate)
{
    while (!predicate()) {
        fifo.waiters++;
        std::cv_status status = fifo.condition.wait_until(hold, deadline);
        fifo.waiters--;
        if (status == std::cv_status::timeout)
            return predicate();
    }
    return true;
}

// Waits until the queue holds a packet or is destroyed; false on time-out.
bool _waitUntilNotEmpty(packetFifo& fifo, std::unique_lock<std::mutex>& hold,
                        Clock::time_point deadline)
{
    return sWaitUntil(fifo, hold, deadline, [&fifo] { return !fifo.queue.empty() || !fifo.alive; });
}

// Waits until the filter accepts a packet or the queue is destroyed; returns
// the accepted element, or the queue's end on time-out or destruction. Only
// packets newer than the last one examined are offered, so a wake-up costs the
// new packets, not the whole queue.
PacketQueue::iterator _waitUntilProcIsSatisfied(packetFifo& fifo,
                                                std::unique_lock<std::mutex>& hold,
                                                Clock::time_point deadline,
                                                aPacketFilter filter, void* reference)
{
    PacketQueue& queue = fifo.queue;
    int64_t lastExamined = fifo.windowStart - 1;
    bool found = false;
    PacketQueue::iterator accepted;
    auto satisfied = [&]() {
        PacketQueue::iterator element = std::upper_bound(
            queue.begin(), queue.end(), lastExamined,
            [](int64_t last, const SerialPacket& serial) { return last - serial.id < 0; });
        for (; element != queue.end(); ++element) {
            lastExamined = element->id;
            if (filter(element->packet.get(), reference)) {
                found = true;
                accepted = element;
                return true;
            }
        }
        return !fifo.alive;
    };
    // The lock is held from the last test of the predicate until here, so the
    // accepted iterator is still valid.
    sWaitUntil(fifo, hold, deadline, satisfied);
    return found ? accepted : queue.end();
}

}  // namespace

aPacketFifoId aPacketFifo_Create(void)
{
    try {
        std::lock_guard<std::mutex> hold(gpPacketFifoDictionaryMutex);
        aPacketFifoId id;
        do {
            id = gpSequentialId++;
        } while (id == 0);
        sDictionary().emplace(id, std::make_shared<packetFifo>());
        return id;
    } catch (...) {
        return 0;
    }
}

aErr aPacketFifo_Destroy(aPacketFifoId* id)
{
    if (!id)
        return aErrParam;
    try {
        FifoRef fifo = sExtractFifo(*id);
        if (!fifo)
            return aErrNotFound;
        {
            std::lock_guard<std::mutex> hold(fifo->lock);
            fifo->clearAndSyncWindow();
            fifo->alive = false;
        }
        fifo->condition.notify_all();
        *id = 0;
        return aErrNone;
    } catch (...) {
        return aErrUnknown;
    }
}

size_t aPacketFifo_GetLength(aPacketFifoId id)
{
    FifoRef fifo = sGetFifo(id);
    if (!fifo)
        return 0;
    std::lock_guard<std::mutex> hold(fifo->lock);
    return fifo->queue.size();
}

aErr aPacketFifo_Put(aPacketFifoId id, const aPacket* packet)
{
    FifoRef fifo = sGetFifo(id);
    if (!fifo || !aVALIDPACKET(packet))
        return aErrParam;
    std::unique_lock<std::mutex> hold(fifo->lock);
    // Destroyed between the look-up and here: as if it had not been found.
    if (!fifo->alive)
        return aErrParam;
    int64_t serial = fifo->nextId++;
    OwnedPacket copy(aPacket_Copy(packet));
    if (!copy)
        return aErrParam;
    try {
        fifo->queue.push_back(SerialPacket{serial, std::move(copy)});
    } catch (...) {
        return aErrResource;
    }
    fifo->windowStart = fifo->queue.front().id;
    if (fifo->queue.size() > aPACKETFIFO_CAPACITY) {
        fifo->clearAndSyncWindow();
        return aErrNone;
    }
    bool wake = fifo->waiters > 0;
    hold.unlock();
    if (wake)
        fifo->condition.notify_all();
    return aErrNone;
}

aPacket* aPacketFifo_Get(aPacketFifoId id)
{
    FifoRef fifo = sGetFifo(id);
    if (!fifo)
        return NULL;
    std::lock_guard<std::mutex> hold(fifo->lock);
    if (fifo->queue.empty())
        return NULL;
    return _stealPacketFromFifo(*fifo, fifo->queue.begin());
}

aPacket* aPacketFifo_Await(aPacketFifoId id, uint32_t timeoutMS)
{
    Clock::time_point deadline = sDeadline(timeoutMS);
    FifoRef fifo = sGetFifo(id);
    if (!fifo)
        return NULL;
    std::unique_lock<std::mutex> hold(fifo->lock);
    if (!_waitUntilNotEmpty(*fifo, hold, deadline) || fifo->queue.empty())
        return NULL;
    return _stealPacketFromFifo(*fifo, fifo->queue.begin());
}

aPacket* aPacketFifo_GetFirst(aPacketFifoId id, aPacketFilter filter, void* reference)
{
    if (!filter)
        return NULL;
    FifoRef fifo = sGetFifo(id);
    if (!fifo)
        return NULL;
    std::lock_guard<std::mutex> hold(fifo->lock);
    for (PacketQueue::iterator element = fifo->queue.begin(); element != fifo->queue.end();
         ++element) {
        if (filter(element->packet.get(), reference))
            return _stealPacketFromFifo(*fifo, element);
    }
    return NULL;
}

aPacket* aPacketFifo_AwaitFirst(aPacketFifoId id, aPacketFilter filter, void* reference,
                                uint32_t timeoutMS)
{
    Clock::time_point deadline = sDeadline(timeoutMS);
    if (!filter)
        return NULL;
    FifoRef fifo = sGetFifo(id);
    if (!fifo)
        return NULL;
    std::unique_lock<std::mutex> hold(fifo->lock);
    PacketQueue::iterator accepted =
        _waitUntilProcIsSatisfied(*fifo, hold, deadline, filter, reference);
    if (accepted == fifo->queue.end())
        return NULL;
    return _stealPacketFromFifo(*fifo, accepted);
}

bool aPacketFifo_StartExamining(aPacketFifoId id, int64_t* cursor)
{
    FifoRef fifo = sGetFifo(id);
    if (!fifo || !cursor)
        return false;
    std::lock_guard<std::mutex> hold(fifo->lock);
    *cursor = fifo->windowStart - 1;
    return true;
}

aPacket* aPacketFifo_TakeFirstNew(aPacketFifoId id, aPacketFilter filter, void* reference,
                                  int64_t* cursor)
{
    if (!filter || !cursor)
        return NULL;
    FifoRef fifo = sGetFifo(id);
    if (!fifo)
        return NULL;
    std::lock_guard<std::mutex> hold(fifo->lock);
    PacketQueue& queue = fifo->queue;
    PacketQueue::iterator element = std::upper_bound(
        queue.begin(), queue.end(), *cursor,
        [](int64_t last, const SerialPacket& serial) { return last - serial.id < 0; });
    for (; element != queue.end(); ++element) {
        *cursor = element->id;
        if (filter(element->packet.get(), reference))
            return _stealPacketFromFifo(*fifo, element);
    }
    return NULL;
}

size_t aPacketFifo_DrainPackets(aPacketFifoId id, aPacketFilter filter, void* reference)
{
    if (!filter)
        return 0;
    FifoRef fifo = sGetFifo(id);
    if (!fifo)
        return 0;
    std::lock_guard<std::mutex> hold(fifo->lock);
    size_t before = fifo->queue.size();
    PacketQueue::iterator kept = std::remove_if(
        fifo->queue.begin(), fifo->queue.end(),
        [filter, reference](const SerialPacket& serial) {
            return filter(serial.packet.get(), reference);
        });
    fifo->eraseAndSyncWindow(kept, fifo->queue.end());
    return before - fifo->queue.size();
}
