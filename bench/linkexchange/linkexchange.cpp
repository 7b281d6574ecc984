// What a started link costs.
//
// (a) One request/reply exchange with the virtual module over TCP on
//     loopback through a link (put the request, await the reply with a
//     filter), against a bare socket ping-pong of the same frames to the same
//     module, measured side by side in rounds of the same run.
// (b) An idle started link (TCP, and serial on a pseudo-terminal): process
//     CPU time as a share of wall time.
//
// Usage: bench_linkexchange [--rounds N] [--count N] [--idle SECONDS]

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <pty.h>
#include <sys/resource.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "BareSocket.h"
#include "aLink.h"

namespace {

typedef std::chrono::steady_clock Clock;

const uint8_t kModuleAddress = 2;
// System entity, get option 9 (serial number), index 0 from a host.
const uint8_t kRequest[] = {kModuleAddress, 3, 3, 0x40 | 9, 0x20};
const size_t kReplySize = 9;   // address, length, command, option, index, 4 value bytes
const double kRatioTarget = 1.5;
const double kIdleTargetPercent = 1.0;

// The virtual module program, stopped with SIGTERM when this goes.
class VirtualModule {
public:
    VirtualModule()
    {
        int out[2];
        if (pipe(out) != 0)
            throw std::runtime_error("pipe failed");
        pid_ = fork();
        if (pid_ < 0)
            throw std::runtime_error("fork failed");
        if (pid_ == 0) {
            dup2(out[1], STDOUT_FILENO);
            close(out[0]);
            close(out[1]);
            execl(QUORVEL_VMODULE_BIN, QUORVEL_VMODULE_BIN, "--serial", "40F5849A", "--heartbeat", "1000",
                  static_cast<char*>(nullptr));
            _exit(127);
        }
        close(out[1]);
        FILE* lines = fdopen(out[0], "r");
        char line[256];
        while (lines && fgets(line, sizeof line, lines)) {
            if (const char* at = strstr(line, " tcp 127.0.0.1:"))
                port_ = static_cast<uint16_t>(atoi(at + strlen(" tcp 127.0.0.1:")));
            if (strncmp(line, "ready", 5) == 0)
                break;
        }
        if (lines)
            fclose(lines);
        if (port_ == 0)
            throw std::runtime_error("the virtual module program did not get ready");
    }
    ~VirtualModule()
    {
        kill(pid_, SIGTERM);
        waitpid(pid_, nullptr, 0);
    }
    VirtualModule(const VirtualModule&) = delete;
    VirtualModule& operator=(const VirtualModule&) = delete;

    uint16_t port() const { return port_; }

private:
    pid_t pid_ = -1;
    uint16_t port_ = 0;
};

bool IsSerialReply(const aPacket* packet, void*)
{
    return packet->address == kModuleAddress && packet->length + 2u == kReplySize && packet->data[0] == 3 &&
           packet->data[1] == 9;
}

// A link id released on scope exit.
class LinkHolder {
public:
    explicit LinkHolder(int32_t id) : id_(id)
    {
        if (!id_)
            throw std::runtime_error("cannot create the link");
    }
    ~LinkHolder() { aLink_Destroy(&id_); }
    LinkHolder(const LinkHolder&) = delete;
    LinkHolder& operator=(const LinkHolder&) = delete;
    int32_t id() const { return id_; }

    void Exchange()
    {
        aPacket* request = aPacket_CreateWithData(kRequest[0], kRequest[1], kRequest + 2);
        aErr err = aLink_PutPacket(id_, request);
        aPacket_Destroy(&request);
        aPacket* reply = err == aErrNone ? aLink_AwaitFirst(id_, IsSerialReply, nullptr, 1000) : nullptr;
        if (!reply)
            throw std::runtime_error("no reply through the link");
        aPacket_Destroy(&reply);
    }

private:
    int32_t id_;
};

// Context switches of this process (all its threads) so far.
long ContextSwitches()
{
    rusage usage;
    getrusage(RUSAGE_SELF, &usage);
    return usage.ru_nvcsw + usage.ru_nivcsw;
}

struct Round {
    double micros = 0;     // mean wall time per exchange
    double switches = 0;   // context switches of this process per exchange
};

template <typename Exchange>
Round Measure(int count, Exchange exchange)
{
    long switches = ContextSwitches();
    auto start = Clock::now();
    for (int i = 0; i < count; i++)
        exchange();
    Round round;
    round.micros = std::chrono::duration<double, std::micro>(Clock::now() - start).count() / count;
    round.switches = static_cast<double>(ContextSwitches() - switches) / count;
    return round;
}

double Median(std::vector<double> values)
{
    std::sort(values.begin(), values.end());
    size_t n = values.size();
    return n % 2 ? values[n / 2] : (values[n / 2 - 1] + values[n / 2]) / 2;
}

double ProcessCpuSeconds()
{
    timespec now;
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &now);
    return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) / 1e9;
}

// CPU time of this process as a percentage of the wall time while idle.
double IdlePercent(double seconds)
{
    double cpu = ProcessCpuSeconds();
    auto start = Clock::now();
    std::this_thread::sleep_for(std::chrono::duration<double>(seconds));
    double wall = std::chrono::duration<double>(Clock::now() - start).count();
    return 100.0 * (ProcessCpuSeconds() - cpu) / wall;
}

void RunExchange(const VirtualModule& module, int rounds, int count)
{
    BareSocket bare("127.0.0.1", module.port(), kRequest, sizeof kRequest, kReplySize);
    LinkHolder link(aLink_CreateTCPIP(htonl(INADDR_LOOPBACK), module.port()));
    // Warm both paths up (connections, caches, the module's first replies).
    Measure(count / 10 + 1, [&] { bare.Exchange(); });
    Measure(count / 10 + 1, [&] { link.Exchange(); });

    std::vector<Round> bareRounds, linkRounds;
    for (int r = 0; r < rounds; r++) {
        bareRounds.push_back(Measure(count, [&] { bare.Exchange(); }));
        linkRounds.push_back(Measure(count, [&] { link.Exchange(); }));
    }
    auto median = [](const std::vector<Round>& all, double Round::*field) {
        std::vector<double> values;
        for (const Round& r : all)
            values.push_back(r.*field);
        return Median(values);
    };
    double bareUs = median(bareRounds, &Round::micros);
    double linkUs = median(linkRounds, &Round::micros);
    printf("(a) request/reply with the virtual module over TCP on 127.0.0.1\n");
    printf("    request %zu bytes, reply %zu bytes; %d rounds of %d exchanges, median of the round means\n",
           sizeof kRequest, kReplySize, rounds, count);
    printf("    bare socket ping-pong   %8.1f us per exchange  (%.1f context switches of this process)\n", bareUs,
           median(bareRounds, &Round::switches));
    printf("    through a started link  %8.1f us per exchange  (%.1f context switches of this process)\n", linkUs,
           median(linkRounds, &Round::switches));
    printf("    ratio link / bare       %8.2f    (target <= %.1f)\n", linkUs / bareUs, kRatioTarget);
    for (int r = 0; r < rounds; r++)
        printf("      round %d: bare %.1f us, link %.1f us\n", r + 1, bareRounds[r].micros, linkRounds[r].micros);
}

void RunIdle(const VirtualModule& module, double seconds)
{
    printf("(b) idle started link, %.1f s each: process CPU time as %% of wall time (target < %.0f %%)\n", seconds,
           kIdleTargetPercent);
    {
        LinkHolder link(aLink_CreateTCPIP(htonl(INADDR_LOOPBACK), module.port()));
        printf("    TCP (module heartbeat every 1 s)  %6.3f %%\n", IdlePercent(seconds));
    }
    int master = -1, slave = -1;
    char path[256];
    if (openpty(&master, &slave, path, nullptr, nullptr) != 0)
        throw std::runtime_error("openpty failed");
    {
        LinkHolder link(aLink_CreateSerial(0x5E51A100, path, 115200));
        printf("    serial (pseudo-terminal)          %6.3f %%\n", IdlePercent(seconds));
    }
    close(slave);
    close(master);
}

int ArgValue(int argc, char** argv, const char* name, int fallback)
{
    for (int i = 1; i + 1 < argc; i++)
        if (strcmp(argv[i], name) == 0)
            return atoi(argv[i + 1]);
    return fallback;
}

}  // namespace

int main(int argc, char** argv)
{
    int rounds = std::max(1, ArgValue(argc, argv, "--rounds", 7));
    int count = std::max(1, ArgValue(argc, argv, "--count", 2000));
    int idleSeconds = std::max(1, ArgValue(argc, argv, "--idle", 5));
    try {
        VirtualModule module;
        RunExchange(module, rounds, count);
        RunIdle(module, idleSeconds);
    } catch (const std::exception& e) {
        fprintf(stderr, "bench_linkexchange: %s\n", e.what());
        return 1;
    }
    return 0;
}
