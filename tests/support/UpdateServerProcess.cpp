#include "UpdateServerProcess.h"

#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <stdexcept>

namespace testsupport {

namespace {

const std::string LISTENING = "listening on 127.0.0.1:";

std::vector<std::string> _server_argv(const std::string& root, const std::vector<std::string>& extraArgs)
{
    std::vector<std::string> argv{QUORVEL_UPDATESERVER_BIN, "--root", root, "--listen", "127.0.0.1:0"};
    argv.insert(argv.end(), extraArgs.begin(), extraArgs.end());
    return argv;
}

}  // namespace

UpdateServerProcess::UpdateServerProcess(const std::string& root, const std::vector<std::string>& extraArgs)
    : process_(_server_argv(root, extraArgs), logDir_.file("server.log"))
{
    std::string line = process_.ReadLine();
    if (line.compare(0, LISTENING.size(), LISTENING) != 0) {
        process_.Kill();
        throw std::runtime_error("update server did not start: " + line + " " + log());
    }
    port_ = std::stoi(line.substr(LISTENING.size()));
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
