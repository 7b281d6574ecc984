#ifndef QUORVEL_HTTP_REQUEST_H
#define QUORVEL_HTTP_REQUEST_H

#include <map>
#include <string>

#include "HTTPResponse.h"

// HTTP GET over libcurl's easy interface. Every call has its own handle, so
// calls may run on different threads.
class HTTPRequest {
public:
    // Query parameters, appended in ascending byte order of the keys.
    typedef std::map<std::string, std::string> Parameters;

    // Abort when the server has not accepted the connection within this time.
    static constexpr long DEFAULT_CONNECT_TIMEOUT_MS = 30000;
    // Abort when fewer than LOW_SPEED_LIMIT bytes per second arrive for this
    // many seconds: a server that accepts and then says nothing.
    static constexpr long DEFAULT_LOW_SPEED_TIME_S = 60;
    static constexpr long LOW_SPEED_LIMIT = 1;

    // Only tests shorten these; set them before any request thread starts.
    static long connectTimeoutMs;
    static long lowSpeedTimeS;

    // The URL, then "?" and key=value& for each parameter when there are any.
    // Values are percent-encoded outside the unreserved characters.
    static std::string BuildURL(const std::string& url, const Parameters& parameters);

    // Percent-encodes every byte outside A-Z a-z 0-9 - . _ ~
    static std::string Encode(const std::string& value);

    // Performs the request. Throws std::runtime_error with libcurl's text when
    // the transfer fails; any HTTP status is returned, not thrown.
    static HTTPResponse GET(const std::string& url, const Parameters& parameters);
};

#endif
