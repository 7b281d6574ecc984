#include "EventLoop.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstring>

namespace vmodule {

namespace {

volatile sig_atomic_t g_signalWrite = -1;

void OnSignal(int)
{
    int saved = errno;
    char byte = 0;
    int fd = g_signalWrite;
    if (fd >= 0) {
        ssize_t ignored = write(fd, &byte, 1);
        (void)ignored;
    }
    errno = saved;
}

}  // namespace

EventLoop::~EventLoop()
{
    if (signalPipe_[0] >= 0) {
        // The handlers stay: a late signal finds no pipe and does nothing,
        // rather than killing a program that is already ending cleanly.
        g_signalWrite = -1;
        close(signalPipe_[0]);
        close(signalPipe_[1]);
    }
}

bool EventLoop::Init(std::string& error)
{
    if (pipe2(signalPipe_, O_CLOEXEC | O_NONBLOCK) != 0) {
        error = std::string("cannot create a pipe: ") + strerror(errno);
        return false;
    }
    g_signalWrite = signalPipe_[1];
    struct sigaction action = {};
    action.sa_handler = OnSignal;
    sigemptyset(&action.sa_mask);
    sigaction(SIGTERM, &action, nullptr);
    sigaction(SIGINT, &action, nullptr);
    signal(SIGPIPE, SIG_IGN);
    return true;
}

int EventLoop::Watch(int fd, Callback onReadable)
{
    int id = nextWatch_++;
    watches_[id] = Watched{fd, std::move(onReadable), nullptr};
    return id;
}

void EventLoop::WantWrite(int watch, Callback onWritable)
{
    auto it = watches_.find(watch);
    if (it != watches_.end())
        it->second.onWritable = std::move(onWritable);
}

void EventLoop::Unwatch(int watch)
{
    watches_.erase(watch);
}

uint64_t EventLoop::After(std::chrono::milliseconds delay, Callback callback)
{
    uint64_t id = nextTimer_++;
    auto due = Clock::now() + delay;
    timers_[{due, id}] = std::move(callback);
    timerDue_[id] = due;
    return id;
}

void EventLoop::Cancel(uint64_t timer)
{
    auto it = timerDue_.find(timer);
    if (it == timerDue_.end())
        return;
    timers_.erase({it->second, timer});
    timerDue_.erase(it);
}

void EventLoop::Defer(Callback callback)
{
    deferred_.push_back(std::move(callback));
}

int EventLoop::PollTimeout() const
{
    if (!deferred_.empty())
        return 0;
    if (timers_.empty())
        return -1;
    auto wait = std::chrono::ceil<std::chrono::milliseconds>(timers_.begin()->first.first - Clock::now());
    if (wait.count() <= 0)
        return 0;
    return wait.count() > INT_MAX ? INT_MAX : static_cast<int>(wait.count());
}

void EventLoop::FireDueTimers()
{
    auto now = Clock::now();
    while (!timers_.empty() && timers_.begin()->first.first <= now) {
        auto first = timers_.begin();
        Callback callback = std::move(first->second);
        timerDue_.erase(first->first.second);
        timers_.erase(first);
        callback();
        RunDeferred();
    }
}

void EventLoop::RunDeferred()
{
    while (!deferred_.empty()) {
        std::vector<Callback> batch;
        batch.swap(deferred_);
        for (auto& callback : batch)
            callback();
    }
}

void EventLoop::Run()
{
    std::vector<struct pollfd> fds;
    std::vector<int> ids;
    while (!stopping_) {
        RunDeferred();
        fds.clear();
        ids.clear();
        fds.push_back({signalPipe_[0], POLLIN, 0});
        ids.push_back(0);
        for (const auto& [id, watched] : watches_) {
            short events = POLLIN;
            if (watched.onWritable)
                events |= POLLOUT;
            fds.push_back({watched.fd, events, 0});
            ids.push_back(id);
        }
        int ready = poll(fds.data(), fds.size(), PollTimeout());
        if (ready < 0 && errno != EINTR)
            break;
        if (ready > 0 && fds[0].revents)
            break;
        for (size_t i = 1; ready > 0 && i < fds.size() && !stopping_; ++i) {
            short revents = fds[i].revents;
            if (!revents)
                continue;
            // Each lookup again: an earlier callback may have removed this watch.
            auto it = watches_.find(ids[i]);
            if (it != watches_.end() && (revents & POLLOUT) && it->second.onWritable) {
                Callback onWritable = it->second.onWritable;
                onWritable();
            }
            it = watches_.find(ids[i]);
            if (it != watches_.end() && (revents & (POLLIN | POLLHUP | POLLERR | POLLNVAL))) {
                Callback onReadable = it->second.onReadable;
                onReadable();
            }
            RunDeferred();
        }
        FireDueTimers();
    }
}

}  // namespace vmodule
