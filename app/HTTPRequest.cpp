#include "HTTPRequest.h"

#include <curl/curl.h>
#include <dlfcn.h>

#include <cstdint>
#include <mutex>
#include <stdexcept>
#include <string>

#include "Log.h"

long HTTPRequest::connectTimeoutMs = HTTPRequest::DEFAULT_CONNECT_TIMEOUT_MS;
long HTTPRequest::lowSpeedTimeS = HTTPRequest::DEFAULT_LOW_SPEED_TIME_S;

namespace {

// libcurl and the TLS, Kerberos and LDAP libraries it pulls in are loaded on
// the first request, not at start: they double the start-up time of every
// run, and most runs (discovery, an update from a file) never talk to the
// server.
struct Curl {
    CURLcode (*global_init)(long);
    CURL* (*easy_init)();
    CURLcode (*easy_setopt)(CURL*, CURLoption, ...);
    CURLcode (*easy_perform)(CURL*);
    CURLcode (*easy_getinfo)(CURL*, CURLINFO, ...);
    void (*easy_cleanup)(CURL*);
    const char* (*easy_strerror)(CURLcode);
};

template <typename Function>
bool _symbol(void* library, const char* name, Function* function)
{
    *function = reinterpret_cast<Function>(dlsym(library, name));
    return *function != nullptr;
}

// Loads libcurl and does its global set-up, once: that set-up is not safe to
// race with a first easy handle made on another thread. Throws when the
// library cannot be used.
const Curl& _curl()
{
    static Curl curl;
    static std::string failure;
    static std::once_flag once;
    std::call_once(once, [] {
        void* library = dlopen(QUORVEL_CURL_LIBRARY, RTLD_NOW | RTLD_LOCAL);
        if (!library) {
            const char* why = dlerror();
            failure = std::string("Could not load ") + QUORVEL_CURL_LIBRARY + ": " + (why ? why : "unknown error");
            return;
        }
        bool complete = _symbol(library, "curl_global_init", &curl.global_init) &&
                        _symbol(library, "curl_easy_init", &curl.easy_init) &&
                        _symbol(library, "curl_easy_setopt", &curl.easy_setopt) &&
                        _symbol(library, "curl_easy_perform", &curl.easy_perform) &&
                        _symbol(library, "curl_easy_getinfo", &curl.easy_getinfo) &&
                        _symbol(library, "curl_easy_cleanup", &curl.easy_cleanup) &&
                        _symbol(library, "curl_easy_strerror", &curl.easy_strerror);
        if (!complete) {
            failure = std::string(QUORVEL_CURL_LIBRARY) + " lacks the functions Quorvel uses";
            return;
        }
        curl.global_init(CURL_GLOBAL_DEFAULT);
    });
    if (!failure.empty())
        throw std::runtime_error(failure);
    return curl;
}

size_t _rcv_data(char* data, size_t size, size_t count, void* userData)
{
    size_t total = size * count;
    // The data is not NUL-terminated: show at most its first 100 bytes.
    int shown = static_cast<int>(total < 100 ? total : 100);
    Log::log(DEBUG_ServerComm, "rcv_data called (..., %d, %d, %08X) [%100.*s]\n",
             static_cast<int>(size), static_cast<int>(count),
             static_cast<unsigned>(reinterpret_cast<uintptr_t>(userData)), shown, data);
    static_cast<HTTPResponse*>(userData)->process(data, total);
    Log::log(DEBUG_ServerComm, "rcv_data returns %d\n", static_cast<int>(total));
    return total;
}

// Sets the options in order, stopping at the first that fails.
CURLcode _configure(const Curl& lib, CURL* curl, HTTPResponse& response)
{
    // The loaded function under libcurl's own name, so that the header's
    // option type checks still apply to every call below.
    auto curl_easy_setopt = lib.easy_setopt;
    CURLcode rc;
    if ((rc = curl_easy_setopt(curl, CURLOPT_WRITEFUNCTION, _rcv_data)) != CURLE_OK) return rc;
    if ((rc = curl_easy_setopt(curl, CURLOPT_WRITEDATA, &response)) != CURLE_OK) return rc;
    if ((rc = curl_easy_setopt(curl, CURLOPT_URL, response.get_request().c_str())) != CURLE_OK) return rc;
    // An https server must prove who it is: anyone on the path could
    // otherwise hand out a firmware image of their own.
    if ((rc = curl_easy_setopt(curl, CURLOPT_SSL_VERIFYHOST, 2L)) != CURLE_OK) return rc;
    if ((rc = curl_easy_setopt(curl, CURLOPT_SSL_VERIFYPEER, 1L)) != CURLE_OK) return rc;
    // OCSP stapling is not demanded; TLS back ends without it refuse the option.
    rc = curl_easy_setopt(curl, CURLOPT_SSL_VERIFYSTATUS, 0L);
    if (rc != CURLE_OK && rc != CURLE_NOT_BUILT_IN) return rc;
    if ((rc = curl_easy_setopt(curl, CURLOPT_PROTOCOLS_STR, "http,https")) != CURLE_OK) return rc;
    // Downloads run on a worker thread: time-outs must not use signals.
    if ((rc = curl_easy_setopt(curl, CURLOPT_NOSIGNAL, 1L)) != CURLE_OK) return rc;
    if ((rc = curl_easy_setopt(curl, CURLOPT_CONNECTTIMEOUT_MS, HTTPRequest::connectTimeoutMs)) != CURLE_OK) return rc;
    if ((rc = curl_easy_setopt(curl, CURLOPT_LOW_SPEED_LIMIT, HTTPRequest::LOW_SPEED_LIMIT)) != CURLE_OK) return rc;
    return curl_easy_setopt(curl, CURLOPT_LOW_SPEED_TIME, HTTPRequest::lowSpeedTimeS);
}

bool _unreserved(unsigned char c)
{
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') ||
           c == '-' || c == '.' || c == '_' || c == '~';
}

}  // namespace

std::string HTTPRequest::Encode(const std::string& value)
{
    static const char HEX[] = "0123456789ABCDEF";
    std::string encoded;
    encoded.reserve(value.size());
    for (unsigned char c : value) {
        if (_unreserved(c)) {
            encoded += static_cast<char>(c);
        } else {
            encoded += '%';
            encoded += HEX[c >> 4];
            encoded += HEX[c & 0xF];
        }
    }
    return encoded;
}

std::string HTTPRequest::BuildURL(const std::string& url, const Parameters& parameters)
{
    std::string full = url;
    if (!parameters.empty())
        full += '?';
    for (const auto& [key, value] : parameters)
        full += key + "=" + Encode(value) + "&";
    return full;
}

HTTPResponse HTTPRequest::GET(const std::string& url, const Parameters& parameters)
{
    const Curl& lib = _curl();
    CURL* curl = lib.easy_init();
    HTTPResponse response(BuildURL(url, parameters));
    if (!curl)
        throw std::runtime_error("Could not create curl instance");

    CURLcode rc = _configure(lib, curl, response);
    if (rc == CURLE_OK) {
        Log::log(DEBUG_ServerComm, "GET(%s)\n", response.get_request().c_str());
        rc = lib.easy_perform(curl);
    }
    long status = 0;
    if (rc == CURLE_OK)
        rc = lib.easy_getinfo(curl, CURLINFO_RESPONSE_CODE, &status);
    lib.easy_cleanup(curl);
    if (rc != CURLE_OK)
        throw std::runtime_error(lib.easy_strerror(rc));
    response.set_status(status);
    return response;
}
