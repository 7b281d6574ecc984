#ifndef QUORVEL_PARAMETERS_H
#define QUORVEL_PARAMETERS_H

#include <cstdint>
#include <string>
#include <vector>

#include "Quorvel.h"
#include "QuorvelDisplayInterface.h"
#include "aDefs.h"

// Command bits set by the command-line options.
enum COMMANDS : uint32_t {
    CMD_DISCOVER = 0x1,
    CMD_UPDATE = 0x2,
    CMD_BUILD_LIST = 0x4,
    CMD_GET = 0x8,
    CMD_INFO = 0x10,
    CMD_CHECK = 0x20,
    CMD_FINGERPRINT = 0x40,
    CMD_Z = 0x80,
    CMD_HELP = 0x80000000,
};
constexpr uint32_t CMD_ANY = 0x305FF;

class CommandsClass {
public:
    void Set(uint32_t c) { mask_ |= c; }
    bool IsSet(uint32_t m) const { return (mask_ & m) != 0; }
    uint32_t Mask() const { return mask_; }

private:
    uint32_t mask_ = 0;
};

// -t RECOVER: not a link kind, the boot-ROM route.
constexpr int32_t TRANSPORT_RECOVER = 255;
constexpr uint32_t DEFAULT_BAUD_RATE = 115200;
constexpr size_t HOME_DIRECTORY_SIZE = 2048;

extern const char* const QUORVEL_APP_NAME;        // "Quorvel"
extern const char* const QUORVEL_DEFAULT_HOST;    // host:port of the default update server
extern const char* const QUORVEL_SERVER_PATH;     // "/cgi/u"

struct Parameters {
    CommandsClass commands;
    uint32_t serialNumber = 0;
    uint32_t routerSerial = 0;
    int32_t transport = USB;
    bool transportGiven = false;
    std::string serialPort;
    uint32_t baudRate = DEFAULT_BAUD_RATE;
    uint8_t moduleAddress = 0;
    std::string birdFile;
    std::string historyMessage;
    std::string build;
    bool echo = false;
    std::string serverUrl;
    bool flagN = false;
    std::string storageDirectory;
    std::string programName;
    std::string homeDirectory;
    std::string logMode = "a+";
    std::string logFile = "Quorvel.log";
    bool override = false;
    uint32_t debugMask = 0;
    bool debugMaskGiven = false;
    bool helpRequested = false;
};

// The option table.
enum { OPT_HELP = 0, OPT_COMMAND = 1, OPT_PARAMETER = 2 };
enum { ARG_NONE = 0, ARG_SEPARATE = 1 };
struct OptionRow {
    int32_t kind;
    const char* text;
    int32_t argument;
};
extern const OptionRow g_rgOptions[];

// The default server URL: http://<default host>/cgi/u.
std::string _default_server_url();
// -u takes a whole URL; a bare host[:port] (as the usage shows it) gets the
// standard path so that it reaches the server's request handler.
std::string _server_url_from_argument(const std::string& argument);

int _get_params(QuorvelDisplayInterface& display, int argc, const char* const* argv, Parameters& params);
int _validate_params(Parameters& params);
void _release_params(Parameters& params);
uint32_t _get_hex_arg(const char* text, const char** end);
uint32_t _get_int_arg(const char* text, const char** end);

void _display_app_version(QuorvelDisplayInterface& display);
void _display_copyright(QuorvelDisplayInterface& display);
void _display_usage(bool extended, bool help);
void _display_device_list(QuorvelDisplayInterface& display, const std::vector<DeviceInfo>& list, int32_t type);
void _display_builds(QuorvelDisplayInterface& display, const BuildMap& builds, uint32_t serial);
void _display_fingerprint(QuorvelDisplayInterface& display, const Fingerprint& fingerprint);

#endif
