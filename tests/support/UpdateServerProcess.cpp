#include "UpdateServerProcess.h"

#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <stdexcept>

namespace testsupport {

namespace {

constexpr int START_TIMEOUT_MS = 10000;
const std::string LISTENING = "listening on 127.0.0.1:";

// The first line the server prints, or what arrived before it went quiet.
std::string _first_line(int fd)
{
    std::string text;
    char c;
    while (text.find('\n') == std::string::npos) {
        struct pollfd pfd = {fd, POLLIN, 0};
        int n = poll(&pfd, 1, START_TIMEOUT_MS);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0 || read(fd, &c, 1) != 1)
            break;
        text += c;
    }
    return text;
}

}  // namespace

UpdateServerProcess::UpdateServerProcess(const std::string& root, const std::vector<std::string>& extraArgs)
{
    std::vector<std::string> argv{QUORVEL_UPDATESERVER_BIN, "--root", root, "--listen", "127.0.0.1:0"};
    argv.insert(argv.end(), extraArgs.begin(), extraArgs.end());
    std::string logPath = logDir_.file("server.log");
    std::vector<char*> args;
    for (auto& a : argv)
        args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    int out[2];
    if (pipe2(out, O_CLOEXEC) != 0)
        throw std::runtime_error("pipe failed");
    pid_ = fork();
    if (pid_ < 0)
        throw std::runtime_error("fork failed");
    if (pid_ == 0) {
        int log = open(logPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
        dup2(out[1], STDOUT_FILENO);
        dup2(log, STDERR_FILENO);
        execv(args[0], args.data());
        _exit(127);
    }
    close(out[1]);
    std::string line = _first_line(out[0]);
    close(out[0]);
    if (line.compare(0, LISTENING.size(), LISTENING) != 0) {
        kill(pid_, SIGKILL);
        waitpid(pid_, nullptr, 0);
        throw std::runtime_error("update server did not start: " + line + ReadFile(logPath));
    }
    port_ = std::stoi(line.substr(LISTENING.size()));
}

UpdateServerProcess::~UpdateServerProcess()
{
    kill(pid_, SIGTERM);
    waitpid(pid_, nullptr, 0);
}

int UnusedPort()
{
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    struct sockaddr_in address = {};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address);
    getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length);
    close(fd);
    return ntohs(address.sin_port);
}

}  // namespace testsupport
