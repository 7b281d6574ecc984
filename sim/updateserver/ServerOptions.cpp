#include "ServerOptions.h"

#include <cstdlib>
#include <cstring>
#include <set>

namespace updateserver {

namespace {

const std::set<std::string> OPERATIONS = {"hi", "qu", "builds", "bird", "fix"};

// "HOST:PORT", "[V6HOST]:PORT" or ":PORT".
bool _split_host_port(const std::string& text, std::string& host, std::string& port)
{
    size_t colon = text.rfind(':');
    if (colon == std::string::npos)
        return false;
    host = text.substr(0, colon);
    port = text.substr(colon + 1);
    if (host.size() >= 2 && host.front() == '[' && host.back() == ']')
        host = host.substr(1, host.size() - 2);
    if (host.empty())
        host = "127.0.0.1";
    return !port.empty() && port.find_first_not_of("0123456789") == std::string::npos;
}

// "OP=NUMBER" with OP one of the operations (or "all" when allowed).
bool _operation_value(const std::string& text, bool allowAll, std::map<std::string, int>& into)
{
    size_t eq = text.find('=');
    if (eq == std::string::npos)
        return false;
    std::string op = text.substr(0, eq);
    std::string number = text.substr(eq + 1);
    if (!(OPERATIONS.count(op) || (allowAll && op == "all")) || number.empty() ||
        number.find_first_not_of("0123456789") != std::string::npos || number.size() > 9)
        return false;
    into[op] = atoi(number.c_str());
    return true;
}

}  // namespace

int Faults::DelayFor(const std::string& operation) const
{
    auto it = delayMs.find(operation);
    if (it != delayMs.end())
        return it->second;
    it = delayMs.find("all");
    return it != delayMs.end() ? it->second : 0;
}

const char* Usage()
{
    return "Usage: quorvel-updateserver [--root DIR] [--listen HOST:PORT] [--port-file FILE] [--quiet]\n"
           "  --root DIR          the firmware tree to serve (default: the current directory)\n"
           "  --listen HOST:PORT  address to listen on (default " QUORVEL_DEFAULT_SERVER_HOST
           "; port 0 picks a free port)\n"
           "  --port-file FILE    write the port bound to FILE once listening\n"
           "  --quiet             do not log requests\n"
           "Test switches:\n"
           "  --status OP=CODE    answer operation OP (hi, qu, builds, bird, fix) with HTTP status CODE\n"
           "  --delay OP=MS       wait MS milliseconds before answering OP (or \"all\")\n"
           "  --bad-base64        send image text that is not valid Base64\n"
           "  --okay              begin replies with \"okay\" instead of \"ok\"\n"
           "  --crlf              end reply lines with CR LF\n";
}

bool ParseOptions(int argc, char** argv, ServerOptions& options, std::string& error)
{
    if (!_split_host_port(QUORVEL_DEFAULT_SERVER_HOST, options.host, options.port)) {
        error = "bad built-in default address " QUORVEL_DEFAULT_SERVER_HOST;
        return false;
    }
    for (int i = 1; i < argc; ++i) {
        std::string option = argv[i];
        auto value = [&](std::string& into) {
            if (i + 1 >= argc)
                return false;
            into = argv[++i];
            return true;
        };
        std::string text;
        bool ok = true;
        if (option == "--root")
            ok = value(options.root);
        else if (option == "--listen")
            ok = value(text) && _split_host_port(text, options.host, options.port);
        else if (option == "--port-file")
            ok = value(options.portFile);
        else if (option == "--quiet")
            options.quiet = true;
        else if (option == "--status")
            ok = value(text) && _operation_value(text, false, options.faults.status);
        else if (option == "--delay")
            ok = value(text) && _operation_value(text, true, options.faults.delayMs);
        else if (option == "--bad-base64")
            options.faults.badBase64 = true;
        else if (option == "--okay")
            options.faults.okay = true;
        else if (option == "--crlf")
            options.faults.crlf = true;
        else {
            error = "unknown option " + option;
            return false;
        }
        if (!ok) {
            error = "bad or missing value for " + option;
            return false;
        }
    }
    return true;
}

}  // namespace updateserver
