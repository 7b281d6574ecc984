#ifndef _Lumastrix_LinkImpl_H_
#define _Lumastrix_LinkImpl_H_

// The private record of a Link, shared by the files that implement Link
// (connection, UEI, stream cache, packet log). Not for users of the library.

#include <stdint.h>

#include <map>
#include <mutex>
#include <string>

#include "Link.h"
#include "aLogger.h"

namespace Veltrane {
namespace Lumastrix {

struct Link::impl {
    Link* owner = nullptr;
    int32_t linkId = 0;                  // 0 while not connected
    aLogger* logger = nullptr;           // packet log writer, made by enablePacketLog
    std::string logPath;                 // its file
    aWeaveConfig config;
    std::map<uint64_t, StreamEntry> streams;   // guarded by streamLock
    std::mutex streamLock;
    std::string name;                    // at most aLINK_MAX_NAME characters
    linkSpec* specifier = nullptr;       // owned copy, or null

    // Creates the link-layer link for the stored specifier and waits until it
    // runs. existingId is a link id to share where the type allows (AWEAVE).
    // On success linkId holds the new hold; on failure it stays 0.
    aErr connectProcedure(int32_t existingId);
    // One discovery and connect attempt of the given type.
    aErr discoverAndConnectOnce(linkType type, uint32_t serialNumber, uint8_t model);
    // Stops and frees the packet log writer, writing what it left.
    void releaseLogger();
    void flushLog();
};

}  // namespace Lumastrix
}  // namespace Veltrane

#endif
