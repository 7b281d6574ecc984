// quorvel-test: threaded
// The TCP socket stream against listeners on 127.0.0.1 in the test itself.

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <string>
#include <thread>

#include "StreamHelpers.h"
#include "aStreamsocket.h"

using testsupport::ReadExactly;
using testsupport::WriteString;

namespace {

using Clock = std::chrono::steady_clock;

const uint32_t kLoopback = htonl(INADDR_LOOPBACK);

// A listening socket on 127.0.0.1; port 0 picks a free one.
int Listen(uint16_t* port, int receiveBuffer = 0)
{
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    int on = 1;
    setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    if (receiveBuffer)   // inherited by accepted connections
        setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &receiveBuffer, sizeof receiveBuffer);
    struct sockaddr_in address = {};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = kLoopback;
    address.sin_port = htons(*port);
    socklen_t size = sizeof address;
    if (bind(fd, reinterpret_cast<sockaddr*>(&address), size) != 0 || listen(fd, 4) != 0) {
        close(fd);
        return -1;
    }
    getsockname(fd, reinterpret_cast<sockaddr*>(&address), &size);
    *port = ntohs(address.sin_port);
    return fd;
}

int Accept(int listener)
{
    struct pollfd pfd = {listener, POLLIN, 0};
    if (poll(&pfd, 1, 5000) != 1)
        return -1;
    return accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
}

// Closes with a reset instead of an orderly end, as a crashing peer does.
void CloseWithReset(int fd)
{
    struct linger reset = {1, 0};
    setsockopt(fd, SOL_SOCKET, SO_LINGER, &reset, sizeof reset);
    close(fd);
}

std::string ReceiveExactly(int fd, size_t length)
{
    std::string bytes;
    char buf[256];
    while (bytes.size() < length) {
        ssize_t n = recv(fd, buf, std::min(sizeof buf, length - bytes.size()), 0);
        if (n <= 0)
            break;
        bytes.append(buf, static_cast<size_t>(n));
    }
    return bytes;
}



class SocketStream : public ::testing::Test {
protected:
    void SetUp() override
    {
        listener = Listen(&port);
        ASSERT_GE(listener, 0);
        ASSERT_EQ(aStream_CreateSocket(kLoopback, port, &stream), aErrNone);
        peer = Accept(listener);
        ASSERT_GE(peer, 0);
    }
    void TearDown() override
    {
        aStream_Destroy(&stream);
        if (peer >= 0)
            close(peer);
        if (listener >= 0)
            close(listener);
    }

    uint16_t port = 0;
    int listener = -1;
    int peer = -1;
    aStreamRef stream = nullptr;
};

TEST(SocketStreamCreate, WithoutAListenerIsAResourceError)
{
    uint16_t port = 0;
    close(Listen(&port));   // a port that was free a moment ago and has no listener now
    aStreamRef stream = reinterpret_cast<aStreamRef>(0x1);
    EXPECT_EQ(aStream_CreateSocket(kLoopback, port, &stream), aErrResource);
    EXPECT_EQ(stream, nullptr);
    EXPECT_EQ(aStream_CreateSocket(kLoopback, port, nullptr), aErrParam);
}

TEST_F(SocketStream, GetAnswersAtOnceAndBytesGoBothWays)
{
    uint8_t byte;
    auto start = Clock::now();
    EXPECT_EQ(aStream_Read(stream, &byte, 1), aErrNotReady);
    EXPECT_LT(Clock::now() - start, std::chrono::milliseconds(50));

    EXPECT_EQ(WriteString(stream, "to-peer"), aErrNone);
    EXPECT_EQ(ReceiveExactly(peer, 7), "to-peer");
    ASSERT_EQ(send(peer, "to-host", 7, 0), 7);
    EXPECT_EQ(ReadExactly(stream, 7), "to-host");
}

TEST_F(SocketStream, ReconnectsWhenThePeerRestarts)
{
    // The peer's service goes down hard and comes back on the same port.
    CloseWithReset(peer);
    close(listener);
    listener = Listen(&port);
    ASSERT_GE(listener, 0);

    uint8_t byte;
    EXPECT_EQ(aStream_Read(stream, &byte, 1), aErrNotReady);   // meets the reset, reconnects
    peer = Accept(listener);
    ASSERT_GE(peer, 0);
    ASSERT_EQ(send(peer, "back", 4, 0), 4);
    EXPECT_EQ(ReadExactly(stream, 4), "back");
    EXPECT_EQ(WriteString(stream, "again"), aErrNone);
    EXPECT_EQ(ReceiveExactly(peer, 5), "again");
}

TEST_F(SocketStream, AWriteThatFindsTheConnectionBrokenReconnectsAndSends)
{
    CloseWithReset(peer);
    peer = -1;
    // The first write may still be taken by the dead connection; within a few
    // the reset is seen and the stream reconnects to the same listener.
    int writes = 0;
    int fresh = -1;
    while (fresh < 0 && writes++ < 5) {
        EXPECT_EQ(WriteString(stream, "x"), aErrNone);
        struct pollfd pfd = {listener, POLLIN, 0};
        if (poll(&pfd, 1, 200) == 1)
            fresh = accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
    }
    ASSERT_GE(fresh, 0);
    peer = fresh;
    EXPECT_EQ(WriteString(stream, "y"), aErrNone);
    std::string got = ReceiveExactly(peer, 2);
    EXPECT_EQ(got.back(), 'y');
}

TEST(SocketStreamFull, AWriteThatCannotGoOutStopsWithAWriteError)
{
    uint16_t port = 0;
    int listener = Listen(&port, 4096);
    aStreamRef stream = nullptr;
    ASSERT_EQ(aStream_CreateSocket(kLoopback, port, &stream), aErrNone);
    int peer = Accept(listener);   // and never reads
    std::string flood(32 * 1024 * 1024, 'f');
    auto start = Clock::now();
    EXPECT_EQ(WriteString(stream, flood), aErrWrite);
    // Retried every 60 ms: from the last progress, nine more rounds.
    EXPECT_GE(Clock::now() - start, std::chrono::milliseconds(9 * aSOCKET_RETRY_DELAY_MS));
    aStream_Destroy(&stream);
    close(peer);
    close(listener);
}

TEST_F(SocketStream, AReaderWaitsWithoutSpinningAndWakesWhenBytesArrive)
{
    testsupport::WaitFigures f =
        testsupport::MeasureStreamWait(stream, [&] { ASSERT_EQ(send(peer, "!", 1, 0), 1); }, 1500);
    EXPECT_EQ(f.idleResult, aErrTimeout);
    EXPECT_GE(f.idleWallMs, 1400);
    EXPECT_LT(f.idleCpuMs, 30);
    EXPECT_EQ(f.wakeResult, aErrNone);
    EXPECT_LT(f.wakeLatencyMs, 50);
    EXPECT_EQ(ReadExactly(stream, 1), "!");
}

TEST_F(SocketStream, WaitDoesNotSpinOnAPeerThatClosedInOrder)
{
    shutdown(peer, SHUT_WR);
    uint8_t byte;
    EXPECT_EQ(aStream_Read(stream, &byte, 1), aErrNotReady);
    double cpu = testsupport::ThreadCpuMs();
    auto start = Clock::now();
    EXPECT_EQ(aStream_Wait(stream, 300), aErrTimeout);
    EXPECT_GE(Clock::now() - start, std::chrono::milliseconds(250));
    EXPECT_LT(testsupport::ThreadCpuMs() - cpu, 30);
}

TEST_F(SocketStream, OneThreadReadsWhileAnotherWrites)
{
    const size_t total = 20000;
    std::thread echo([&] {
        char buf[512];
        size_t moved = 0;
        while (moved < total) {
            ssize_t n = recv(peer, buf, sizeof buf, 0);
            if (n <= 0)
                break;
            send(peer, buf, static_cast<size_t>(n), 0);
            moved += static_cast<size_t>(n);
        }
    });
    std::string sent;
    for (size_t i = 0; i < total; i++)
        sent.push_back(static_cast<char>(i % 253));
    std::string echoed;
    std::thread reader([&] { echoed = ReadExactly(stream, total); });
    for (size_t i = 0; i < total; i += 100)
        ASSERT_EQ(WriteString(stream, sent.substr(i, 100)), aErrNone);
    reader.join();
    echo.join();
    EXPECT_EQ(echoed, sent);
}

}  // namespace
