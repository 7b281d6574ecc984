// quorvel-discovery-probe: sends one TCP/IP module discovery request on one
// interface and prints the replies, for tests of the virtual modules'
// discovery answers. It sends multicast, so it runs only inside the private
// network namespaces of run-in-netns, and refuses to run anywhere else.
//
//   quorvel-discovery-probe --interface IPV4 [--expect N] [--timeout MS]
//
// Prints one line per reply, "reply FROM_IP address A port P serial SSSSSSSS
// model M", and exits 0 when N replies came (without --expect: when the time
// ran out), 1 when fewer came, 2 on bad usage or when not in such a namespace.

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

namespace {

constexpr uint16_t kRequestPort = 9888;
constexpr uint16_t kReplyPort = 9889;
constexpr const char* kGroup = "232.2.2.2";
constexpr size_t kMessageSize = 16;

uint32_t LoadLE(const uint8_t* p, int bytes)
{
    uint32_t value = 0;
    for (int i = bytes - 1; i >= 0; --i)
        value = value << 8 | p[i];
    return value;
}

int Usage(const char* why)
{
    fprintf(stderr, "quorvel-discovery-probe: %s\nusage: quorvel-discovery-probe --interface IPV4 [--expect N] [--timeout MS]\n", why);
    return 2;
}

int Fail(const char* what)
{
    fprintf(stderr, "quorvel-discovery-probe: %s: %s\n", what, strerror(errno));
    return 1;
}

}  // namespace

int main(int argc, char** argv)
{
    std::string interfaceText;
    long expect = -1, timeoutMs = 2000;
    for (int i = 1; i < argc; ++i) {
        std::string arg = argv[i];
        if (i + 1 >= argc)
            return Usage(("missing value for " + arg).c_str());
        const char* value = argv[++i];
        char* end = nullptr;
        if (arg == "--interface")
            interfaceText = value;
        else if (arg == "--expect")
            expect = strtol(value, &end, 10);
        else if (arg == "--timeout")
            timeoutMs = strtol(value, &end, 10);
        else
            return Usage(("unknown option " + arg).c_str());
        if (end && (*end || expect < -1 || timeoutMs < 0))
            return Usage(("bad number for " + arg).c_str());
    }
    const char* privateNamespace = getenv("QUORVEL_NETNS_PRIVATE");
    if (!privateNamespace || strcmp(privateNamespace, "1") != 0)
        return Usage("runs only inside a private network namespace (tools/netns/run-in-netns)");
    struct in_addr interfaceAddress;
    if (inet_pton(AF_INET, interfaceText.c_str(), &interfaceAddress) != 1)
        return Usage("--interface needs an IPv4 address");

    // Listener first, so no reply can arrive before it.
    int listener = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    int on = 1;
    struct sockaddr_in bound = {};
    bound.sin_family = AF_INET;
    bound.sin_port = htons(kReplyPort);
    if (listener < 0 || setsockopt(listener, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on) != 0 ||
        bind(listener, reinterpret_cast<sockaddr*>(&bound), sizeof bound) != 0)
        return Fail("cannot listen for replies");

    int sender = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    struct sockaddr_in group = {};
    group.sin_family = AF_INET;
    group.sin_port = htons(kRequestPort);
    inet_pton(AF_INET, kGroup, &group.sin_addr);
    uint8_t request[kMessageSize] = {1};
    if (sender < 0 || setsockopt(sender, IPPROTO_IP, IP_MULTICAST_IF, &interfaceAddress, sizeof interfaceAddress) != 0 ||
        sendto(sender, request, sizeof request, 0, reinterpret_cast<sockaddr*>(&group), sizeof group) != sizeof request)
        return Fail("cannot send the request");
    close(sender);

    long replies = 0;
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (expect < 0 || replies < expect) {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        struct pollfd pfd = {listener, POLLIN, 0};
        int n = poll(&pfd, 1, left.count() > 0 ? static_cast<int>(left.count()) : 0);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            break;
        uint8_t reply[kMessageSize] = {};
        struct sockaddr_in from = {};
        socklen_t length = sizeof from;
        ssize_t got = recvfrom(listener, reply, sizeof reply, 0, reinterpret_cast<sockaddr*>(&from), &length);
        if (got <= 0)
            continue;
        char fromText[INET_ADDRSTRLEN] = "?";
        inet_ntop(AF_INET, &from.sin_addr, fromText, sizeof fromText);
        printf("reply %s address %u port %u serial %08X model %u\n", fromText, reply[1],
               static_cast<unsigned>(LoadLE(&reply[2], 2)), static_cast<unsigned>(LoadLE(&reply[4], 4)), reply[12]);
        fflush(stdout);
        ++replies;
    }
    close(listener);
    return expect < 0 || replies >= expect ? 0 : 1;
}
