// Link: raw command exchanges and the packet log file.

#include <string.h>

#include "Link.h"
#include "LinkImpl.h"
#include "aLink.h"
#include "aFile.h"
#include "aPacketDebug.h"

namespace Veltrane {
namespace Lumastrix {

namespace {

struct LeadingBytes {
    const uint8_t* bytes;
    uint8_t length;
};

bool sLeadingBytesMatch(const aPacket* packet, void* reference)
{
    const LeadingBytes* match = static_cast<const LeadingBytes*>(reference);
    return packet->length >= match->length && memcmp(packet->data, match->bytes, match->length) == 0;
}

bool sValidModule(uint8_t module)
{
    return module != 0 && (module & 1) == 0;
}

// The logger thread's step: one record from the link's packet log to the file.
bool sWriteLogEntry(aFileRef file, int32_t linkId)
{
    uint8_t bytes[aPACKETLOG_MAX_RECORD];
    uint8_t direction = 0;
    uint32_t length = sizeof bytes;
    if (aLink_PacketDebug_Read(linkId, &direction, &length, bytes) != aErrNone)
        return false;
    aPacketLog_WriteLine(file, direction, length, bytes);
    return true;
}

const char kLogStart[] = "START";

}  // namespace

aErr Link::sendPacket(uint8_t module, uint8_t command, uint8_t length, const uint8_t* data)
{
    if (!isConnected())
        return aErrConnection;
    if (length > aPACKET_MAX_DATA - 1)
        return aErrParam;
    if (!sValidModule(module))
        return aErrPacket;
    if (length > 0 && !data)
        return aErrParam;
    uint8_t frame[aPACKET_MAX_DATA] = {command};
    if (length > 0)
        memcpy(&frame[1], data, length);
    aPacket* packet = aPacket_CreateWithData(module, static_cast<uint8_t>(length + 1), frame);
    if (!packet)
        return aErrMemory;
    aErr err = aLink_PutPacket(m_impl->linkId, packet);
    aPacket_Destroy(&packet);
    return err;
}

aErr Link::receivePacket(uint8_t module, const uint8_t* match, uint8_t* length, uint8_t* data)
{
    if (!isConnected())
        return aErrConnection;
    if (!sValidModule(module))
        return aErrPacket;
    if (!length || !data || *length > aPACKET_MAX_DATA || (*length > 0 && !match))
        return aErrParam;
    LeadingBytes leading = {match, *length};
    aPacket* packet = aLink_AwaitFirst(m_impl->linkId, sLeadingBytesMatch, &leading, aLINK_REPLY_TIMEOUT_MS);
    if (!packet)
        return aErrTimeout;
    *length = packet->length;
    memcpy(data, packet->data, packet->length);
    aPacket_Destroy(&packet);
    return aErrNone;
}

// ---------------------------------------------------------------------------
// Packet log

// Writes what the stopped writer left in the ring, so that the frames just
// before a disable or a disconnect reach the file too.
void Link::impl::flushLog()
{
    if (!linkId || logPath.empty())
        return;
    aFileRef file = aFile_Open(logPath.c_str(), aFileModeAppend);
    if (!file)
        return;
    while (sWriteLogEntry(file, linkId)) {
    }
    aFile_Close(&file);
}

void Link::impl::releaseLogger()
{
    if (!logger)
        return;
    if (aLogger_Disable(logger) == aErrNone)
        flushLog();
    aLogger_Destroy(&logger);
}

aErr Link::enablePacketLog(const char* path)
{
    if (!m_impl || !m_impl->linkId)
        return aErrConfiguration;
    if (!path)
        return aErrParam;
    aErr err = aLink_PacketDebug_Enable(m_impl->linkId);
    if (err != aErrNone)
        return err;
    if (!m_impl->logger) {
        m_impl->logger = aLogger_Create(m_impl->linkId, sWriteLogEntry, path);
        if (!m_impl->logger)
            return aErrIO;
        m_impl->logPath = path;
    }
    err = aLogger_Enable(m_impl->logger);
    if (err != aErrNone)
        return err;
    return aLink_PacketDebug_Write(m_impl->linkId, aPACKETLOG_TEXT, sizeof kLogStart,
                                   reinterpret_cast<const uint8_t*>(kLogStart));
}

aErr Link::disablePacketLog()
{
    if (!m_impl || !m_impl->linkId)
        return aErrConfiguration;
    aErr err = aLink_PacketDebug_Disable(m_impl->linkId);
    if (m_impl->logger) {
        aErr stopped = aLogger_Disable(m_impl->logger);
        if (stopped == aErrNone)
            m_impl->flushLog();
        if (err == aErrNone)
            err = stopped;
    }
    return err;
}

}  // namespace Lumastrix
}  // namespace Veltrane
