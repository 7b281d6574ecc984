#ifndef VMODULE_FRAMEASSEMBLER_H
#define VMODULE_FRAMEASSEMBLER_H

// Turns the host's byte stream into frames. There is no start marker, so the
// module finds frame boundaries by counting and, after garbage, by dropping
// bytes that cannot start a frame until the host's burst of address queries
// lines the stream up again.

#include <cstdint>
#include <functional>
#include <string>

#include "Frame.h"

namespace vmodule {

class FrameAssembler {
public:
    using OnFrame = std::function<void(const Frame&)>;
    using OnDropped = std::function<void(const std::string& bytes)>;

    FrameAssembler(OnFrame onFrame, OnDropped onDropped);

    void Feed(const uint8_t* bytes, size_t count);

private:
    enum class State { Address, Length, Data };

    void Take(uint8_t b);
    void Drop(uint8_t b);
    void FlushDropped();

    OnFrame onFrame_;
    OnDropped onDropped_;
    State state_ = State::Address;
    Frame frame_;
    uint8_t expected_ = 0;  // the frame's length byte; frame_.length counts what arrived
    std::string dropped_;
};

// Whether b can be the first byte of a frame from the host: a module address
// (even, non-zero) or one of the two link-control addresses.
bool CanStartFrame(uint8_t b);

}  // namespace vmodule

#endif
