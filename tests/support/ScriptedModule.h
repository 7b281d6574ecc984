#ifndef QUORVEL_SCRIPTED_MODULE_H
#define QUORVEL_SCRIPTED_MODULE_H

// An in-process stand-in for one module behind a TCP link service on
// 127.0.0.1, for tests that check frames byte for byte. It answers the
// address query from its address (unless told not to), takes route-control
// frames silently, records every other frame the host sends and answers it
// with whatever the test's handler returns. It speaks raw bytes only, so it
// shares nothing with the library's encoding.

#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

namespace testsupport {

// A whole frame: address, length, data.
using FrameBytes = std::vector<uint8_t>;

// The frame carrying data from (or to) the module at address.
FrameBytes ModuleFrame(uint8_t address, const std::vector<uint8_t>& data);

class ScriptedModule {
public:
    // Frames sent back for a request, in order (possibly none).
    using Handler = std::function<std::vector<FrameBytes>(const FrameBytes& request)>;

    explicit ScriptedModule(uint8_t address);
    ~ScriptedModule();
    ScriptedModule(const ScriptedModule&) = delete;
    ScriptedModule& operator=(const ScriptedModule&) = delete;

    int port() const { return port_; }
    uint8_t address() const { return address_; }

    void OnRequest(Handler handler);
    void AnswerAddressQuery(bool on);
    // Unasked frames to the host (on the current connection).
    void Send(const FrameBytes& frame);
    // Closes the current connection, as a module that restarts does; the
    // next connection is accepted as usual. May be called from a handler.
    void Drop();
    // The requests so far, once there are at least count of them or the time passed.
    std::vector<FrameBytes> Requests(size_t count = 0, int timeoutMs = 5000);
    // Forgets the requests recorded so far.
    void ClearRequests();

private:
    void Serve();
    void HandleBytes(const uint8_t* bytes, size_t count);
    void Write(const FrameBytes& frame);

    uint8_t address_;
    int listener_ = -1;
    int port_ = 0;
    int wake_[2] = {-1, -1};
    int connection_ = -1;
    FrameBytes pending_;
    std::mutex lock_;
    std::condition_variable changed_;
    Handler handler_;
    bool answerAddress_ = true;
    std::vector<FrameBytes> requests_;
    std::mutex writeLock_;
    std::thread thread_;
};

}  // namespace testsupport

#endif
