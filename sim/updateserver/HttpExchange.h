#ifndef UPDATESERVER_HTTP_EXCHANGE_H
#define UPDATESERVER_HTTP_EXCHANGE_H

#include <map>
#include <string>

namespace updateserver {

// One HTTP request as far as this server cares: one per connection, no body.
struct HttpRequest {
    std::string line;    // the request line, for the log
    std::string method;
    std::string path;    // the target up to "?"
    std::map<std::string, std::string> query;  // decoded; the first of a repeated key wins
};

struct HttpReply {
    int status = 200;
    std::string body;
};

constexpr int REQUEST_TIMEOUT_MS = 10000;  // a client that says nothing is dropped
constexpr size_t MAX_REQUEST_HEAD = 16384;

// Reads and parses the request head. False with the status to answer
// (400, 408, 413 or 0 when the peer went away).
bool ReadRequest(int fd, HttpRequest& request, int& failStatus);
// Writes the reply with Connection: close; false when the peer went away.
bool WriteReply(int fd, const HttpReply& reply);
const char* StatusText(int status);
// Percent-decoding; false on a malformed escape.
bool PercentDecode(const std::string& text, std::string& decoded);

}  // namespace updateserver

#endif
