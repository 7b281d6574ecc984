#include "UpdateServerRequest.h"

#include <cstdio>
#include <cstdlib>
#include <stdexcept>
#include <vector>

#include "HTTPRequest.h"
#include "Log.h"

namespace {

const long HTTP_OK = 200;

std::string _serial_text(uint32_t serialNumber)
{
    char text[9];
    snprintf(text, sizeof text, "%08X", serialNumber);
    return text;
}

// Lines end at a line feed alone (a carriage return before it stays in the
// line); empty lines are skipped.
std::vector<std::string> _split_lines(const std::string& body)
{
    std::vector<std::string> lines;
    size_t start = 0;
    while (start < body.size()) {
        size_t end = body.find('\n', start);
        if (end == std::string::npos)
            end = body.size();
        if (end > start)
            lines.push_back(body.substr(start, end - start));
        start = end + 1;
    }
    return lines;
}

// The text up to the first carriage return or line feed.
std::string _until_line_end(const std::string& text, size_t from = 0)
{
    size_t end = text.find_first_of("\r\n", from);
    return text.substr(from, end == std::string::npos ? std::string::npos : end - from);
}

// Performs the request and checks status and status line. On success the
// reply's lines are in `lines`, the status line first.
bool _request(const char* name, const char* baseUrl, const HTTPRequest::Parameters& parameters,
              std::vector<std::string>& lines)
{
    std::string url = baseUrl ? baseUrl : UpdateServerRequest::DEFAULT_BASE_URL;
    try {
        HTTPResponse response = HTTPRequest::GET(url, parameters);
        if (response.get_status() != HTTP_OK) {
            int status = static_cast<int>(response.get_status());
            if (std::string(name) == "ping")
                Log::log(DEBUG_ServerComm, "PING ==> [%d] [%s]\n", status, response.get_response().c_str());
            else
                Log::log(DEBUG_ServerComm, "%s ==> [%d] [%s]\n", name, status, response.get_response().c_str());
            return false;
        }
        lines = _split_lines(response.get_response());
        if (lines.empty() || lines[0].compare(0, 2, "ok") != 0) {
            Log::log(DEBUG_ServerComm, "ServerCommClass: %s failed [%s]\n", name, response.get_request().c_str());
            return false;
        }
        return true;
    } catch (const std::runtime_error& e) {
        Log::log(DEBUG_ServerComm, "%s ==> [%s]\n", name, e.what());
        return false;
    }
}

}  // namespace

bool UpdateServerRequest::ping(const char* baseUrl)
{
    std::vector<std::string> lines;
    return _request("ping", baseUrl, {{"op", "hi"}, {"rv", "2"}}, lines);
}

bool UpdateServerRequest::QueryBuild(uint32_t serialNumber, std::string& build, std::string& firmware,
                                     const char* baseUrl)
{
    std::vector<std::string> lines;
    if (!_request("QueryBuild", baseUrl, {{"op", "qu"}, {"sn", _serial_text(serialNumber)}}, lines))
        return false;
    if (lines.size() > 1)
        build = lines[1];
    if (lines.size() > 2)
        firmware = _until_line_end(lines[2]);
    return true;
}

bool UpdateServerRequest::GetBuild(uint32_t serialNumber, const std::string& firmware, const std::string& build,
                                   std::string& image, const char* baseUrl, bool noCalibration)
{
    std::vector<std::string> lines;
    HTTPRequest::Parameters parameters{{"bld", build},
                                       {"fw", firmware},
                                       {"no_cal", noCalibration ? "true" : "false"},
                                       {"op", "bird"},
                                       {"sn", _serial_text(serialNumber)}};
    if (!_request("GetBuild", baseUrl, parameters, lines))
        return false;
    image.clear();
    if (lines.size() > 1)
        image = lines[1];
    return true;
}

bool UpdateServerRequest::GetBuildList(uint32_t serialNumber, BuildList& builds, const char* baseUrl)
{
    static const char* const NAME = "GetBuildList";
    builds.clear();
    std::vector<std::string> lines;
    if (!_request(NAME, baseUrl, {{"op", "builds"}, {"sn", _serial_text(serialNumber)}}, lines))
        return false;
    for (size_t i = 1; i < lines.size(); ++i) {
        const std::string& line = lines[i];
        Log::log(DEBUG_ServerComm, "%s processing entry: [%s]\n", NAME, line.c_str());
        if (line.size() < 3)
            continue;
        size_t separator = line.find(';');
        std::string build = _until_line_end(line.substr(0, separator));
        std::string version = separator == std::string::npos ? "" : _until_line_end(line, separator + 1);
        Log::log(DEBUG_ServerComm, "%s [%.10s][%.10s]\n", NAME, build.c_str(), version.c_str());
        builds.emplace(build, version);  // a repeated build keeps its first entry
    }
    return true;
}

bool UpdateServerRequest::GetRecoveryInfo(const uint32_t fingerprint[4], uint32_t& serialNumber, uint32_t& build,
                                          const char* baseUrl)
{
    // The spaces go out as the "%20" separators the server expects.
    char value[64];
    snprintf(value, sizeof value, "%08X %08X %08X %08X", fingerprint[0], fingerprint[1], fingerprint[2],
             fingerprint[3]);
    std::vector<std::string> lines;
    if (!_request("GetRecoveryInfo", baseUrl, {{"brief", "true"}, {"fp", value}, {"op", "fix"}}, lines))
        return false;
    lines.resize(3);  // absent lines read as empty
    Log::log(DEBUG_ServerComm, "%s [%.20s][%.20s][%.20s]\n", "GetRecoveryInfo", lines[0].c_str(),
             lines[1].c_str(), lines[2].c_str());
    if (!lines[1].empty())
        serialNumber = static_cast<uint32_t>(strtoul(lines[1].c_str(), nullptr, 16));
    if (!lines[2].empty())
        build = static_cast<uint32_t>(strtoul(lines[2].c_str(), nullptr, 0));
    return true;
}
