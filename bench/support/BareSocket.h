#ifndef QUORVEL_BENCH_BARESOCKET_H
#define QUORVEL_BENCH_BARESOCKET_H

// A plain blocking TCP connection speaking frames, as a client without the
// library would: the floor the benchmarks compare the link against.

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <stdexcept>

class BareSocket {
public:
    // host: dotted IPv4 text. The reply is the frame of replySize bytes whose
    // command byte is the request's; other frames (heartbeats) are skipped.
    BareSocket(const char* host, uint16_t port, const uint8_t* request, size_t requestSize, size_t replySize)
        : request_(request), requestSize_(requestSize), replySize_(replySize)
    {
        fd_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in address = {};
        address.sin_family = AF_INET;
        address.sin_port = htons(port);
        int on = 1;
        if (fd_ < 0 || inet_pton(AF_INET, host, &address.sin_addr) != 1 ||
            connect(fd_, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
            setsockopt(fd_, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on) != 0) {
            if (fd_ >= 0)
                close(fd_);
            throw std::runtime_error("cannot connect to the virtual module");
        }
    }
    ~BareSocket() { close(fd_); }
    BareSocket(const BareSocket&) = delete;
    BareSocket& operator=(const BareSocket&) = delete;

    // Sends the request and reads frames until the reply.
    void Exchange()
    {
        if (send(fd_, request_, requestSize_, MSG_NOSIGNAL) != static_cast<ssize_t>(requestSize_))
            throw std::runtime_error("send failed");
        for (;;) {
            uint8_t frame[2 + 28];
            Fill(frame, 2);
            Fill(frame + 2, frame[1]);
            if (frame[1] + 2u == replySize_ && frame[2] == request_[2])
                return;
        }
    }

private:
    void Fill(uint8_t* into, size_t count)
    {
        for (size_t got = 0; got < count;) {
            ssize_t n = recv(fd_, into + got, count - got, 0);
            if (n <= 0)
                throw std::runtime_error("the module closed the connection");
            got += static_cast<size_t>(n);
        }
    }

    const uint8_t* request_;
    size_t requestSize_;
    size_t replySize_;
    int fd_ = -1;
};

#endif
