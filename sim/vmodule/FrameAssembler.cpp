#include "FrameAssembler.h"

namespace vmodule {

bool CanStartFrame(uint8_t b)
{
    return (b != 0 && b % 2 == 0) || b == kAddressQuery || b == kRouteControl;
}

namespace {

// Control frames have fixed lengths; any other length means the address byte
// was not really the start of a frame.
bool LengthFits(uint8_t address, uint8_t length)
{
    if (address == kAddressQuery)
        return length == 0;
    if (address == kRouteControl)
        return length == 1;
    return length <= kMaxData;
}

}  // namespace

FrameAssembler::FrameAssembler(OnFrame onFrame, OnDropped onDropped)
    : onFrame_(std::move(onFrame)), onDropped_(std::move(onDropped))
{
}

void FrameAssembler::Feed(const uint8_t* bytes, size_t count)
{
    for (size_t i = 0; i < count; ++i)
        Take(bytes[i]);
    FlushDropped();
}

void FrameAssembler::Take(uint8_t b)
{
    switch (state_) {
    case State::Address:
        if (!CanStartFrame(b)) {
            Drop(b);
            return;
        }
        frame_ = Frame();
        frame_.address = b;
        state_ = State::Length;
        return;
    case State::Length:
        if (!LengthFits(frame_.address, b)) {
            // The address byte was garbage; the length byte may start the next frame.
            state_ = State::Address;
            Drop(frame_.address);
            Take(b);
            return;
        }
        expected_ = b;
        state_ = State::Data;
        break;
    case State::Data:
        frame_.Append(b);
        break;
    }
    if (state_ == State::Data && frame_.length == expected_) {
        state_ = State::Address;
        FlushDropped();
        onFrame_(frame_);
    }
}

void FrameAssembler::Drop(uint8_t b)
{
    dropped_.push_back(static_cast<char>(b));
}

void FrameAssembler::FlushDropped()
{
    if (dropped_.empty())
        return;
    std::string bytes;
    bytes.swap(dropped_);
    onDropped_(bytes);
}

}  // namespace vmodule
