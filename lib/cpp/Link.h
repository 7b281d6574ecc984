#ifndef _Lumastrix_Link_H_
#define _Lumastrix_Link_H_

// The connection through which modules are reached. A Link turns a link
// specifier into a link id of the link layer (aLink.h), waits until the link
// runs, and offers request-reply exchanges over it: raw command packets, UEI
// values, the address query. Several Links (and so several Modules) can hold
// the same link-layer link; its use count keeps it alive until the last one
// lets go.
//
// All state is in a private record, so the class itself is one pointer. A
// Link is used from one thread at a time; the link layer's threads run
// underneath. Nothing here throws: every operation answers an aErr.

#include <stdint.h>

#include <functional>

#include "aDefs.h"
#include "aError.h"
#include "aPacket.h"
#include "aUEIEncoding.h"
#include "packetfifo.h"

namespace Veltrane {
namespace Lumastrix {

// 127.0.0.1 as an in_addr value (network byte order) on this little-endian host.
constexpr uint32_t aWEAVE_LOOPBACK = 0x0100007F;

// Connection settings of a Link, copied by value.
struct aWeaveConfig {
    // A USB connection is made as a link server with a client link in front
    // of it, and AWEAVE specifiers are accepted. (Link servers are not built
    // yet: a connect that needs one answers aErrUnimplemented.)
    bool serverMode = true;
    // When discovery and connection fail, try the other of USB and AWEAVE.
    bool fallbackToOther = true;
    // The link server accepts connections on 127.0.0.1 only.
    bool loopbackOnly = true;
    // The link server's TCP port, once a server link is made.
    uint16_t serverPort = 0;
    // IPv4 address (network byte order) of the interface for discovery and
    // for the server; 127.0.0.1 by default.
    uint32_t interfaceAddress = aWEAVE_LOOPBACK;
};

// One cached stream value, keyed by a stream key.
struct StreamEntry {
    uint64_t key = 0;
    bool fresh = false;                                          // a value arrived since it was last read
    std::function<aErr(const aPacket*, void*)> callback;        // may be empty
    void* reference = nullptr;                                   // handed to the callback
    uint32_t value = 0;                                          // the last sample's value
};

// Polls of the connect procedure while the link comes up.
#define aLINK_CONNECT_POLL_MS 10
#define aLINK_CONNECT_POLLS 200
// Replies are awaited this long.
#define aLINK_REPLY_TIMEOUT_MS 1000
// Longest name kept.
#define aLINK_MAX_NAME 1024

class Link {
public:
    // Elements of a stream key (bits 8 * element .. ; the subindex at 32).
    enum STREAM_KEY {
        STREAM_KEY_MODULE = 0,
        STREAM_KEY_COMMAND = 1,
        STREAM_KEY_OPTION = 2,
        STREAM_KEY_INDEX = 3,
        STREAM_KEY_SUBINDEX = 4
    };

    explicit Link(const char* name);
    Link(const linkSpec& specifier, const char* name);
    ~Link();
    Link(const Link&) = delete;
    Link& operator=(const Link&) = delete;

    // aErrBusy while connected.
    aErr setLinkSpecifier(const linkSpec& specifier);
    // aErrNotFound when none is stored.
    aErr getLinkSpecifier(linkSpec* specifier) const;
    const char* getName() const;
    aErr getConfig(aWeaveConfig* config) const;
    // aErrPermission while connected.
    aErr setConfig(const aWeaveConfig& config);

    // Connects to the stored specifier; aErrConnection when a link id is held.
    aErr connect();
    // Finds a module (by serial number, or the first of the model, 0: any)
    // and connects to it.
    aErr discoverAndConnect(linkType type, uint32_t serialNumber, uint8_t model);
    // Holds the other Link's link-layer link too (raising its use count).
    aErr connectThroughLinkModule(Link& other);
    // Releases the link id. Always aErrNone.
    aErr disconnect();
    // Resets the link-layer link (result not reported). Always aErrNone.
    aErr reset();
    bool isConnected() const;
    // The link-layer status; kLinkError without a link id.
    int32_t getStatus() const;
    // Connections the module ended (aLink_GetConnectionLosses); 0 without a link id.
    uint32_t getConnectionLosses() const;
    // Waits for the link to stop running or its loss count to move past
    // since (aLink_AwaitConnectionLoss); aErrConnection without a link id.
    aErr awaitConnectionLoss(uint32_t since, uint32_t milliseconds) const;
    // The link-layer id; 0 while not connected.
    int32_t getLinkId() const;

    // The address of the module at the other end of the link (address query).
    aErr getModuleAddress(uint8_t* address);

    // Raw commands: the frame to module carries command, then length bytes.
    aErr sendPacket(uint8_t module, uint8_t command, uint8_t length, const uint8_t* data);
    // The first packet whose first *length data bytes equal match (any
    // address); *length and data (28 bytes) then receive its length and data.
    aErr receivePacket(uint8_t module, const uint8_t* match, uint8_t* length, uint8_t* data);

    // Packet log file for this link ("START" first).
    aErr enablePacketLog(const char* path);
    aErr disablePacketLog();

    // UEI exchanges (uei records: aUEIEncoding.h).
    aErr sendUEI(const uei& record);
    aErr sendUEI(const uei& record, uint8_t subindex);
    // Awaits the reply the filter (default aUEI_Filter) accepts for the
    // record; the record's fields, not the separate arguments, are matched.
    aErr receiveUEI(uint8_t module, uint8_t command, uint8_t option, uint8_t index, uei* record);
    aErr receiveUEI(uint8_t module, uint8_t command, uint8_t option, uint8_t index, uei* record,
                    aPacketFilter filter);
    // Discards queued replies that aUEI_Filter accepts for these values.
    aErr dropMatchingUEIPackets(uint8_t module, uint8_t command, uint8_t option, uint8_t index);

    // Stream keys and the stream value cache.
    static uint64_t createStreamKey(uint8_t module, uint8_t command, uint8_t option, uint8_t index,
                                    uint8_t subindex);
    // One element of a key; 0 for an element outside 0..4.
    static uint8_t getStreamKeyElement(uint64_t key, uint8_t element);
    // The cached value: aErrNone when fresh (then no longer), aErrStreamStale
    // when read before, aErrNotFound (value untouched) when not cached.
    aErr getStreamValue(uint8_t module, uint8_t command, uint8_t option, uint8_t index, uint8_t subindex,
                        uint32_t* value);

    // The private record (LinkImpl.h), for the library's own Link parts.
    struct impl;
    impl* getImpl() const { return m_impl; }

private:
    impl* m_impl;
};

}  // namespace Lumastrix
}  // namespace Veltrane

#endif
