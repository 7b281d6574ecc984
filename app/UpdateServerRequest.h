#ifndef QUORVEL_UPDATE_SERVER_REQUEST_H
#define QUORVEL_UPDATE_SERVER_REQUEST_H

#include <cstdint>
#include <map>
#include <string>

// The five requests to the update server. Each is one HTTP GET on the base
// URL (which already holds the path, normally ending in "/cgi/u") with a
// query string, answered by lines of text whose first line begins with "ok"
// on success. A null base URL means DEFAULT_BASE_URL. No operation throws:
// every failure is logged under DEBUG_ServerComm and returns false, leaving
// the outputs as they were (except the build map, emptied first).
class UpdateServerRequest {
public:
    // Build number text -> version text, ordered byte-wise by build text.
    typedef std::map<std::string, std::string> BuildList;

    static constexpr const char* SERVER_PATH = "/cgi/u";
    static constexpr const char* DEFAULT_BASE_URL = "http://" QUORVEL_DEFAULT_SERVER_HOST "/cgi/u";

    static bool ping(const char* baseUrl = nullptr);

    // The current build and the firmware identifier, each set only when its
    // reply line is present.
    static bool QueryBuild(uint32_t serialNumber, std::string& build, std::string& firmware,
                           const char* baseUrl = nullptr);

    // The Base64 text of the image of the build.
    static bool GetBuild(uint32_t serialNumber, const std::string& firmware, const std::string& build,
                         std::string& image, const char* baseUrl = nullptr, bool noCalibration = false);

    static bool GetBuildList(uint32_t serialNumber, BuildList& builds, const char* baseUrl = nullptr);

    // The device's serial number and the build to recover it with, each set
    // only when its reply line is present.
    static bool GetRecoveryInfo(const uint32_t fingerprint[4], uint32_t& serialNumber, uint32_t& build,
                                const char* baseUrl = nullptr);
};

#endif
