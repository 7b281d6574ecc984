#ifndef QUORVEL_VMODULE_PROCESS_H
#define QUORVEL_VMODULE_PROCESS_H

#include <sys/types.h>

#include <cstdint>
#include <string>
#include <vector>

#include "BackgroundProcess.h"
#include "testsupport.h"

namespace testsupport {

// Path of the built virtual module program.
std::string VModuleBinary();

// The virtual module program from sim/ with the given arguments. The
// constructor returns once every module is ready (it reads the program's
// "module ..." lines up to "ready"); the destructor stops it.
class VModuleProcess {
public:
    struct Module {
        uint32_t serial = 0;
        std::string host;   // empty without a TCP link service
        int port = 0;
        bool usb = false;
    };

    explicit VModuleProcess(const std::vector<std::string>& args);
    ~VModuleProcess();
    VModuleProcess(const VModuleProcess&) = delete;
    VModuleProcess& operator=(const VModuleProcess&) = delete;

    const std::vector<Module>& modules() const { return modules_; }
    int port(size_t module = 0) const { return modules_.at(module).port; }
    pid_t pid() const { return process_.pid(); }
    // Sends the signal and waits for the program to end: its exit status, or
    // 128 + the signal that killed it; -1 when it did not end in time.
    int Stop(int signal, int timeoutMs = 10000);
    // What the program wrote on standard error (complete once it stopped).
    std::string errors() const;

private:
    TempDir errDir_;
    BackgroundProcess process_;
    std::vector<Module> modules_;
};

// A plain connection to a module, speaking raw frames: TCP to its link
// service, or the byte pipe of its device on the virtual USB bus (what a
// claim of the interface connects to).
class FrameSocket {
public:
    struct UnixPath {
        std::string path;
    };
    explicit FrameSocket(int port, const std::string& host = "127.0.0.1");
    explicit FrameSocket(const UnixPath& socket);
    ~FrameSocket();
    FrameSocket(const FrameSocket&) = delete;
    FrameSocket& operator=(const FrameSocket&) = delete;

    void Send(const std::vector<uint8_t>& bytes);
    // The next whole frame (address, length, data), or an empty vector when
    // none came within the time or the module closed the connection.
    std::vector<uint8_t> ReadFrame(int timeoutMs = 5000);
    // Exactly count bytes as they come, frames or not; empty on time-out.
    std::vector<uint8_t> ReadBytes(size_t count, int timeoutMs = 5000);
    // True once the module closed the connection (waits up to the time).
    bool ClosedByPeer(int timeoutMs = 5000);
    int fd() const { return fd_; }

private:
    bool Fill(size_t count, int timeoutMs);

    int fd_ = -1;
    std::string buffered_;
};

}  // namespace testsupport

#endif
