#ifndef UPDATESERVER_SERVER_OPTIONS_H
#define UPDATESERVER_SERVER_OPTIONS_H

#include <map>
#include <string>

namespace updateserver {

// Switches that make the server misbehave on purpose, for tests.
struct Faults {
    std::map<std::string, int> status;   // operation -> HTTP status to answer with
    std::map<std::string, int> delayMs;  // operation (or "all") -> wait before answering
    bool badBase64 = false;              // image text whose length is not a multiple of 4
    bool okay = false;                   // status line "okay" instead of "ok"
    bool crlf = false;                   // reply lines end with CR LF

    int DelayFor(const std::string& operation) const;
};

struct ServerOptions {
    std::string root = ".";
    std::string host;  // from QUORVEL_DEFAULT_SERVER_HOST unless --listen says otherwise
    std::string port;
    std::string portFile;
    bool quiet = false;
    Faults faults;
};

// Fills the options from the command line; false with a message on error.
bool ParseOptions(int argc, char** argv, ServerOptions& options, std::string& error);
const char* Usage();

}  // namespace updateserver

#endif
