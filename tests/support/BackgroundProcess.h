#ifndef QUORVEL_BACKGROUND_PROCESS_H
#define QUORVEL_BACKGROUND_PROCESS_H

#include <sys/types.h>

#include <string>
#include <vector>

namespace testsupport {

// A program running beside a test: its standard output is read line by line
// (so a test waits for "listening" without sleeping), its standard error goes
// to a file. Destruction stops it with SIGTERM and reaps it.
class BackgroundProcess {
public:
    static constexpr int DEFAULT_LINE_TIMEOUT_MS = 10000;

    // argv[0] is a path.
    BackgroundProcess(const std::vector<std::string>& argv, const std::string& stderrPath);
    ~BackgroundProcess();
    BackgroundProcess(const BackgroundProcess&) = delete;
    BackgroundProcess& operator=(const BackgroundProcess&) = delete;

    // The next line without its line end, or what arrived before the output
    // closed or went quiet for the time-out.
    std::string ReadLine(int timeoutMs = DEFAULT_LINE_TIMEOUT_MS);
    // Stops it at once (SIGKILL) and reaps it; nothing once it has ended.
    void Kill();
    // Sends the signal and waits for the program to end: its exit status, or
    // 128 + the signal that killed it; -1 when it did not end in time (or
    // had already been reaped).
    int Stop(int signal, int timeoutMs);
    // -1 once it has been reaped.
    pid_t pid() const { return pid_; }

private:
    pid_t pid_ = -1;
    int out_ = -1;
};

}  // namespace testsupport

#endif
