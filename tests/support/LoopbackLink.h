#ifndef QUORVEL_LOOPBACK_LINK_H
#define QUORVEL_LOOPBACK_LINK_H

#include <arpa/inet.h>
#include <netinet/in.h>

#include "aDefs.h"

namespace testsupport {

// The linkSpec of a TCP link to a link service on 127.0.0.1.
inline linkSpec LoopbackTcpSpec(int port)
{
    linkSpec spec = {};
    spec.type = TCPIP;
    spec.ip_address = htonl(INADDR_LOOPBACK);
    spec.port = static_cast<uint32_t>(port);
    return spec;
}

}  // namespace testsupport

#endif
