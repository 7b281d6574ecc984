// quorvel-updateserver: serves a firmware tree to Quorvel over HTTP.
// One request per connection, one thread per connection, one log line per
// request on standard error. See README.md for the tree's layout.

#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>
#include <thread>

#include "FirmwareTree.h"
#include "HttpExchange.h"
#include "ServerOptions.h"
#include "UpdateOperations.h"

using namespace updateserver;

namespace {

constexpr int MAX_CONNECTIONS = 64;
constexpr int LISTEN_BACKLOG = 64;

int g_stopPipe[2] = {-1, -1};
std::atomic<int> g_connections{0};

void _on_signal(int)
{
    char byte = 0;
    ssize_t ignored = write(g_stopPipe[1], &byte, 1);
    (void)ignored;
}

std::string _numeric_address(const sockaddr* address, socklen_t length)
{
    char host[NI_MAXHOST], port[NI_MAXSERV];
    if (getnameinfo(address, length, host, sizeof host, port, sizeof port, NI_NUMERICHOST | NI_NUMERICSERV))
        return "?";
    bool v6 = address->sa_family == AF_INET6;
    return (v6 ? "[" : "") + std::string(host) + (v6 ? "]:" : ":") + port;
}

// Control characters and non-ASCII bytes from the client never reach the log raw.
std::string _printable(const std::string& text)
{
    std::string shown = text;
    for (char& c : shown)
        if (static_cast<unsigned char>(c) < 0x20 || static_cast<unsigned char>(c) > 0x7E)
            c = '?';
    return shown;
}

void _log_request(const std::string& peer, const std::string& line, int status, const std::string& operation,
                  const std::string& note)
{
    char stamp[32];
    time_t now = time(nullptr);
    struct tm local;
    localtime_r(&now, &local);
    strftime(stamp, sizeof stamp, "%Y-%m-%d %H:%M:%S", &local);
    fprintf(stderr, "%s %s \"%s\" %d %s %s\n", stamp, peer.c_str(), _printable(line).c_str(), status,
            operation.empty() ? "-" : _printable(operation).c_str(), _printable(note).c_str());
}

// Logs before it answers, so the line is there once the client has the reply.
void _serve_connection(int fd, std::string peer, const UpdateOperations& operations, bool quiet)
{
    HttpRequest request;
    HttpReply reply;
    std::string operation, note;
    int failStatus = 0;
    bool complete = ReadRequest(fd, request, failStatus);
    if (complete) {
        reply = operations.Answer(request, operation, note);
    } else {
        reply = {failStatus, std::string("error: ") + StatusText(failStatus) + "\n"};
        note = failStatus ? StatusText(failStatus) : "closed by peer";
    }
    if (!quiet)
        _log_request(peer, request.line, complete || failStatus ? reply.status : 0, operation, note);
    if (complete || failStatus != 0)
        WriteReply(fd, reply);
    close(fd);
    --g_connections;
}

int _listen(const ServerOptions& options, std::string& bound)
{
    struct addrinfo hints = {};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_flags = AI_PASSIVE | AI_NUMERICSERV;
    struct addrinfo* found = nullptr;
    int rc = getaddrinfo(options.host.c_str(), options.port.c_str(), &hints, &found);
    if (rc != 0) {
        fprintf(stderr, "quorvel-updateserver: %s:%s: %s\n", options.host.c_str(), options.port.c_str(),
                gai_strerror(rc));
        return -1;
    }
    int fd = socket(found->ai_family, found->ai_socktype | SOCK_CLOEXEC, found->ai_protocol);
    int on = 1;
    if (fd < 0 || setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on) != 0 ||
        bind(fd, found->ai_addr, found->ai_addrlen) != 0 || listen(fd, LISTEN_BACKLOG) != 0) {
        fprintf(stderr, "quorvel-updateserver: cannot listen on %s:%s: %s\n", options.host.c_str(),
                options.port.c_str(), strerror(errno));
        freeaddrinfo(found);
        if (fd >= 0)
            close(fd);
        return -1;
    }
    freeaddrinfo(found);
    struct sockaddr_storage address;
    socklen_t length = sizeof address;
    getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length);
    bound = _numeric_address(reinterpret_cast<sockaddr*>(&address), length);
    return fd;
}

// Written whole under a temporary name, so a reader never sees half a port.
bool _write_port_file(const std::string& path, const std::string& bound)
{
    std::string port = bound.substr(bound.rfind(':') + 1);
    std::string temporary = path + ".tmp";
    FILE* f = fopen(temporary.c_str(), "w");
    if (!f)
        return false;
    fprintf(f, "%s\n", port.c_str());
    return fclose(f) == 0 && rename(temporary.c_str(), path.c_str()) == 0;
}

}  // namespace

int main(int argc, char** argv)
{
    for (int i = 1; i < argc; ++i)
        if (!strcmp(argv[i], "--help") || !strcmp(argv[i], "-h")) {
            fputs(Usage(), stdout);
            return 0;
        }
    ServerOptions options;
    std::string error;
    if (!ParseOptions(argc, argv, options, error)) {
        fprintf(stderr, "quorvel-updateserver: %s\n%s", error.c_str(), Usage());
        return 2;
    }

    signal(SIGPIPE, SIG_IGN);
    if (pipe2(g_stopPipe, O_CLOEXEC) != 0)
        return 1;
    struct sigaction action = {};
    action.sa_handler = _on_signal;
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);

    std::string bound;
    int listener = _listen(options, bound);
    if (listener < 0)
        return 1;
    if (!options.portFile.empty() && !_write_port_file(options.portFile, bound)) {
        fprintf(stderr, "quorvel-updateserver: cannot write %s: %s\n", options.portFile.c_str(), strerror(errno));
        return 1;
    }
    printf("listening on %s serving %s\n", bound.c_str(), options.root.c_str());
    fflush(stdout);

    FirmwareTree tree(options.root);
    UpdateOperations operations(tree, options.faults);
    for (;;) {
        struct pollfd fds[2] = {{listener, POLLIN, 0}, {g_stopPipe[0], POLLIN, 0}};
        if (poll(fds, 2, -1) < 0) {
            if (errno == EINTR)
                continue;
            break;
        }
        if (fds[1].revents)
            break;
        struct sockaddr_storage address;
        socklen_t length = sizeof address;
        int fd = accept4(listener, reinterpret_cast<sockaddr*>(&address), &length, SOCK_CLOEXEC);
        if (fd < 0)
            continue;
        std::string peer = _numeric_address(reinterpret_cast<sockaddr*>(&address), length);
        if (g_connections >= MAX_CONNECTIONS) {
            WriteReply(fd, {503, "error: too many connections\n"});
            close(fd);
            continue;
        }
        ++g_connections;
        std::thread(_serve_connection, fd, peer, std::cref(operations), options.quiet).detach();
    }
    close(listener);
    // Not a return: connection threads may still use the tree and operations
    // on main's stack, which exit() leaves in place.
    exit(0);
}
