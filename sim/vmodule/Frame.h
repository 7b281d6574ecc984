#ifndef VMODULE_FRAME_H
#define VMODULE_FRAME_H

// One frame of the device protocol as the module sees it: address, length
// 0..28, data. The module keeps its own record (not the library's packet) so
// that a mistake in one side's framing cannot hide behind the same mistake in
// the other.

#include <array>
#include <cstdint>
#include <initializer_list>
#include <string>

#include "aPacket.h"

namespace vmodule {

constexpr uint8_t kMaxData = aPACKET_MAX_DATA;
constexpr uint8_t kAddressQuery = aPACKET_ADDR_SYNC;
constexpr uint8_t kRouteControl = aPACKET_ADDR_ROUTE;

struct Frame {
    uint8_t address = 0;
    uint8_t length = 0;
    std::array<uint8_t, kMaxData> data{};

    // Bytes past kMaxData are dropped: callers build frames from constants.
    static Frame Make(uint8_t address, std::initializer_list<uint8_t> bytes)
    {
        Frame frame;
        frame.address = address;
        for (uint8_t b : bytes)
            if (frame.length < kMaxData)
                frame.data[frame.length++] = b;
        return frame;
    }
    bool Append(uint8_t b)
    {
        if (length >= kMaxData)
            return false;
        data[length++] = b;
        return true;
    }
    // Address, length and data, as they go on the wire.
    std::string Wire() const
    {
        std::string bytes;
        bytes.push_back(static_cast<char>(address));
        bytes.push_back(static_cast<char>(length));
        bytes.append(reinterpret_cast<const char*>(data.data()), length);
        return bytes;
    }
};

// Big-endian values inside frames.
inline void StoreBE32(Frame& frame, uint32_t value)
{
    frame.Append(static_cast<uint8_t>(value >> 24));
    frame.Append(static_cast<uint8_t>(value >> 16));
    frame.Append(static_cast<uint8_t>(value >> 8));
    frame.Append(static_cast<uint8_t>(value));
}

inline uint32_t LoadBE32(const uint8_t* p)
{
    return uint32_t{p[0]} << 24 | uint32_t{p[1]} << 16 | uint32_t{p[2]} << 8 | p[3];
}

}  // namespace vmodule

#endif
