// A firmware update of 256 KiB into the virtual module over TCP/IP, by the
// real Quorvel binary: its wall time against its floor, the number of
// request/reply exchanges the update is made of times a bare socket round
// trip to the same module measured in the same run; and the Quorvel
// process's peak memory and CPU time. Prints figures; never passes or fails.
//
// The update finds the module by TCP/IP discovery, which sends multicast, so
// the program runs itself again inside a private network namespace
// (tools/netns/run-in-netns) with the virtual module on the test host.
//
// Usage: bench_update [--rounds N] [--kib N]

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <stdexcept>
#include <string>
#include <vector>

#include "BareSocket.h"
#include "BirdWriter.h"
#include "NetnsRun.h"
#include "UsbBus.h"
#include "VModuleProcess.h"
#include "testsupport.h"

namespace {

typedef std::chrono::steady_clock Clock;

const char* const kSerial = "40F5849A";
const uint8_t kModuleAddress = 6;
const char* const kModuleHost = "10.77.0.2";
const uint16_t kModulePort = 4001;
const uint32_t kLoaderAddress = 0x20000000;
const uint32_t kFirmwareAddress = 0x10000;
const size_t kLoaderBytes = 1024;
const size_t kBlockSize = 256;      // what the module grants between two WRITEs
const size_t kChunk = 26;           // payload bytes of one DATA request
const int kBareExchanges = 2000;    // per bare round-trip measurement
const double kRatioTarget = 1.5;
const char* const kInside = "--inside-namespace";

// The system entity's serial-number get: a 5-byte request, a 9-byte reply.
const uint8_t kRequest[] = {kModuleAddress, 3, 3, 0x49, 0x20};
const size_t kReplySize = 9;

size_t Chunks(size_t bytes)
{
    return (bytes + kChunk - 1) / kChunk;
}

// The update's request/reply exchanges: the address query, the serial
// number and model reads, INIT, the loader (PREPARE, its chunks, SUM), LOAD
// answered in place, and per firmware piece its chunks, SUM and WRITE after
// the block's PREPARE. REBOOT has no reply.
size_t Exchanges(size_t firmwareBytes)
{
    size_t count = 1 + 2 + 1 + (1 + Chunks(kLoaderBytes) + 1) + 1 + 1;
    for (size_t left = firmwareBytes; left > 0;) {
        size_t piece = std::min(left, kBlockSize);
        count += Chunks(piece) + 2;
        left -= piece;
    }
    return count;
}

// Microseconds per bare round trip.
double BareRoundTrip()
{
    BareSocket bare(kModuleHost, kModulePort, kRequest, sizeof kRequest, kReplySize);
    for (int i = 0; i < kBareExchanges / 10; ++i)
        bare.Exchange();
    Clock::time_point start = Clock::now();
    for (int i = 0; i < kBareExchanges; ++i)
        bare.Exchange();
    return std::chrono::duration<double, std::micro>(Clock::now() - start).count() / kBareExchanges;
}

struct Run {
    double wallMs = 0;
    double connectedMs = 0;   // from the start to the module's identity check
    double transferMs = 0;    // from the first loader line to the last block's
    double cpuMs = 0;         // user + system
    long maxRssKiB = 0;
};

double MsSince(Clock::time_point start)
{
    return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
}

// One Quorvel -U run; its lines are read as they come (its output is not
// buffered) to time the phases. Throws unless the update succeeded.
Run UpdateOnce(const std::string& image, const std::string& storage, const std::string& bus)
{
    std::string preload = "LD_PRELOAD=" + testsupport::UsbBusPreload();
    std::string busDir = std::string("QUORVEL_USBBUS_DIR=") + bus;
    // -X 1: the engine's few phase lines, none per exchange.
    std::vector<std::string> args = {QUORVEL_BIN, "-X", "1", "-i", storage, "-u", "http://127.0.0.1:1/cgi/u",
                                     "-U", "-d", kSerial, "-f", image};
    int out[2];
    if (pipe2(out, O_CLOEXEC) != 0)
        throw std::runtime_error("cannot make a pipe");
    Clock::time_point start = Clock::now();
    pid_t pid = fork();
    if (pid == 0) {
        dup2(out[1], 1);
        dup2(out[1], 2);
        // The empty virtual USB bus: the USB half of the look-up finds nothing
        // without depending on this machine's USB.
        putenv(const_cast<char*>(preload.c_str()));
        putenv(const_cast<char*>(busDir.c_str()));
        std::vector<char*> argv;
        for (auto& a : args)
            argv.push_back(const_cast<char*>(a.c_str()));
        argv.push_back(nullptr);
        execv(argv[0], argv.data());
        _exit(127);
    }
    close(out[1]);
    Run run;
    std::string text, line;
    double transferStart = 0;
    char c;
    while (read(out[0], &c, 1) == 1) {
        text += c;
        if (c != '\n') {
            line += c;
            continue;
        }
        double at = MsSince(start);
        if (line == "UpdateFirmware() Connecting to device")
            run.connectedMs = at;
        else if (line == "Transferring loader to device")
            transferStart = at;
        else if (line.rfind("Transferred ", 0) == 0)
            run.transferMs = at - transferStart;
        line.clear();
    }
    close(out[0]);
    int status = 0;
    struct rusage usage = {};
    if (pid < 0 || wait4(pid, &status, 0, &usage) != pid)
        throw std::runtime_error("cannot run Quorvel");
    run.wallMs = MsSince(start);
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0 || text.find("Update time: ") == std::string::npos)
        throw std::runtime_error("the update failed:\n" + text);
    run.cpuMs = (usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) * 1000.0 +
                (usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1000.0;
    run.maxRssKiB = usage.ru_maxrss;
    return run;
}

double Median(std::vector<double> values)
{
    std::sort(values.begin(), values.end());
    size_t n = values.size();
    return n % 2 ? values[n / 2] : (values[n / 2 - 1] + values[n / 2]) / 2;
}

int Inside(int rounds, size_t kib)
{
    testsupport::TempDir dir;
    std::string image = dir.file("bench.bird");
    std::string error;
    size_t firmwareBytes = kib * 1024;
    birdwriter::Image bird;
    bird.Loader(kLoaderAddress, birdwriter::Pattern(kLoaderBytes, 1))
        .Firmware(kFirmwareAddress, birdwriter::Pattern(firmwareBytes, 2))
        .Info(42, "2.17.0", 0x40F5849A, "Cindrel");
    if (!bird.Write(image, &error)) {
        fprintf(stderr, "bench_update: %s\n", error.c_str());
        return 1;
    }
    std::string bus = dir.file("bus");
    mkdir(bus.c_str(), 0755);

    size_t exchanges = Exchanges(firmwareBytes);
    // The transfer phase is all of them but the address query, the identity
    // reads and INIT.
    size_t transferExchanges = exchanges - 4;
    std::vector<double> bare, wall, connected, transfer, cpu, ratio, transferRatio;
    long maxRss = 0;
    for (int r = 0; r < rounds; ++r) {
        // The round trip right before and right after, so that each round's
        // ratio sees the machine as it was during the update.
        double before = BareRoundTrip();
        Run run = UpdateOnce(image, dir.file("store"), bus);
        bare.push_back((before + BareRoundTrip()) / 2);
        ratio.push_back(run.wallMs / (exchanges * bare.back() / 1000));
        transferRatio.push_back(run.transferMs / (transferExchanges * bare.back() / 1000));
        wall.push_back(run.wallMs);
        connected.push_back(run.connectedMs);
        transfer.push_back(run.transferMs);
        cpu.push_back(run.cpuMs);
        maxRss = std::max(maxRss, run.maxRssKiB);
        printf("  round %d: bare %.1f us; Quorvel wall %.0f ms (connected at %.0f, transfer %.0f ms), ratio %.2f; "
               "cpu %.0f ms, peak %ld KiB\n",
               r + 1, bare.back(), run.wallMs, run.connectedMs, run.transferMs, ratio.back(), run.cpuMs,
               run.maxRssKiB);
    }
    double bareUs = Median(bare);
    double floorMs = exchanges * bareUs / 1000;
    double transferFloorMs = transferExchanges * bareUs / 1000;
    double wallMs = Median(wall), transferMs = Median(transfer), cpuMs = Median(cpu);
    printf("update of %zu KiB firmware (+%zu B loader) over TCP/IP, medians of %d rounds:\n", kib, kLoaderBytes,
           rounds);
    printf("    request/reply exchanges %8zu\n", exchanges);
    printf("    bare socket round trip  %8.1f us\n", bareUs);
    printf("    floor (exchanges x rtt) %8.0f ms\n", floorMs);
    printf("    Quorvel wall time       %8.0f ms   ratio %.2f  (target <= %.1f; median of the rounds' ratios)\n",
           wallMs, Median(ratio), kRatioTarget);
    printf("      start to connected    %8.0f ms\n", Median(connected));
    printf("      loader and firmware   %8.0f ms   ratio %.2f to its %zu exchanges x rtt (%.0f ms)\n", transferMs,
           Median(transferRatio), transferExchanges, transferFloorMs);
    printf("      reboot round and exit %8.0f ms   (the wait after REBOOT, then the link let go)\n",
           wallMs - Median(connected) - transferMs);
    printf("    Quorvel CPU time        %8.0f ms   (%.0f %% of its wall time)\n", cpuMs, 100 * cpuMs / wallMs);
    printf("    Quorvel peak memory     %8ld KiB (ru_maxrss)\n", maxRss);
    return 0;
}

}  // namespace

int main(int argc, char** argv)
{
    int rounds = 5;
    size_t kib = 256;
    bool inside = false;
    for (int i = 1; i < argc; ++i) {
        if (strcmp(argv[i], kInside) == 0)
            inside = true;
        else if (strcmp(argv[i], "--rounds") == 0 && i + 1 < argc)
            rounds = std::max(1, atoi(argv[++i]));
        else if (strcmp(argv[i], "--kib") == 0 && i + 1 < argc)
            kib = static_cast<size_t>(std::max(1, atoi(argv[++i])));
        else {
            fprintf(stderr, "usage: bench_update [--rounds N] [--kib N]\n");
            return 2;
        }
    }
    if (inside) {
        try {
            return Inside(rounds, kib);
        } catch (const std::exception& e) {
            fprintf(stderr, "bench_update: %s\n", e.what());
            return 1;
        }
    }
    // The module answers LOAD in place and comes back at once after REBOOT,
    // so that each round measures the transfer, not the module's restarts.
    std::string host = testsupport::VModuleBinary() + " --discovery " + kModuleHost + " --serial " + kSerial +
                       " --address " + std::to_string(kModuleAddress) + " --model 13 --heartbeat 0 --tcp " +
                       kModuleHost + ":" + std::to_string(kModulePort) +
                       " --load answer --restart-delay 0 --block-size " + std::to_string(kBlockSize);
    std::string self = testsupport::SelfPath();
    std::vector<std::string> command = {std::string(QUORVEL_SOURCE_DIR) + "/tools/netns/run-in-netns",
                                        "--test-host", host, "--wait-for", "ready", "--",
                                        self, kInside, "--rounds", std::to_string(rounds), "--kib",
                                        std::to_string(kib)};
    std::vector<char*> args;
    for (auto& a : command)
        args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    execv(args[0], args.data());
    perror("bench_update: cannot run tools/netns/run-in-netns");
    return 1;
}
