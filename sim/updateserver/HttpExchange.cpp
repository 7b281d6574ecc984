#include "HttpExchange.h"

#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <chrono>

namespace updateserver {

namespace {

int _hex_value(char c)
{
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

// Reads until the blank line that ends the head. 0 when complete, else the
// status to answer (0 as well when the peer closed early).
int _read_head(int fd, std::string& head)
{
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(REQUEST_TIMEOUT_MS);
    char buffer[2048];
    for (;;) {
        if (head.find("\r\n\r\n") != std::string::npos || head.find("\n\n") != std::string::npos)
            return 0;
        if (head.size() > MAX_REQUEST_HEAD)
            return 413;
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0)
            return 408;
        struct pollfd pfd = {fd, POLLIN, 0};
        int n = poll(&pfd, 1, static_cast<int>(left.count()));
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return n == 0 ? 408 : -1;
        ssize_t got = recv(fd, buffer, sizeof buffer, 0);
        if (got < 0 && errno == EINTR)
            continue;
        if (got <= 0)
            return -1;
        head.append(buffer, static_cast<size_t>(got));
    }
}

bool _parse_query(const std::string& text, std::map<std::string, std::string>& query)
{
    size_t start = 0;
    while (start <= text.size()) {
        size_t end = text.find('&', start);
        if (end == std::string::npos)
            end = text.size();
        std::string pair = text.substr(start, end - start);
        if (!pair.empty()) {
            size_t eq = pair.find('=');
            std::string key, value;
            if (!PercentDecode(pair.substr(0, eq), key) ||
                !PercentDecode(eq == std::string::npos ? "" : pair.substr(eq + 1), value))
                return false;
            query.emplace(key, value);
        }
        start = end + 1;
    }
    return true;
}

}  // namespace

bool PercentDecode(const std::string& text, std::string& decoded)
{
    decoded.clear();
    for (size_t i = 0; i < text.size(); ++i) {
        if (text[i] != '%') {
            decoded += text[i];
            continue;
        }
        if (i + 2 >= text.size())
            return false;
        int high = _hex_value(text[i + 1]), low = _hex_value(text[i + 2]);
        if (high < 0 || low < 0)
            return false;
        decoded += static_cast<char>(high << 4 | low);
        i += 2;
    }
    return true;
}

bool ReadRequest(int fd, HttpRequest& request, int& failStatus)
{
    std::string head;
    int rc = _read_head(fd, head);
    request.line = head.substr(0, head.find_first_of("\r\n"));
    if (rc != 0) {
        failStatus = rc < 0 ? 0 : rc;
        return false;
    }
    failStatus = 400;
    size_t sp1 = request.line.find(' ');
    size_t sp2 = sp1 == std::string::npos ? sp1 : request.line.find(' ', sp1 + 1);
    if (sp2 == std::string::npos || request.line.compare(sp2 + 1, 5, "HTTP/") != 0)
        return false;
    request.method = request.line.substr(0, sp1);
    std::string target = request.line.substr(sp1 + 1, sp2 - sp1 - 1);
    size_t question = target.find('?');
    request.path = target.substr(0, question);
    return question == std::string::npos || _parse_query(target.substr(question + 1), request.query);
}

const char* StatusText(int status)
{
    switch (status) {
    case 200: return "OK";
    case 400: return "Bad Request";
    case 404: return "Not Found";
    case 405: return "Method Not Allowed";
    case 408: return "Request Timeout";
    case 413: return "Content Too Large";
    case 500: return "Internal Server Error";
    case 503: return "Service Unavailable";
    default: return "Status";
    }
}

bool WriteReply(int fd, const HttpReply& reply)
{
    std::string text = "HTTP/1.1 " + std::to_string(reply.status) + " " + StatusText(reply.status) +
                       "\r\nContent-Type: text/plain\r\nContent-Length: " + std::to_string(reply.body.size()) +
                       "\r\nConnection: close\r\n\r\n" + reply.body;
    size_t sent = 0;
    while (sent < text.size()) {
        ssize_t n = send(fd, text.data() + sent, text.size() - sent, MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        sent += static_cast<size_t>(n);
    }
    return true;
}

}  // namespace updateserver
