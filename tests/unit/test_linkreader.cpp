// quorvel-test: threaded
// A caller awaiting a reply on a TCP link reads the stream in the in-pipe's
// place. Against a scripted peer on 127.0.0.1: everything the in-pipe does
// with the bytes still happens while a caller reads, and the in-pipe takes
// over again as soon as the caller leaves.

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <dirent.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "aLink.h"
#include "aLinkManagerInternal.h"
#include "aStreamsocket.h"

namespace {

typedef std::vector<uint8_t> Bytes;
typedef std::chrono::steady_clock Clock;

const Bytes kRouteOn = {0xAF, 0x01, 0x01};
const Bytes kAddressQuery = {0xAD, 0x00};

int Listen(uint16_t* port)
{
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    struct sockaddr_in address = {};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t size = sizeof address;
    if (bind(fd, reinterpret_cast<sockaddr*>(&address), size) != 0 || listen(fd, 4) != 0) {
        close(fd);
        return -1;
    }
    getsockname(fd, reinterpret_cast<sockaddr*>(&address), &size);
    *port = ntohs(address.sin_port);
    return fd;
}

bool AddressIs(const aPacket* packet, void* reference)
{
    return packet->address == *static_cast<const uint8_t*>(reference);
}

bool TakeAddress8(const aPacket* packet, void* reference)
{
    if (packet->address != 8)
        return false;
    ++*static_cast<std::atomic<int>*>(reference);
    return true;
}

class LinkReader : public ::testing::Test {
protected:
    void SetUp() override
    {
        uint16_t port = 0;
        listener_ = Listen(&port);
        ASSERT_GE(listener_, 0);
        aStreamRef stream = NULL;
        ASSERT_EQ(aStream_CreateSocket(htonl(INADDR_LOOPBACK), port, &stream), aErrNone);
        ASSERT_TRUE(aStream_HasGate(stream));
        peer_ = accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC);
        ASSERT_GE(peer_, 0);
        id_ = aLink_Create(stream);
        ASSERT_NE(id_, 0);
        ASSERT_EQ(ReadFrame(), kRouteOn);
    }

    void TearDown() override
    {
        if (id_) {
            EXPECT_EQ(aLink_Destroy(&id_), aErrNone);
        }
        close(peer_);
        close(listener_);
    }

    void Send(const Bytes& bytes)
    {
        ASSERT_EQ(send(peer_, bytes.data(), bytes.size(), MSG_NOSIGNAL), static_cast<ssize_t>(bytes.size()));
    }

    // The next frame the host wrote; empty when none came in time.
    Bytes ReadFrame(int timeoutMs = 5000)
    {
        if (!Fill(2, timeoutMs) || !Fill(2u + buffered_[1], timeoutMs))
            return {};
        Bytes frame(buffered_.begin(), buffered_.begin() + 2 + buffered_[1]);
        buffered_.erase(buffered_.begin(), buffered_.begin() + frame.size());
        return frame;
    }

    // Awaits a packet from the address on another thread, so the test can
    // play the module meanwhile.
    std::thread AwaitFrom(uint8_t address, aPacket** result, int timeoutMs = 5000)
    {
        waiting_ = address;
        return std::thread([this, result, timeoutMs] {
            *result = aLink_AwaitFirst(id_, AddressIs, &waiting_, static_cast<uint32_t>(timeoutMs));
        });
    }

    // After the module closed: writes until the stream has made a new
    // connection, which becomes the peer.
    bool Reconnect()
    {
        aPacket* ping = aPacket_CreateWithData(2, 1, kAddressQuery.data());
        for (int i = 0; i < 10 && ping; i++) {
            aLink_PutPacket(id_, ping);
            struct pollfd pfd = {listener_, POLLIN, 0};
            if (poll(&pfd, 1, 200) == 1) {
                close(peer_);
                peer_ = accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC);
                buffered_.clear();
                break;
            }
        }
        aPacket_Destroy(&ping);
        return peer_ >= 0 && !buffered_.size();
    }

    int32_t id_ = 0;
    int peer_ = -1;

private:
    bool Fill(size_t count, int timeoutMs)
    {
        auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
        while (buffered_.size() < count) {
            auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
            struct pollfd pfd = {peer_, POLLIN, 0};
            if (left <= 0 || poll(&pfd, 1, static_cast<int>(left)) <= 0)
                return false;
            uint8_t chunk[256];
            ssize_t n = recv(peer_, chunk, sizeof chunk, 0);
            if (n <= 0)
                return false;
            buffered_.insert(buffered_.end(), chunk, chunk + n);
        }
        return true;
    }

    int listener_ = -1;
    uint8_t waiting_ = 0;
    Bytes buffered_;
};

// Frames that come while the caller reads are answered, filtered and queued
// as the in-pipe would; the one awaited is handed to the caller.
TEST_F(LinkReader, WhileACallerReadsEveryFrameIsHandledAsByThePipe)
{
    std::atomic<int> taken{0};
    ASSERT_EQ(aLink_InstallUserPacketFilter(id_, TakeAddress8, &taken), aErrNone);
    aPacket* reply = nullptr;
    std::thread caller = AwaitFrom(6, &reply);
    // Sent one by one, so that the caller is waiting in the stream for most.
    Send({0x04, 0x02, 0x00, 0x00});
    EXPECT_EQ(ReadFrame(), (Bytes{0x04, 0x02, 0x00, 0x02}));
    Send({0x08, 0x01, 0x55});
    Send({0x04, 0x01, 0x11});
    Send({0x06, 0x02, 0x03, 0x09});
    caller.join();
    ASSERT_NE(reply, nullptr);
    EXPECT_EQ(reply->address, 6);
    EXPECT_EQ(reply->data[1], 9);
    aPacket_Destroy(&reply);
    EXPECT_EQ(taken.load(), 1);
    aPacket* other = aLink_AwaitPacket(id_, 1000);
    ASSERT_NE(other, nullptr);
    EXPECT_EQ(other->address, 4);
    aPacket_Destroy(&other);
    EXPECT_EQ(aLink_GetPacket(id_), nullptr);
    EXPECT_EQ(aLink_InstallUserPacketFilter(id_, NULL, NULL), aErrNone);
}

// What arrived together with the reply, and what comes after the caller
// left, is still handled: the in-pipe reads again without anyone waiting.
TEST_F(LinkReader, AfterTheCallerLeavesThePipeReadsAgain)
{
    for (int round = 0; round < 3; round++) {
        aPacket* reply = nullptr;
        std::thread caller = AwaitFrom(6, &reply);
        Send({0x06, 0x00, 0x04, 0x02, 0x00, 0x01});
        caller.join();
        ASSERT_NE(reply, nullptr) << "round " << round;
        aPacket_Destroy(&reply);
        EXPECT_EQ(ReadFrame(), (Bytes{0x04, 0x02, 0x00, 0x03})) << "round " << round;
        Send({0x04, 0x02, 0x00, 0x00});
        EXPECT_EQ(ReadFrame(), (Bytes{0x04, 0x02, 0x00, 0x02})) << "round " << round;
    }
    // A caller that timed out leaves the reading to the pipe as well.
    uint8_t nobody = 0x0C;
    EXPECT_EQ(aLink_AwaitFirst(id_, AddressIs, &nobody, 20), nullptr);
    Send({0x04, 0x02, 0x00, 0x00});
    EXPECT_EQ(ReadFrame(), (Bytes{0x04, 0x02, 0x00, 0x02}));
}

// Two callers with different filters: one reads, the other waits on the
// queue; each gets its own reply whatever the order.
TEST_F(LinkReader, TwoCallersEachGetTheirReply)
{
    uint8_t six = 6, ten = 10;
    aPacket* first = nullptr;
    aPacket* second = nullptr;
    std::thread a([&] { first = aLink_AwaitFirst(id_, AddressIs, &six, 5000); });
    std::thread b([&] { second = aLink_AwaitFirst(id_, AddressIs, &ten, 5000); });
    Send({0x0A, 0x00});
    Send({0x06, 0x00});
    a.join();
    b.join();
    ASSERT_NE(first, nullptr);
    ASSERT_NE(second, nullptr);
    EXPECT_EQ(first->address, 6);
    EXPECT_EQ(second->address, 10);
    aPacket_Destroy(&first);
    aPacket_Destroy(&second);
}

// A framing error met by the reading caller starts the handshake and ends
// the await at once; the pipe then brings the link back.
TEST_F(LinkReader, OutOfSyncWhileACallerReadsEndsItsAwait)
{
    aPacket* reply = nullptr;
    auto before = Clock::now();
    std::thread caller = AwaitFrom(6, &reply);
    Send({0x03});
    caller.join();
    EXPECT_EQ(reply, nullptr);
    EXPECT_LT(Clock::now() - before, std::chrono::seconds(4));
    for (int i = 0; i < aLINK_SYNC_QUERIES; i++)
        ASSERT_EQ(ReadFrame(), kAddressQuery) << "query " << i;
    Send({0x04, 0x00, 0x04, 0x00});
    auto deadline = Clock::now() + std::chrono::seconds(5);
    while (aLink_GetStatus(id_) != kLinkRunning && Clock::now() < deadline)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    EXPECT_EQ(aLink_GetStatus(id_), kLinkRunning);
}

// A stop while a caller reads ends the caller's await promptly; the stream
// is no longer read once the stop returned.
TEST_F(LinkReader, StopEndsAReadingCaller)
{
    aPacket* reply = nullptr;
    auto before = Clock::now();
    std::thread caller = AwaitFrom(6, &reply, 10000);
    aLinkRecord* link = aLinkManager_Record(id_);
    // Until the caller reads (the role itself is not probed: a caller that
    // finds it taken awaits the queue instead).
    while (link->readerToken.try_lock()) {
        link->readerToken.unlock();
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    EXPECT_EQ(aLink_Stop(link), aErrNone);
    caller.join();
    EXPECT_EQ(reply, nullptr);
    EXPECT_LT(Clock::now() - before, std::chrono::seconds(2));
    uint8_t six = 6;
    EXPECT_EQ(aLink_AwaitFirst(id_, AddressIs, &six, 10), nullptr);
}

// A module that closes its connection is seen in the loss count, once per
// connection, whether a caller waits for it (and reads meanwhile) or the pipe
// reads; the link itself stays running and connects again on a write.
TEST_F(LinkReader, EachClosedConnectionIsCountedOnceAndEndsALossWait)
{
    uint32_t losses = aLink_GetConnectionLosses(id_);
    EXPECT_EQ(aLink_AwaitConnectionLoss(id_, losses, 50), aErrTimeout);

    aErr waited = aErrUnknown;
    std::thread waiter([&] { waited = aLink_AwaitConnectionLoss(id_, losses, 10000); });
    auto before = Clock::now();
    shutdown(peer_, SHUT_RDWR);
    waiter.join();
    EXPECT_EQ(waited, aErrNone);
    EXPECT_LT(Clock::now() - before, std::chrono::seconds(5));
    EXPECT_EQ(aLink_GetConnectionLosses(id_), losses + 1);
    EXPECT_EQ(aLink_GetStatus(id_), kLinkRunning);
    // The closed socket stays readable; that is not a second loss.
    EXPECT_EQ(aLink_AwaitConnectionLoss(id_, losses + 1, 200), aErrTimeout);

    ASSERT_TRUE(Reconnect());
    shutdown(peer_, SHUT_RDWR);   // with nobody waiting: the pipe counts it
    EXPECT_EQ(aLink_AwaitConnectionLoss(id_, losses + 1, 10000), aErrNone);
    EXPECT_EQ(aLink_GetConnectionLosses(id_), losses + 2);
    EXPECT_EQ(aLink_AwaitConnectionLoss(id_, 0, 10), aErrNone) << "any other count ends it at once";
    int32_t none = 0;
    EXPECT_EQ(aLink_AwaitConnectionLoss(none, 0, 10), aErrParam);
}

// Voluntary context switches of all this process's threads: how often they
// went to sleep, which a thread that polls does every time.
long SleepsOfAllThreads()
{
    long total = 0;
    DIR* tasks = opendir("/proc/self/task");
    if (!tasks)
        return -1;
    while (struct dirent* task = readdir(tasks)) {
        if (task->d_name[0] == '.')
            continue;
        std::ifstream status(std::string("/proc/self/task/") + task->d_name + "/status");
        std::string line;
        while (std::getline(status, line))
            if (line.rfind("voluntary_ctxt_switches:", 0) == 0)
                total += std::stol(line.substr(line.find(':') + 1));
    }
    closedir(tasks);
    return total;
}

// Once the module closed its connection and that was seen, an idle link
// sleeps: the closed socket stays readable, but nobody is woken for it.
TEST_F(LinkReader, AClosedConnectionDoesNotKeepThePipeAwake)
{
    uint32_t losses = aLink_GetConnectionLosses(id_);
    shutdown(peer_, SHUT_RDWR);
    ASSERT_EQ(aLink_AwaitConnectionLoss(id_, losses, 10000), aErrNone);
    // Past the pause after which the pipe opens its gate again.
    std::this_thread::sleep_for(std::chrono::milliseconds(4 * aLINK_GATE_IDLE_MS));
    long before = SleepsOfAllThreads();
    ASSERT_GE(before, 0);
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    // The pipe's own read time-outs come every 100 ms; polling the closed
    // socket would be 50 or more.
    EXPECT_LT(SleepsOfAllThreads() - before, 25);
    EXPECT_EQ(aLink_GetStatus(id_), kLinkRunning);
}

// A peer that went away leaves the caller waiting out its time, not spinning
// and not hanging.
TEST_F(LinkReader, ClosedPeerTimesOut)
{
    close(peer_);
    peer_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);   // closed again in TearDown
    uint8_t six = 6;
    auto before = Clock::now();
    EXPECT_EQ(aLink_AwaitFirst(id_, AddressIs, &six, 300), nullptr);
    auto took = Clock::now() - before;
    EXPECT_GE(took, std::chrono::milliseconds(250));
    EXPECT_LT(took, std::chrono::seconds(2));
}

}  // namespace
