#include "RecordWait.h"

#include <poll.h>
#include <sys/inotify.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>

#include "testsupport.h"

namespace testsupport {

namespace {

// Only whole lines count: the writer may be half-way through the last one.
int CountEvents(const std::string& path, const std::string& serial, const std::string& text)
{
    std::string content = ReadFile(path);
    std::string tail = " " + serial + " " + text;
    int count = 0;
    size_t start = 0;
    for (size_t end; (end = content.find('\n', start)) != std::string::npos; start = end + 1) {
        std::string line = content.substr(start, end - start);
        size_t space = line.find(' ', 3);
        if (line.compare(0, 3, "ev ") == 0 && space != std::string::npos && line.substr(space) == tail)
            ++count;
    }
    return count;
}

}  // namespace

bool AwaitRecordEvent(const std::string& path, const std::string& serial, const std::string& text, int occurrences,
                      int timeoutMs)
{
    int fd = inotify_init1(IN_CLOEXEC | IN_NONBLOCK);
    if (fd < 0)
        return false;
    // Watched before the first look, so no line can slip between the two.
    bool watching = inotify_add_watch(fd, path.c_str(), IN_MODIFY) >= 0;
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    bool found = false;
    while (watching && !(found = CountEvents(path, serial, text) >= occurrences)) {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0)
            break;
        struct pollfd pfd = {fd, POLLIN, 0};
        int n = poll(&pfd, 1, static_cast<int>(left.count()));
        if (n < 0 && errno != EINTR)
            break;
        char events[4096];
        while (read(fd, events, sizeof events) > 0) {
        }
    }
    close(fd);
    return found;
}

}  // namespace testsupport
