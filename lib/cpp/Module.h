#ifndef _Lumastrix_Module_H_
#define _Lumastrix_Module_H_

// One addressed device module, reached through the Link it owns. In
// networking mode (the default) the module's address is learnt from the link
// after every connect; a module reached through a router keeps the address
// it was made with (its address on the router's I2C network).

#include <stdint.h>

#include <memory>

#include "Link.h"
#include "aDefs.h"
#include "aError.h"

namespace Veltrane {
namespace Lumastrix {

// Commands of the echo test and the capability queries.
#define aMODULE_CMD_ECHO 23
#define aMODULE_CMD_CAPABILITY 73
#define aMODULE_CAP_HAS_UEI 1
#define aMODULE_CAP_CLASS_QUANTITY 4
#define aMODULE_CAP_SUBCLASS_QUANTITY 5
#define aMODULE_CAP_ENTITY_GROUP 6
// Address learning: attempts, and the pause after a failed one.
#define aMODULE_AUTONETWORK_ATTEMPTS 4
#define aMODULE_AUTONETWORK_PAUSE_MS 5

class Module {
public:
    Module(uint8_t address, uint8_t model);
    Module(uint8_t address, bool networkingMode, uint8_t model);
    virtual ~Module();
    Module(const Module&) = delete;
    Module& operator=(const Module&) = delete;

    // aErrParam for serial number 0; otherwise discoverAndConnect.
    aErr connect(linkType type, uint32_t serialNumber);
    aErr discoverAndConnect(linkType type, uint32_t serialNumber);
    // aErrBusy when connected.
    aErr connectFromSpec(const linkSpec& specifier);
    // Reaches this module through the router's link (shared, use count raised).
    aErr connectThroughLinkModule(Module* router);
    aErr reconnect();
    aErr disconnect();
    bool isConnected() const;
    int32_t getStatus() const;

    uint8_t getModuleAddress() const { return m_address; }
    void setModuleAddress(uint8_t address) { m_address = address; }
    void setNetworkingMode(bool on) { m_networking = on; }
    Link* getLink() const { return m_link.get(); }

    aErr getLinkSpecifier(linkSpec* specifier) const;
    aErr getConfig(aWeaveConfig* config) const;
    aErr setConfig(const aWeaveConfig& config);
    aErr enablePacketLog(const char* path);
    aErr disablePacketLog();

    // Echo test: the module must send the bytes back.
    aErr debug(const uint8_t* data, uint8_t length);
    // Capability queries. hasUEI answers the module's verdict (aErrNone: it
    // has the UEI); flags may be 0, 0x40 or 0x80.
    aErr hasUEI(uint8_t command, uint8_t option, uint8_t index, uint8_t flags);
    aErr classQuantity(uint8_t command, uint8_t* count);
    aErr subClassQuantity(uint8_t command, uint8_t option, uint8_t* count);
    aErr entityGroup(uint8_t command, uint8_t option, uint8_t* group);

private:
    // Learns the module address after a connect (networking mode only).
    aErr _autoNetwork();
    // One capability exchange: request out, reply of the expected length in.
    aErr _capability(const uint8_t* request, uint8_t length, uint8_t replyLength, uint8_t* answer);

    std::unique_ptr<Link> m_link;
    uint8_t m_address;
    bool m_networking;
    uint8_t m_model;
};

}  // namespace Lumastrix
}  // namespace Veltrane

#endif
