#ifndef UPDATESERVER_UPDATE_OPERATIONS_H
#define UPDATESERVER_UPDATE_OPERATIONS_H

#include <string>

#include "FirmwareTree.h"
#include "HttpExchange.h"
#include "ServerOptions.h"

namespace updateserver {

constexpr const char* SERVER_PATH = "/cgi/u";

// Answers the operations hi, qu, builds, bird and fix from the tree:
//   hi      ok
//   qu      ok, current build, firmware identifier
//   builds  ok, then "build;version" per build
//   bird    ok, the image in Base64 (bld=0 means the current build)
//   fix     ok, serial number (hex), recovery build (decimal)
// Failures are an HTTP error status with one line "error: why".
class UpdateOperations {
public:
    UpdateOperations(const FirmwareTree& tree, const Faults& faults) : tree_(tree), faults_(faults) {}

    // `operation` and `note` describe the request for the log.
    HttpReply Answer(const HttpRequest& request, std::string& operation, std::string& note) const;

private:
    HttpReply Hi(std::string& note) const;
    HttpReply Query(const HttpRequest& request, std::string& note) const;
    HttpReply BuildList(const HttpRequest& request, std::string& note) const;
    HttpReply Bird(const HttpRequest& request, std::string& note) const;
    HttpReply Fix(const HttpRequest& request, std::string& note) const;

    // The serial of the request's "sn" or an error reply.
    bool Device(const HttpRequest& request, uint32_t& serial, HttpReply& error, std::string& note) const;
    HttpReply Ok(std::initializer_list<std::string> lines) const;
    std::string LineEnd() const { return faults_.crlf ? "\r\n" : "\n"; }

    const FirmwareTree& tree_;
    const Faults& faults_;
};

}  // namespace updateserver

#endif
