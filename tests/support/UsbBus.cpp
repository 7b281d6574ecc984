#include "UsbBus.h"

#include <dlfcn.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <stdexcept>

#include "testsupport.h"
#include "usbbus_control.h"

namespace testsupport {

namespace {

const char* const kReexecMark = "QUORVEL_USBBUS_REEXEC";

// Sanitizer runtimes this process was started with; ASan and TSan insist on
// coming first in the library list, so they go before the stand-in.
std::vector<std::string> SanitizerRuntimes()
{
    std::vector<std::string> found;
    std::ifstream maps("/proc/self/maps");
    std::string line;
    while (std::getline(maps, line)) {
        size_t slash = line.find('/');
        if (slash == std::string::npos)
            continue;
        std::string path = line.substr(slash);
        std::string base = path.substr(path.rfind('/') + 1);
        bool runtime = base.rfind("libasan.so", 0) == 0 || base.rfind("libtsan.so", 0) == 0;
        bool known = false;
        for (const auto& f : found)
            known = known || f == path;
        if (runtime && !known)
            found.push_back(path);
    }
    return found;
}

}  // namespace

std::string UsbBusPreload()
{
    std::string preload;
    for (const auto& runtime : SanitizerRuntimes())
        preload += runtime + ":";
    return preload + QUORVEL_USBBUS_LIB;
}

bool UsbBusLoaded()
{
    return dlsym(RTLD_DEFAULT, "quorvel_usbbus_version") != nullptr;
}

void ReexecWithUsbBus(char** argv)
{
    if (UsbBusLoaded())
        return;
    if (getenv(kReexecMark)) {
        fprintf(stderr, "the virtual USB bus did not load with LD_PRELOAD=%s\n", getenv("LD_PRELOAD"));
        exit(1);
    }
    setenv(kReexecMark, "1", 1);
    std::string preload = UsbBusPreload();
    if (const char* inherited = getenv("LD_PRELOAD"); inherited && *inherited)
        preload += std::string(":") + inherited;
    setenv("LD_PRELOAD", preload.c_str(), 1);
    execv("/proc/self/exe", argv);
    perror("execv /proc/self/exe");
    exit(1);
}

UsbBusDevice::UsbBusDevice(const std::string& dir, const std::string& name) : dir_(dir), name_(name)
{
    listener_ = usbbus::ListenDevice(dir, name);
    if (listener_ < 0 || fcntl(listener_, F_SETFL, O_NONBLOCK) != 0 || pipe2(wake_, O_CLOEXEC) != 0)
        throw std::runtime_error("cannot serve virtual USB device " + name);
    thread_ = std::thread(&UsbBusDevice::Serve, this);
}

UsbBusDevice::~UsbBusDevice()
{
    {
        std::lock_guard<std::mutex> guard(lock_);
        stop_ = true;
    }
    Wake();
    thread_.join();
    close(listener_);
    close(wake_[0]);
    close(wake_[1]);
}

void UsbBusDevice::Configure(const std::string& lines)
{
    if (!usbbus::WriteDevice(dir_, name_, lines))
        throw std::runtime_error("cannot write virtual USB device " + name_);
}

void UsbBusDevice::Send(const std::string& bytes)
{
    {
        std::lock_guard<std::mutex> guard(lock_);
        outgoing_ += bytes;
    }
    Wake();
}

std::string UsbBusDevice::Received(size_t count, int timeoutMs)
{
    std::unique_lock<std::mutex> guard(lock_);
    changed_.wait_for(guard, std::chrono::milliseconds(timeoutMs), [&] { return received_.size() >= count; });
    return received_;
}

int UsbBusDevice::Connections(int count, int timeoutMs)
{
    std::unique_lock<std::mutex> guard(lock_);
    changed_.wait_for(guard, std::chrono::milliseconds(timeoutMs), [&] { return connections_ >= count; });
    return connections_;
}

void UsbBusDevice::Disconnect()
{
    {
        std::lock_guard<std::mutex> guard(lock_);
        disconnect_ = true;
    }
    Wake();
}

std::vector<std::string> UsbBusDevice::Log() const
{
    std::ifstream in(usbbus::LogPath(dir_, name_));
    return SplitLines(std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()));
}

void UsbBusDevice::Wake()
{
    char c = 1;
    (void)!write(wake_[1], &c, 1);
}

void UsbBusDevice::Serve()
{
    int connection = -1;
    for (;;) {
        struct pollfd fds[3] = {{wake_[0], POLLIN, 0}, {listener_, POLLIN, 0}, {connection, POLLIN, 0}};
        if (poll(fds, connection >= 0 ? 3 : 2, -1) < 0)
            continue;
        bool replaced = false;   // fds[2] no longer describes the connection
        if (fds[0].revents) {
            char drain[64];
            (void)!read(wake_[0], drain, sizeof drain);
        }
        {
            std::lock_guard<std::mutex> guard(lock_);
            if (stop_)
                break;
            if (disconnect_ && connection >= 0) {
                close(connection);
                connection = -1;
                replaced = true;
            }
            disconnect_ = false;
        }
        // A new claim replaces the old connection before anything is sent,
        // so bytes queued after a claim go to the host that made it.
        // Of several claims waiting, the last one is the host's current one.
        int accepted;
        while (fds[1].revents && (accepted = accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC)) >= 0) {
            if (connection >= 0)
                close(connection);
            connection = accepted;
            replaced = true;
            std::lock_guard<std::mutex> guard(lock_);
            connections_++;
            changed_.notify_all();
        }
        if (connection >= 0 && !replaced && fds[2].revents) {
            char buf[4096];
            ssize_t n = read(connection, buf, sizeof buf);
            if (n <= 0) {
                close(connection);
                connection = -1;
            } else {
                std::lock_guard<std::mutex> guard(lock_);
                received_.append(buf, static_cast<size_t>(n));
                changed_.notify_all();
            }
        }
        std::string toSend;
        if (connection >= 0) {
            std::lock_guard<std::mutex> guard(lock_);
            toSend.swap(outgoing_);
        }
        if (!toSend.empty())
            (void)!send(connection, toSend.data(), toSend.size(), MSG_NOSIGNAL);
    }
    if (connection >= 0)
        close(connection);
}

}  // namespace testsupport
