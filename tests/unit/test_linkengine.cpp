// quorvel-test: threaded
// The link I/O engine against a scripted peer: a link made from a stream over
// one end of a socket pair, the test playing the module on the other end.

#include <gtest/gtest.h>

#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "aLink.h"
#include "aLinkManagerInternal.h"

namespace {

typedef std::vector<uint8_t> Bytes;
typedef std::chrono::steady_clock Clock;

const Bytes kRouteOn = {0xAF, 0x01, 0x01};
const Bytes kAddressQuery = {0xAD, 0x00};

// The host's end of the pair as a stream: get never blocks, wait polls.
aErr PairGet(uint8_t* byte, void* reference)
{
    ssize_t n = recv(*static_cast<int*>(reference), byte, 1, MSG_DONTWAIT);
    if (n == 1)
        return aErrNone;
    return n < 0 && (errno == EAGAIN || errno == EINTR) ? aErrNotReady : aErrIO;
}

aErr PairWrite(const uint8_t* data, size_t length, void* reference)
{
    ssize_t n = send(*static_cast<int*>(reference), data, length, MSG_NOSIGNAL);
    return n == static_cast<ssize_t>(length) ? aErrNone : aErrIO;
}

aErr PairPut(const uint8_t* byte, void* reference)
{
    return PairWrite(byte, 1, reference);
}

aErr PairWait(uint32_t timeoutMs, void* reference)
{
    struct pollfd pfd = {*static_cast<int*>(reference), POLLIN, 0};
    return poll(&pfd, 1, static_cast<int>(timeoutMs)) == 0 ? aErrTimeout : aErrNone;
}

aErr PairDelete(void* reference)
{
    int* fd = static_cast<int*>(reference);
    close(*fd);
    delete fd;
    return aErrNone;
}

std::string Hex(const Bytes& bytes)
{
    std::string text;
    char two[4];
    for (uint8_t b : bytes) {
        snprintf(two, sizeof two, "%02X ", b);
        text += two;
    }
    return text;
}

Bytes PacketBytes(const aPacket* packet)
{
    Bytes bytes = {packet->address, packet->length};
    for (uint8_t i = 0; i < packet->length && i < aPACKET_MAX_DATA; i++)
        bytes.push_back(packet->data[i]);
    return bytes;
}

bool WaitForStatus(int32_t id, int32_t status, int timeoutMs = 5000)
{
    auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
    while (aLink_GetStatus(id) != status) {
        if (Clock::now() > deadline)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return true;
}

bool IsHeartbeat(const aPacket* packet, void* reference)
{
    bool heartbeat = packet->length == 2 && packet->data[0] == 0;
    if (heartbeat)
        ++*static_cast<std::atomic<int>*>(reference);
    return heartbeat;
}

bool AddressIs(const aPacket* packet, void* reference)
{
    return packet->address == *static_cast<uint8_t*>(reference);
}

class LinkEngine : public ::testing::Test {
protected:
    void SetUp() override
    {
        int fds[2];
        ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds), 0);
        peer_ = fds[1];
        aStreamRef stream = aStream_Create(PairGet, PairPut, PairWrite, PairDelete, new int(fds[0]));
        ASSERT_NE(stream, nullptr);
        aStream_SetWait(stream, PairWait);
        id_ = aLink_Create(stream);
        ASSERT_NE(id_, 0);
        ASSERT_EQ(aLink_GetStatus(id_), kLinkRunning);
        ASSERT_EQ(ReadFrame(), kRouteOn);
    }

    void TearDown() override
    {
        EXPECT_EQ(aLink_Destroy(&id_), aErrNone);
        if (peer_ >= 0)
            close(peer_);
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

    aPacket* Await(int timeoutMs = 5000) { return aLink_AwaitPacket(id_, timeoutMs); }

    Bytes AwaitBytes()
    {
        aPacket* packet = Await();
        if (!packet)
            return {};
        Bytes bytes = PacketBytes(packet);
        aPacket_Destroy(&packet);
        return bytes;
    }

    void Put(const Bytes& frame)
    {
        aPacket* packet = aPacket_CreateWithData(frame[0], frame[1], frame.data() + 2);
        ASSERT_NE(packet, nullptr);
        EXPECT_EQ(aLink_PutPacket(id_, packet), aErrNone);
        aPacket_Destroy(&packet);
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

    Bytes buffered_;
};

TEST_F(LinkEngine, AssemblesFramesIntoPacketsWhateverTheChunks)
{
    Bytes full(30, 0x5A);
    full[0] = 0x08;
    full[1] = 28;
    const struct {
        std::vector<Bytes> chunks;
        std::vector<Bytes> packets;
    } cases[] = {
        {{{0x04, 0x03, 0x01, 0x02, 0x03}}, {{0x04, 0x03, 0x01, 0x02, 0x03}}},
        {{{0x04}, {0x03, 0x01}, {0x02, 0x03}}, {{0x04, 0x03, 0x01, 0x02, 0x03}}},
        {{{0x04, 0x00}}, {{0x04, 0x00}}},
        {{{0x04, 0x00, 0x06, 0x01, 0x09, 0x04, 0x00}}, {{0x04, 0x00}, {0x06, 0x01, 0x09}, {0x04, 0x00}}},
        {{full}, {full}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(Hex(c.chunks[0]));
        for (const Bytes& chunk : c.chunks)
            Send(chunk);
        for (const Bytes& expected : c.packets)
            EXPECT_EQ(Hex(AwaitBytes()), Hex(expected));
        EXPECT_EQ(aLink_GetPacket(id_), nullptr);
    }
    EXPECT_EQ(aLink_GetStatus(id_), kLinkRunning);
}

TEST_F(LinkEngine, AnswersHeartbeatsWithoutQueueingThem)
{
    const struct {
        Bytes heartbeat;
        Bytes answer;
    } cases[] = {
        {{0x04, 0x02, 0x00, 0x00}, {0x04, 0x02, 0x00, 0x02}},
        {{0x04, 0x02, 0x00, 0x01}, {0x04, 0x02, 0x00, 0x03}},
        {{0x06, 0x02, 0x00, 0xFF}, {0x06, 0x02, 0x00, 0x01}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(Hex(c.heartbeat));
        Send(c.heartbeat);
        EXPECT_EQ(Hex(ReadFrame()), Hex(c.answer));
    }
    // Length 2 with another command is an ordinary packet, and nothing else was queued.
    Send({0x04, 0x02, 0x05, 0x00});
    EXPECT_EQ(Hex(AwaitBytes()), Hex({0x04, 0x02, 0x05, 0x00}));
    EXPECT_EQ(aLink_GetPacket(id_), nullptr);
}

TEST_F(LinkEngine, UserFilterTakesPacketsBeforeTheyAreAnsweredOrQueued)
{
    std::atomic<int> taken{0};
    ASSERT_EQ(aLink_InstallUserPacketFilter(id_, IsHeartbeat, &taken), aErrNone);
    Send({0x04, 0x02, 0x00, 0x00, 0x04, 0x01, 0x55});
    EXPECT_EQ(Hex(AwaitBytes()), Hex({0x04, 0x01, 0x55}));
    EXPECT_EQ(taken.load(), 1);
    // An answer would have been queued before the packet above was; the
    // probe put now must be the next frame out.
    Put({0x04, 0x01, 0x77});
    EXPECT_EQ(Hex(ReadFrame()), Hex({0x04, 0x01, 0x77}));

    ASSERT_EQ(aLink_InstallUserPacketFilter(id_, nullptr, nullptr), aErrNone);
    Send({0x04, 0x02, 0x00, 0x01});
    EXPECT_EQ(Hex(ReadFrame()), Hex({0x04, 0x02, 0x00, 0x03}));
    EXPECT_EQ(taken.load(), 1);
}

TEST_F(LinkEngine, OddFirstByteResynchronisesByTheAddressQuery)
{
    Send({0x03});
    for (int i = 0; i < 6; i++)
        ASSERT_EQ(Hex(ReadFrame()), Hex(kAddressQuery)) << "query " << i;
    EXPECT_EQ(aLink_GetStatus(id_), kLinkSyncing);

    uint8_t anyAddress = 4;
    auto before = Clock::now();
    EXPECT_EQ(aLink_AwaitFirst(id_, AddressIs, &anyAddress, 5000), nullptr);
    EXPECT_LT(Clock::now() - before, std::chrono::milliseconds(1000));

    // Two answers from different addresses are no proof: a new burst follows.
    Send({0x04, 0x00, 0x06, 0x00});
    for (int i = 0; i < 6; i++)
        ASSERT_EQ(Hex(ReadFrame()), Hex(kAddressQuery)) << "query " << i;
    EXPECT_EQ(aLink_GetStatus(id_), kLinkSyncing);

    Send({0x04, 0x00, 0x04, 0x00});
    ASSERT_TRUE(WaitForStatus(id_, kLinkRunning));
    Send({0x04, 0x01, 0x09});
    aPacket* packet = aLink_AwaitFirst(id_, AddressIs, &anyAddress, 5000);
    ASSERT_NE(packet, nullptr);
    EXPECT_EQ(Hex(PacketBytes(packet)), Hex({0x04, 0x01, 0x09}));
    aPacket_Destroy(&packet);
}

TEST_F(LinkEngine, FailedReadShowsAsIOErrorAndStopsAwaits)
{
    close(peer_);
    peer_ = -1;
    ASSERT_TRUE(WaitForStatus(id_, kLinkIOError));
    uint8_t anyAddress = 4;
    auto before = Clock::now();
    EXPECT_EQ(aLink_AwaitFirst(id_, AddressIs, &anyAddress, 5000), nullptr);
    EXPECT_LT(Clock::now() - before, std::chrono::milliseconds(1000));
}

TEST_F(LinkEngine, StopWritesWhatWasQueuedThenRouteOff)
{
    for (uint8_t i = 1; i <= 3; i++)
        Put({0x04, 0x01, i});
    EXPECT_EQ(aLink_Stop(aLinkManager_Record(id_)), aErrNone);
    EXPECT_EQ(aLink_GetStatus(id_), kLinkStopped);
    for (uint8_t i = 1; i <= 3; i++)
        EXPECT_EQ(Hex(ReadFrame()), Hex({0x04, 0x01, i}));
    EXPECT_EQ(Hex(ReadFrame()), Hex({0xAF, 0x01, 0x00}));
    // Stopping again sends nothing more.
    EXPECT_EQ(aLink_Stop(aLinkManager_Record(id_)), aErrNone);
    EXPECT_EQ(ReadFrame(200), Bytes());
}

TEST_F(LinkEngine, PacketLogRecordsBothDirections)
{
    uint8_t direction = 0;
    uint8_t buffer[aPACKETLOG_MAX_RECORD];
    uint32_t length = sizeof buffer;
    EXPECT_EQ(aLink_PacketDebug_Read(id_, &direction, &length, buffer), aErrNotReady);
    EXPECT_EQ(aLink_PacketDebug_Disable(id_), aErrNotReady);
    EXPECT_EQ(aLink_PacketDebug_SetLogSize(id_, aLINK_MAX_LOG_SIZE + 1), aErrParam);
    EXPECT_EQ(aLink_PacketDebug_SetLogSize(id_, 1024), aErrNone);
    ASSERT_EQ(aLink_PacketDebug_Enable(id_), aErrNone);
    EXPECT_EQ(aLink_PacketDebug_SetLogSize(id_, 2048), aErrBusy);

    Put({0x04, 0x01, 0x08});
    ASSERT_EQ(Hex(ReadFrame()), Hex({0x04, 0x01, 0x08}));
    Send({0x04, 0x01, 0x07});
    ASSERT_EQ(Hex(AwaitBytes()), Hex({0x04, 0x01, 0x07}));

    // The out-pipe records a frame just after writing it: allow it a moment.
    std::vector<std::pair<uint8_t, Bytes>> records;
    auto deadline = Clock::now() + std::chrono::seconds(5);
    while (records.size() < 2 && Clock::now() < deadline) {
        length = sizeof buffer;
        // The route-on frame of the start may be recorded late, after the
        // peer already read it; it is not what this test looks at.
        if (aLink_PacketDebug_Read(id_, &direction, &length, buffer) == aErrNone) {
            if (length > 0 && buffer[0] == aPACKET_ADDR_ROUTE)
                continue;
            records.emplace_back(direction, Bytes(buffer, buffer + length));
        }
        else
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    ASSERT_EQ(records.size(), 2u);
    if (records[0].first != aPACKETLOG_SENT)
        std::swap(records[0], records[1]);
    EXPECT_EQ(records[0].first, aPACKETLOG_SENT);
    EXPECT_EQ(Hex(records[0].second), Hex({0x04, 0x01, 0x08}));
    EXPECT_EQ(records[1].first, aPACKETLOG_RECEIVED);
    EXPECT_EQ(Hex(records[1].second), Hex({0x04, 0x01, 0x07}));

    // Text written by the application, and a buffer too small for it.
    const uint8_t text[] = {'h', 'i', '!'};
    EXPECT_EQ(aLink_PacketDebug_Write(id_, aPACKETLOG_TEXT, sizeof text, text), aErrNone);
    length = 2;
    EXPECT_EQ(aLink_PacketDebug_Read(id_, &direction, &length, buffer), aErrOverrun);
    length = sizeof buffer;
    EXPECT_EQ(aLink_PacketDebug_Read(id_, &direction, &length, buffer), aErrNone);
    EXPECT_EQ(direction, aPACKETLOG_TEXT);
    EXPECT_EQ(length, sizeof text);

    // Disabled: frames pass unrecorded, the ring stays readable.
    EXPECT_EQ(aLink_PacketDebug_Disable(id_), aErrNone);
    Send({0x04, 0x01, 0x06});
    ASSERT_EQ(Hex(AwaitBytes()), Hex({0x04, 0x01, 0x06}));
    length = sizeof buffer;
    EXPECT_EQ(aLink_PacketDebug_Read(id_, &direction, &length, buffer), aErrNotFound);
}

TEST_F(LinkEngine, PutRefusesAddressZero)
{
    aPacket* packet = aPacket_CreateWithData(0x00, 0, kAddressQuery.data());
    EXPECT_EQ(aLink_PutPacket(id_, packet), aErrPacket);
    aPacket_Destroy(&packet);
}

}  // namespace
