// Link: stream keys and the stream value cache that every get asks first.

#include "Link.h"
#include "LinkImpl.h"

namespace Veltrane {
namespace Lumastrix {

namespace {

// Bit position of each key element, by element number.
const unsigned kElementShift[] = {24, 16, 8, 0, 32};
const unsigned kElementCount = sizeof kElementShift / sizeof kElementShift[0];

}  // namespace

uint64_t Link::createStreamKey(uint8_t module, uint8_t command, uint8_t option, uint8_t index, uint8_t subindex)
{
    return static_cast<uint64_t>(module) << kElementShift[STREAM_KEY_MODULE] |
           static_cast<uint64_t>(command) << kElementShift[STREAM_KEY_COMMAND] |
           static_cast<uint64_t>(option) << kElementShift[STREAM_KEY_OPTION] |
           static_cast<uint64_t>(index) << kElementShift[STREAM_KEY_INDEX] |
           static_cast<uint64_t>(subindex) << kElementShift[STREAM_KEY_SUBINDEX];
}

uint8_t Link::getStreamKeyElement(uint64_t key, uint8_t element)
{
    if (element >= kElementCount)
        return 0;
    return static_cast<uint8_t>(key >> kElementShift[element]);
}

aErr Link::getStreamValue(uint8_t module, uint8_t command, uint8_t option, uint8_t index, uint8_t subindex,
                          uint32_t* value)
{
    if (!value)
        return aErrParam;
    if (!m_impl)
        return aErrNotFound;
    uint64_t key = createStreamKey(module, command, option, index, subindex);
    std::lock_guard<std::mutex> hold(m_impl->streamLock);
    auto found = m_impl->streams.find(key);
    if (found == m_impl->streams.end())
        return aErrNotFound;
    StreamEntry& entry = found->second;
    *value = entry.value;
    if (!entry.fresh)
        return aErrStreamStale;
    entry.fresh = false;
    return aErrNone;
}

}  // namespace Lumastrix
}  // namespace Veltrane
