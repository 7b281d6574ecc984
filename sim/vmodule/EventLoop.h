#ifndef VMODULE_EVENTLOOP_H
#define VMODULE_EVENTLOOP_H

// The program's one thread: poll() over the sockets of every module, a timer
// queue (heartbeats, late answers, restarts) and a self-pipe that SIGTERM and
// SIGINT write to. One thread keeps every module's state free of locks.

#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <string>
#include <utility>
#include <vector>

namespace vmodule {

class EventLoop {
public:
    using Callback = std::function<void()>;
    using Clock = std::chrono::steady_clock;

    EventLoop() = default;
    ~EventLoop();
    EventLoop(const EventLoop&) = delete;
    EventLoop& operator=(const EventLoop&) = delete;

    // Creates the self-pipe and routes SIGTERM and SIGINT to it.
    bool Init(std::string& error);

    // onReadable also runs on hang-up and error, so the owner sees end of file.
    int Watch(int fd, Callback onReadable);
    // An empty callback stops watching for writability.
    void WantWrite(int watch, Callback onWritable);
    void Unwatch(int watch);

    uint64_t After(std::chrono::milliseconds delay, Callback callback);
    void Cancel(uint64_t timer);

    // Runs once the current callback has returned; how owners free objects
    // whose own callback is on the stack.
    void Defer(Callback callback);

    // Until a signal arrives or Stop() is called.
    void Run();
    void Stop() { stopping_ = true; }

private:
    struct Watched {
        int fd;
        Callback onReadable;
        Callback onWritable;
    };

    int PollTimeout() const;
    void FireDueTimers();
    void RunDeferred();

    int signalPipe_[2] = {-1, -1};
    bool stopping_ = false;
    int nextWatch_ = 1;
    uint64_t nextTimer_ = 1;
    std::map<int, Watched> watches_;
    std::map<std::pair<Clock::time_point, uint64_t>, Callback> timers_;
    std::map<uint64_t, Clock::time_point> timerDue_;
    std::vector<Callback> deferred_;
};

}  // namespace vmodule

#endif
