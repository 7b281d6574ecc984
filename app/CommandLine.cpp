#include <cctype>
#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "Log.h"
#include "Parameters.h"
#include "UpdateServerRequest.h"
#include "aDirectory.h"
#include "path.h"

const char* const QUORVEL_APP_NAME = "Quorvel";
const char* const QUORVEL_DEFAULT_HOST = QUORVEL_DEFAULT_SERVER_HOST;
const char* const QUORVEL_SERVER_PATH = "/cgi/u";

const OptionRow g_rgOptions[] = {
    {OPT_COMMAND, "-B", ARG_NONE},
    {OPT_COMMAND, "-D", ARG_NONE},
    {OPT_COMMAND, "-G", ARG_NONE},
    {OPT_COMMAND, "-I", ARG_NONE},
    {OPT_COMMAND, "-U", ARG_NONE},
    {OPT_COMMAND, "-OVERRIDE", ARG_NONE},
    {OPT_COMMAND, "-N", ARG_NONE},
    {OPT_COMMAND, "-Y", ARG_NONE},
    {OPT_COMMAND, "-C", ARG_NONE},
    {OPT_HELP, "-h", ARG_NONE},
    {OPT_HELP, "-H", ARG_NONE},
    {OPT_PARAMETER, "-n", ARG_NONE},
    {OPT_PARAMETER, "-X", ARG_SEPARATE},
    {OPT_PARAMETER, "-Z", ARG_SEPARATE},
    {OPT_PARAMETER, "-i", ARG_SEPARATE},
    {OPT_PARAMETER, "-b", ARG_SEPARATE},
    {OPT_PARAMETER, "-d", ARG_SEPARATE},
    {OPT_PARAMETER, "-t", ARG_SEPARATE},
    {OPT_PARAMETER, "-f", ARG_SEPARATE},
    {OPT_PARAMETER, "-r", ARG_SEPARATE},
    {OPT_PARAMETER, "-s", ARG_SEPARATE},
    {OPT_PARAMETER, "-o", ARG_SEPARATE},
    {OPT_PARAMETER, "-e", ARG_SEPARATE},
    {OPT_PARAMETER, "-l", ARG_SEPARATE},
    {OPT_PARAMETER, "-k", ARG_SEPARATE},
    {OPT_PARAMETER, "-u", ARG_SEPARATE},
    {OPT_HELP, "--help", ARG_NONE},
    {-1, nullptr, ARG_NONE},
};

namespace {

const char* const INVALID_FORMAT = "Invalid format for \"%s\" parameter, unprocessed characters [%s]";

// Only the long options may be shortened; a single letter must be typed whole.
bool abbreviable(const OptionRow& row)
{
    return strlen(row.text) > 2;
}

// Exact match first, else the one long option the word is a prefix of.
const OptionRow* match_option(const std::string& name)
{
    for (const OptionRow* row = g_rgOptions; row->kind != -1; ++row)
        if (name == row->text)
            return row;
    const OptionRow* found = nullptr;
    for (const OptionRow* row = g_rgOptions; row->kind != -1; ++row) {
        if (strncmp(row->text, name.c_str(), name.size()) != 0)
            continue;
        if (found || !abbreviable(*row))
            return nullptr;  // ambiguous, or only a prefix of a single letter
        found = row;
    }
    return found;
}

uint32_t digits_value(const char* text, const char** end, const char* alphabet, uint32_t base)
{
    if (!text || !end)
        return 0;
    uint32_t value = 0;
    const char* p = text;
    for (; *p; ++p) {
        const char* d = strchr(alphabet, *p);
        if (!d)
            return 0;
        uint32_t digit = static_cast<uint32_t>(isdigit(static_cast<unsigned char>(*p))
                                                   ? *p - '0'
                                                   : (tolower(static_cast<unsigned char>(*p)) - 'a' + 10));
        value = value * base + digit;  // wraps: the low 32 bits of the value
    }
    *end = p;
    return value;
}

bool leftover(const char* end)
{
    return end && *end;
}

// -d and -r: hexadecimal serial number, optional 0x prefix, never 0.
int serial_argument(QuorvelDisplayInterface& display, const char* option, const char* argument,
                    uint32_t& serial, const char* prefixNote, const char* invalidText)
{
    const char* text = argument;
    if (strncmp(text, "0x", 2) == 0 || strncmp(text, "0X", 2) == 0) {
        Log::log(DEBUG_Quorvel, "%s", prefixNote);
        text += 2;
    }
    const char* end = nullptr;
    serial = _get_hex_arg(text, &end);
    if (leftover(end))
        display.message(QuorvelDisplayInterface::LEVEL_ERROR, INVALID_FORMAT, option, end);
    if (serial == 0) {
        display.message(QuorvelDisplayInterface::LEVEL_ERROR, invalidText, text);
        return 1;
    }
    return 0;
}

int transport_argument(QuorvelDisplayInterface& display, const char* argument, Parameters& params)
{
    params.transportGiven = true;
    if (strncmp(argument, "USB", 3) == 0) {
        params.transport = USB;
    } else if (strncmp(argument, "TCP", 3) == 0) {
        params.transport = TCPIP;
    } else if (strncmp(argument, "RECOVER", 7) == 0) {
        params.transport = TRANSPORT_RECOVER;
    } else {
        display.message(QuorvelDisplayInterface::LEVEL_ERROR,
                        "Invalid transport type:[%s]\nMust be one of the following: USB, TCPIP, RECOVER", argument);
        params.transport = INVALID;
        return 1;
    }
    return 0;
}

int command_option(QuorvelDisplayInterface& display, const OptionRow& row, Parameters& params)
{
    switch (row.text[1]) {
    case 'B': params.commands.Set(CMD_BUILD_LIST); return 0;
    case 'C': params.commands.Set(CMD_CHECK); return 0;
    case 'D': params.commands.Set(CMD_DISCOVER); return 0;
    case 'G': params.commands.Set(CMD_GET); return 0;
    case 'I': params.commands.Set(CMD_INFO); return 0;
    case 'N': params.commands.Set(CMD_FINGERPRINT); return 0;
    case 'U': params.commands.Set(CMD_UPDATE); return 0;
    case 'O': params.override = true; return 0;
    default:
        display.message(QuorvelDisplayInterface::LEVEL_ERROR, "Unhandled command: [%s]", row.text);
        return 1;
    }
}

int parameter_option(QuorvelDisplayInterface& display, const OptionRow& row, const char* arg, Parameters& params)
{
    const char* end = nullptr;
    switch (row.text[1]) {
    case 'X': {
        params.debugMaskGiven = true;
        int base = (strncmp(arg, "0x", 2) == 0 || strncmp(arg, "0X", 2) == 0) ? 16 : 10;
        char* rest = nullptr;
        params.debugMask = static_cast<uint32_t>(strtoul(arg, &rest, base));
        if (rest && *rest)
            display.message(QuorvelDisplayInterface::LEVEL_ERROR, INVALID_FORMAT, row.text, rest);
        else
            Log::ActivatePackage(params.debugMask);
        return 0;
    }
    case 'Z': params.commands.Set(CMD_Z); return 0;
    case 'b': {
        uint32_t value = _get_int_arg(arg, &end);
        if (leftover(end)) {
            display.message(QuorvelDisplayInterface::LEVEL_ERROR, INVALID_FORMAT, row.text, end);
            return 1;
        }
        params.build = std::to_string(value);
        return 0;
    }
    case 'd':
        return serial_argument(display, row.text, arg, params.serialNumber,
                               "Discarding '0x' serial number prefix\n",
                               "Invalid serial number obtained from argument [%s]");
    case 'r':
        return serial_argument(display, row.text, arg, params.routerSerial,
                               "Discarding '0x' router serial number prefix\n",
                               "Invalid router serial number obtained from argument [%s]");
    case 'e': params.echo = true; return 0;
    case 'f': params.birdFile = arg; return 0;
    case 'i': params.storageDirectory = arg; return 0;
    case 'k': params.logFile = arg; return 0;
    case 'l': params.historyMessage = arg; return 0;
    case 's': params.serialPort = arg; return 0;
    case 'u': params.serverUrl = _server_url_from_argument(arg); return 0;
    case 'n': params.flagN = true; return 0;
    case 'o': {
        params.baudRate = _get_int_arg(arg, &end);
        if (leftover(end)) {
            display.message(QuorvelDisplayInterface::LEVEL_ERROR, INVALID_FORMAT, row.text, end);
            return 1;
        }
        return 0;
    }
    case 't': return transport_argument(display, arg, params);
    default:
        if (arg)
            display.message(QuorvelDisplayInterface::LEVEL_ERROR, "Unhandled option: [%s][%s]", row.text, arg);
        else
            display.message(QuorvelDisplayInterface::LEVEL_ERROR, "Unhandled option: [%s]", row.text);
        return 1;
    }
}

}  // namespace

std::string _default_server_url()
{
    return UpdateServerRequest::DEFAULT_BASE_URL;
}

std::string _server_url_from_argument(const std::string& argument)
{
    size_t hostStart = argument.find("://");
    hostStart = hostStart == std::string::npos ? 0 : hostStart + 3;
    if (argument.empty() || argument.find('/', hostStart) != std::string::npos)
        return argument;
    return argument + QUORVEL_SERVER_PATH;
}

uint32_t _get_hex_arg(const char* text, const char** end)
{
    return digits_value(text, end, "0123456789ABCDEFabcdef", 16);
}

uint32_t _get_int_arg(const char* text, const char** end)
{
    return digits_value(text, end, "0123456789", 10);
}

int _validate_params(Parameters&)
{
    return 0;
}

void _release_params(Parameters& params)
{
    params = Parameters();
}

int _get_params(QuorvelDisplayInterface& display, int argc, const char* const* argv, Parameters& params)
{
    params = Parameters();
    params.serverUrl = _default_server_url();
    if (argc > 0 && argv[0]) {
        const char* slash = strrchr(argv[0], '/');
        params.programName = slash ? slash + 1 : argv[0];
    }
    char home[HOME_DIRECTORY_SIZE] = "";
    if (aDirectory_GetHomeDirectory(home, sizeof home) == aErrNone)
        params.homeDirectory = home;
    Log::log(DEBUG_APP, "Home directory:[%s]\n", params.homeDirectory.c_str());

    int result = 0;
    for (int i = 1; i < argc; ++i) {
        const char* word = argv[i];
        if (!word || word[0] != '-')
            continue;  // words that are not options are ignored

        std::string name = word;
        const char* inlineArg = nullptr;
        if (const char* eq = strchr(word, '=')) {
            name.assign(word, static_cast<size_t>(eq - word));
            inlineArg = eq + 1;
        }
        const OptionRow* row = match_option(name);
        if (!row)
            continue;  // unknown or ambiguous: skipped silently

        const char* arg = nullptr;
        if (row->argument == ARG_SEPARATE) {
            if (inlineArg)
                arg = inlineArg;
            else if (i + 1 < argc && argv[i + 1] && argv[i + 1][0] != '-')
                arg = argv[++i];
            else
                continue;  // missing argument: skipped silently
        } else if (inlineArg) {
            continue;  // an argument to an option that takes none: skipped silently
        }

        switch (row->kind) {
        case OPT_HELP:
            params.commands.Set(CMD_HELP);
            params.helpRequested = true;
            return 0;
        case OPT_COMMAND:
            if (command_option(display, *row, params))
                result = 1;
            break;
        case OPT_PARAMETER:
            if (parameter_option(display, *row, arg, params))
                result = 1;
            break;
        default:
            display.message(QuorvelDisplayInterface::LEVEL_ERROR, "Invalid argument: %s", word);
            result = 1;
            break;
        }
    }

    Log::log(DEBUG_APP, "\nApplication parameters:[%s]\n", params.programName.c_str());
    for (int i = 1; i < argc; ++i)
        Log::log(DEBUG_APP, "\t[%s]\n", argv[i] ? argv[i] : "");
    if (result == 0)
        result = _validate_params(params);
    return result;
}
