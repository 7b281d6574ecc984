#include "Module.h"

#include <string.h>

#include <new>

#include "aDebug.h"
#include "aLink.h"
#include "aTime.h"

namespace Veltrane {
namespace Lumastrix {

Module::Module(uint8_t address, uint8_t model) : Module(address, true, model) {}

Module::Module(uint8_t address, bool networkingMode, uint8_t model)
    : m_link(new (std::nothrow) Link("Link")), m_address(address), m_networking(networkingMode), m_model(model)
{
}

Module::~Module() = default;

// ---------------------------------------------------------------------------
// Connecting

aErr Module::_autoNetwork()
{
    if (!m_networking || !m_link)
        return aErrNone;
    uint8_t address = 0;
    aErr err = aErrNotReady;
    for (int attempt = 0; attempt < aMODULE_AUTONETWORK_ATTEMPTS; attempt++) {
        err = m_link->getModuleAddress(&address);
        if (err != aErrNotReady)
            break;
        aTime_MSSleep(aMODULE_AUTONETWORK_PAUSE_MS);
    }
    if (err == aErrNotReady)
        aDebug_Trace(aDEBUG_ADDRESS, "BOO! Failed to autoNetwork\n");
    if (err == aErrNone && address != 0 && address != m_address)
        m_address = address;
    return err;
}

aErr Module::connect(linkType type, uint32_t serialNumber)
{
    if (serialNumber == 0)
        return aErrParam;
    return discoverAndConnect(type, serialNumber);
}

aErr Module::discoverAndConnect(linkType type, uint32_t serialNumber)
{
    if (!m_link)
        return aErrInitialization;
    aErr err = m_link->discoverAndConnect(type, serialNumber, m_model);
    return err == aErrNone ? _autoNetwork() : err;
}

aErr Module::connectFromSpec(const linkSpec& specifier)
{
    if (!m_link)
        return aErrInitialization;
    if (m_link->isConnected())
        return aErrBusy;
    aErr err = m_link->setLinkSpecifier(specifier);
    if (err == aErrNone)
        err = m_link->connect();
    return err == aErrNone ? _autoNetwork() : err;
}

aErr Module::connectThroughLinkModule(Module* router)
{
    if (!m_link)
        return aErrInitialization;
    if (!router)
        return aErrParam;
    if (m_link->isConnected())
        return aErrNone;
    Link* routerLink = router->getLink();
    if (!routerLink)
        return aErrInitialization;
    linkSpec specifier;
    aErr err = routerLink->getLinkSpecifier(&specifier);
    if (err != aErrNone)
        return err;
    aWeaveConfig config;
    routerLink->getConfig(&config);
    err = m_link->setConfig(config);
    if (err != aErrNone)
        return err;
    // A router on a served USB link is reached through its link server. Only
    // a USB router has one: a TCP/IP router's specifier is used as it is.
    if (config.serverMode && specifier.type == USB) {
        specifier.type = AWEAVE;
        specifier.ip_address = config.interfaceAddress;
        specifier.port = config.serverPort;
    }
    err = m_link->setLinkSpecifier(specifier);
    if (err == aErrNone)
        err = m_link->connectThroughLinkModule(*routerLink);
    // Its address is the one on the router's network, not the router's own.
    if (err == aErrNone)
        m_networking = false;
    return err;
}

aErr Module::reconnect()
{
    if (!m_link)
        return aErrInitialization;
    aErr err = m_link->connect();
    return err == aErrNone ? _autoNetwork() : err;
}

aErr Module::disconnect()
{
    if (!m_link)
        return aErrInitialization;
    return m_link->disconnect();
}

bool Module::isConnected() const
{
    return m_link && m_link->isConnected();
}

int32_t Module::getStatus() const
{
    return m_link ? m_link->getStatus() : kLinkError;
}

// ---------------------------------------------------------------------------
// Settings

aErr Module::getLinkSpecifier(linkSpec* specifier) const
{
    if (!m_link)
        return aErrNotReady;
    return m_link->getLinkSpecifier(specifier);
}

aErr Module::getConfig(aWeaveConfig* config) const
{
    if (!m_link)
        return aErrNotReady;
    if (!config)
        return aErrParam;
    return m_link->getConfig(config);
}

aErr Module::setConfig(const aWeaveConfig& config)
{
    if (!m_link)
        return aErrNotReady;
    return m_link->setConfig(config);
}

aErr Module::enablePacketLog(const char* path)
{
    if (!m_link)
        return aErrConfiguration;
    return m_link->enablePacketLog(path);
}

aErr Module::disablePacketLog()
{
    if (!m_link)
        return aErrConfiguration;
    return m_link->disablePacketLog();
}

// ---------------------------------------------------------------------------
// Echo and capability queries

aErr Module::debug(const uint8_t* data, uint8_t length)
{
    if (!isConnected())
        return aErrConnection;
    aErr err = m_link->sendPacket(m_address, aMODULE_CMD_ECHO, length, data);
    if (err != aErrNone)
        return err;
    const uint8_t match = aMODULE_CMD_ECHO;
    uint8_t replyLength = 1;
    uint8_t reply[aPACKET_MAX_DATA];
    err = m_link->receivePacket(m_address, &match, &replyLength, reply);
    if (err != aErrNone)
        return err;
    if (replyLength != length + 1 || (length > 0 && memcmp(&reply[1], data, length) != 0))
        return aErrIO;
    return aErrNone;
}

aErr Module::_capability(const uint8_t* request, uint8_t length, uint8_t replyLength, uint8_t* answer)
{
    if (!isConnected())
        return aErrConnection;
    aErr err = m_link->sendPacket(m_address, aMODULE_CMD_CAPABILITY, static_cast<uint8_t>(length - 1),
                                  &request[1]);
    if (err != aErrNone)
        return err;
    uint8_t got = 1;
    uint8_t reply[aPACKET_MAX_DATA];
    err = m_link->receivePacket(m_address, request, &got, reply);
    if (err != aErrNone)
        return err;
    // The reply repeats the request up to its last byte, which is the answer.
    if (got != replyLength || memcmp(reply, request, replyLength - 1u) != 0)
        return aErrUnknown;
    *answer = reply[replyLength - 1];
    return aErrNone;
}

aErr Module::hasUEI(uint8_t command, uint8_t option, uint8_t index, uint8_t flags)
{
    if (flags != 0 && flags != 0x40 && flags != 0x80)
        return aErrParam;
    const uint8_t request[] = {aMODULE_CMD_CAPABILITY, aMODULE_CAP_HAS_UEI, command, option, index, flags};
    uint8_t verdict = 0;
    aErr err = _capability(request, sizeof request, 6, &verdict);
    return err != aErrNone ? err : static_cast<aErr>(verdict);
}

aErr Module::classQuantity(uint8_t command, uint8_t* count)
{
    if (!count)
        return aErrParam;
    *count = 0;
    const uint8_t request[] = {aMODULE_CMD_CAPABILITY, aMODULE_CAP_CLASS_QUANTITY, command};
    return _capability(request, sizeof request, 4, count);
}

aErr Module::subClassQuantity(uint8_t command, uint8_t option, uint8_t* count)
{
    if (!count)
        return aErrParam;
    *count = 0;
    const uint8_t request[] = {aMODULE_CMD_CAPABILITY, aMODULE_CAP_SUBCLASS_QUANTITY, command, option};
    return _capability(request, sizeof request, 5, count);
}

aErr Module::entityGroup(uint8_t command, uint8_t option, uint8_t* group)
{
    if (!group)
        return aErrParam;
    *group = 0;
    const uint8_t request[] = {aMODULE_CMD_CAPABILITY, aMODULE_CAP_ENTITY_GROUP, command, option};
    return _capability(request, sizeof request, 5, group);
}

}  // namespace Lumastrix
}  // namespace Veltrane
