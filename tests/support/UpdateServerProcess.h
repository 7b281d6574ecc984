#ifndef QUORVEL_UPDATE_SERVER_PROCESS_H
#define QUORVEL_UPDATE_SERVER_PROCESS_H

#include <string>
#include <vector>

#include "BackgroundProcess.h"
#include "testsupport.h"

namespace testsupport {

// The update server program from sim/, serving a tree on 127.0.0.1 with a
// port of its own choosing. The constructor returns once the server listens
// (it reads the port from the server's first output line); the destructor
// stops it.
class UpdateServerProcess {
public:
    explicit UpdateServerProcess(const std::string& root, const std::vector<std::string>& extraArgs = {});

    int port() const { return port_; }
    std::string hostPort() const { return "127.0.0.1:" + std::to_string(port_); }
    // The base URL as Quorvel's -u takes it.
    std::string url() const { return "http://" + hostPort() + "/cgi/u"; }
    // The request log so far, one line per request answered.
    std::string log() const { return ReadFile(logDir_.file("server.log")); }

private:
    TempDir logDir_;
    BackgroundProcess process_;
    int port_ = 0;
};

// A port on 127.0.0.1 that nothing listens on (bound, then released).
int UnusedPort();

}  // namespace testsupport

#endif
