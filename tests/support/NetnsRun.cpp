#include "NetnsRun.h"

#include <stdlib.h>
#include <string.h>
#include <unistd.h>

namespace testsupport {

std::string SelfPath()
{
    char path[4096];
    ssize_t n = readlink("/proc/self/exe", path, sizeof path - 1);
    return n > 0 ? std::string(path, static_cast<size_t>(n)) : std::string();
}

bool InPrivateNamespace()
{
    const char* mark = getenv("QUORVEL_NETNS_PRIVATE");
    return mark && strcmp(mark, "1") == 0;
}

ProcResult RunInNamespace(const std::string& testHost, const std::vector<std::string>& command)
{
    std::vector<std::string> argv = {std::string(QUORVEL_SOURCE_DIR) + "/tools/netns/run-in-netns"};
    if (!testHost.empty())
        argv.insert(argv.end(), {"--test-host", testHost, "--wait-for", "ready"});
    argv.push_back("--");
    argv.insert(argv.end(), command.begin(), command.end());
    RunOptions options;
    options.env = {"LD_PRELOAD="};
    options.timeoutSeconds = 60;
    return Run(argv, options);
}

}  // namespace testsupport
