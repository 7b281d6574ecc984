#ifndef QUORVEL_HTTP_RESPONSE_H
#define QUORVEL_HTTP_RESPONSE_H

#include <cstddef>
#include <cstdint>
#include <string>

// One HTTP reply as the update server client sees it: the URL that was
// requested, the status code and the body, accumulated as it arrives.
class HTTPResponse {
public:
    explicit HTTPResponse(const std::string& request) : request_(request) {}

    const std::string& get_request() const { return request_; }
    int64_t get_status() const { return status_; }
    const std::string& get_response() const { return response_; }

    void set_status(int64_t status) { status_ = status; }
    // Appends the bytes to the body.
    void process(const char* data, size_t length) { response_.append(data, length); }

private:
    std::string request_;
    int64_t status_ = 0;
    std::string response_;
};

#endif
