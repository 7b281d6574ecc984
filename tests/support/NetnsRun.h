#ifndef QUORVEL_NETNS_RUN_H
#define QUORVEL_NETNS_RUN_H

// Running a command inside the private network namespaces of
// tools/netns/run-in-netns, for tests that discover over TCP/IP (which sends
// multicast and so must never run on the machine's real interfaces).

#include <string>
#include <vector>

#include "testsupport.h"

namespace testsupport {

// run-in-netns's exit status when namespaces are unavailable (a skip).
constexpr int kNamespacesUnavailable = 77;

// This program's own path, to start it again in a helper mode.
std::string SelfPath();
// True inside run-in-netns (it sets QUORVEL_NETNS_PRIVATE=1).
bool InPrivateNamespace();
// Runs command in a private namespace; with testHost, that shell command
// line first runs on the test host (10.77.0.2) until it prints "ready".
// The virtual USB bus preload stays outside: the namespace tools are not ours.
ProcResult RunInNamespace(const std::string& testHost, const std::vector<std::string>& command);

}  // namespace testsupport

#endif
