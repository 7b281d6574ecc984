// Link: construction, specifier and settings, the connect procedure,
// discovery, sharing another Link's connection, and the address query.

#include "Link.h"

#include <string.h>

#include <new>

#include "LinkImpl.h"
#include "aDebug.h"
#include "aLink.h"
#include "aTime.h"
#include "discover.h"

namespace Veltrane {
namespace Lumastrix {

namespace {

bool sIsAddressReply(const aPacket* packet, void*)
{
    return packet->length == 0;
}

// What the first status read after creation says about the link.
aErr sStatusVerdict(int32_t status, bool* keepPolling)
{
    *keepPolling = false;
    switch (status) {
    case kLinkRunning:
        return aErrNone;
    case kLinkStopping:
        return aErrBusy;
    case kLinkStopped:
    case kLinkStarting:
    case kLinkSyncing:
        *keepPolling = true;
        return aErrConnection;
    default:   // kLinkNoStream, kLinkIOError, kLinkError
        return aErrConnection;
    }
}

// Model filter of discoverAndConnect without a serial number.
struct ModelSearch {
    uint8_t model;
    linkSpec* found;
};

bool sTakeFirstOfModel(const linkSpec* spec, bool* success, void* reference)
{
    ModelSearch* search = static_cast<ModelSearch*>(reference);
    if (search->model != 0 && (spec->model & 0xFF) != search->model)
        return true;
    search->found = aLinkSpec_Copy(spec);
    *success = search->found != NULL;
    return false;
}

}  // namespace

// ---------------------------------------------------------------------------
// Construction

Link::Link(const char* name) : m_impl(new (std::nothrow) impl)
{
    if (!m_impl)
        return;
    m_impl->owner = this;
    if (name)
        m_impl->name.assign(name, strnlen(name, aLINK_MAX_NAME));
}

Link::Link(const linkSpec& specifier, const char* name) : Link(name)
{
    if (m_impl)
        m_impl->specifier = aLinkSpec_Copy(&specifier);
}

Link::~Link()
{
    if (!m_impl)
        return;
    // The packet log writer reads through the link id: stop it first.
    m_impl->releaseLogger();
    if (m_impl->linkId)
        aLink_Destroy(&m_impl->linkId);
    if (m_impl->specifier)
        aLinkSpec_Destroy(&m_impl->specifier);
    delete m_impl;
}

// ---------------------------------------------------------------------------
// Specifier and settings

aErr Link::setLinkSpecifier(const linkSpec& specifier)
{
    if (!m_impl)
        return aErrResource;
    if (isConnected())
        return aErrBusy;
    linkSpec* copy = aLinkSpec_Copy(&specifier);
    if (!copy)
        return aErrMemory;
    if (m_impl->specifier)
        aLinkSpec_Destroy(&m_impl->specifier);
    m_impl->specifier = copy;
    return aErrNone;
}

aErr Link::getLinkSpecifier(linkSpec* specifier) const
{
    if (!specifier)
        return aErrParam;
    if (!m_impl || !m_impl->specifier)
        return aErrNotFound;
    memcpy(specifier, m_impl->specifier, sizeof(linkSpec));
    return aErrNone;
}

const char* Link::getName() const
{
    return m_impl ? m_impl->name.c_str() : "";
}

aErr Link::getConfig(aWeaveConfig* config) const
{
    if (!config)
        return aErrParam;
    if (!m_impl)
        return aErrResource;
    *config = m_impl->config;
    return aErrNone;
}

aErr Link::setConfig(const aWeaveConfig& config)
{
    if (!m_impl)
        return aErrResource;
    if (isConnected())
        return aErrPermission;
    m_impl->config = config;
    return aErrNone;
}

// ---------------------------------------------------------------------------
// Connecting

aErr Link::impl::connectProcedure(int32_t existingId)
{
    if (!specifier)
        return aErrConfiguration;
    int32_t id = 0;
    switch (specifier->type) {
    case USB:
        // A served USB link needs the link server, which does not exist yet.
        if (config.serverMode)
            return aErrUnimplemented;
        id = aLink_CreateUSB(specifier->serial_num);
        break;
    case TCPIP:
        id = aLink_CreateTCPIP(specifier->ip_address, static_cast<uint16_t>(specifier->port));
        break;
    case SERIAL: {
        // The path comes from outside: never read past the record.
        char path[aLINKSPEC_SERIAL_PORT_SIZE];
        memcpy(path, specifier->serial_port, sizeof path);
        path[sizeof path - 1] = '\0';
        id = aLink_CreateSerial(specifier->serial_num, path, specifier->baud_rate);
        break;
    }
    case AWEAVE:
        if (!config.serverMode)
            return aErrConfiguration;
        (void)existingId;   // shared by the link server's client link, once there is one
        return aErrUnimplemented;
    default:
        return aErrMode;
    }
    if (id == 0)
        return aErrConnection;

    bool keepPolling = false;
    aErr err = sStatusVerdict(aLink_GetStatus(id), &keepPolling);
    for (int poll = 0; keepPolling && poll < aLINK_CONNECT_POLLS; poll++) {
        aTime_MSSleep(aLINK_CONNECT_POLL_MS);
        if (aLink_GetStatus(id) == kLinkRunning) {
            err = aErrNone;
            break;
        }
    }
    // A Link is unconnected until a connect succeeds: give the hold back.
    if (err != aErrNone)
        aLink_Destroy(&id);
    linkId = id;
    return err;
}

aErr Link::connect()
{
    if (!m_impl)
        return aErrResource;
    if (m_impl->linkId)
        return aErrConnection;
    return m_impl->connectProcedure(0);
}

aErr Link::impl::discoverAndConnectOnce(linkType type, uint32_t serialNumber, uint8_t model)
{
    linkSpec* found = NULL;
    if (serialNumber) {
        found = aDiscovery_FindModule(type, serialNumber, config.interfaceAddress);
    } else {
        ModelSearch search = {model, NULL};
        aDiscovery_EnumerateModules(type, sTakeFirstOfModel, &search, config.interfaceAddress);
        found = search.found;
    }
    if (!found)
        return aErrNotFound;
    if (specifier)
        aLinkSpec_Destroy(&specifier);
    specifier = found;
    return connectProcedure(0);
}

aErr Link::discoverAndConnect(linkType type, uint32_t serialNumber, uint8_t model)
{
    if (!m_impl)
        return aErrResource;
    if (m_impl->linkId)
        return aErrConnection;
    aErr err = m_impl->discoverAndConnectOnce(type, serialNumber, model);
    bool fallback = err == aErrNotFound || err == aErrInitialization || err == aErrConnection;
    if (fallback && (type == USB || type == AWEAVE) && m_impl->config.fallbackToOther) {
        aDebug_Trace(aDEBUG_LINK, "Executing Fallback: %s\n", type == AWEAVE ? "USB" : "aWeave");
        err = m_impl->discoverAndConnectOnce(type == USB ? AWEAVE : USB, serialNumber, model);
    }
    return err;
}

aErr Link::connectThroughLinkModule(Link& other)
{
    if (!m_impl || !other.m_impl || other.m_impl->linkId == 0)
        return aErrInitialization;
    // A second hold would leak the first.
    if (m_impl->linkId)
        return aErrConnection;
    return m_impl->connectProcedure(other.m_impl->linkId);
}

aErr Link::disconnect()
{
    if (!m_impl)
        return aErrNone;
    // The writer reads through the id it was made for.
    m_impl->releaseLogger();
    if (m_impl->linkId)
        aLink_Destroy(&m_impl->linkId);
    return aErrNone;
}

aErr Link::reset()
{
    if (m_impl && m_impl->linkId)
        aLink_Reset(m_impl->linkId);
    return aErrNone;
}

bool Link::isConnected() const
{
    return m_impl && m_impl->linkId && aLink_GetStatus(m_impl->linkId) == kLinkRunning;
}

int32_t Link::getStatus() const
{
    if (!m_impl || !m_impl->linkId)
        return kLinkError;
    return aLink_GetStatus(m_impl->linkId);
}

uint32_t Link::getConnectionLosses() const
{
    return m_impl && m_impl->linkId ? aLink_GetConnectionLosses(m_impl->linkId) : 0;
}

aErr Link::awaitConnectionLoss(uint32_t since, uint32_t milliseconds) const
{
    if (!m_impl || !m_impl->linkId)
        return aErrConnection;
    return aLink_AwaitConnectionLoss(m_impl->linkId, since, milliseconds);
}

int32_t Link::getLinkId() const
{
    return m_impl ? m_impl->linkId : 0;
}

// ---------------------------------------------------------------------------
// Address query

aErr Link::getModuleAddress(uint8_t* address)
{
    if (!address)
        return aErrParam;
    *address = 0;
    if (!isConnected())
        return aErrNotReady;
    aDebug_Trace(aDEBUG_ADDRESS, "getModuleAddress\n");
    const uint8_t none = 0;
    aPacket* query = aPacket_CreateWithData(aPACKET_ADDR_SYNC, 0, &none);
    if (!query)
        return aErrMemory;
    aErr err = aLink_PutPacket(m_impl->linkId, query);
    aPacket_Destroy(&query);
    if (err != aErrNone)
        return aErrNotReady;
    aDebug_Trace(aDEBUG_ADDRESS, "getModuleAddress wait\n");
    aPacket* reply = aLink_AwaitFirst(m_impl->linkId, sIsAddressReply, NULL, aLINK_REPLY_TIMEOUT_MS);
    if (!reply)
        return aErrNotReady;
    *address = reply->address;
    aPacket_Destroy(&reply);
    return aErrNone;
}

}  // namespace Lumastrix
}  // namespace Veltrane
