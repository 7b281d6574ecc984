// The I2C entity (command 8, one bus, index 0): raw transfers onto the bus
// the module's children sit on, which is how a host finds them. Requests:
//   write  8, index, address, length, speed, data...   reply 8, index, address, 0, status
//   read   8, index, address | 1, length, speed         reply 8, index, address | 1, n, status, data...
//   pullup 8, index, 1, on                              reply 8, index, 1, 0, status
// Status 0 is success; 0x80 | an aErr code a failure. Only a child's address
// acknowledges; a child keeps what was last written to it and a read returns
// that (zeros past its end). Every transfer lands in the record as
// "i2c write 04 2 bytes speed 3 ack" (or nak, or "refused CODE").

#include "aError.h"

#include "VirtualModule.h"

namespace vmodule {

namespace {

constexpr uint8_t kI2CCommand = 8;
constexpr uint8_t kPullupAddress = 1;
constexpr uint8_t kMaxTransfer = 23;
constexpr uint8_t kMaxSpeed = 3;
constexpr uint8_t kStatusError = 0x80;
// What the bus answers when no device acknowledges the address.
constexpr aErr kNoAcknowledge = aErrNotFound;

struct Transfer {
    uint8_t index;
    uint8_t address;  // as on the wire: bit 0 set for reads
    uint8_t length;
    uint8_t speed;
};

void Answer(VirtualModule& module, HostLink& link, const Frame& request, uint8_t count, aErr status,
            const std::string& data = {})
{
    Frame reply = Frame::Make(request.address, {kI2CCommand, request.data[1], request.data[2], count,
                                                static_cast<uint8_t>(status == aErrNone ? 0 : kStatusError | status)});
    for (char c : data)
        reply.Append(static_cast<uint8_t>(c));
    module.Reply(link, request, reply);
}

// Why a transfer cannot go onto the bus, aErrNone when it can.
aErr Check(const Frame& request, const Transfer& t, bool write)
{
    if (request.length < 5)
        return aErrShortCommand;
    if (t.index != 0)
        return aErrIndexRange;
    if (t.speed > kMaxSpeed)
        return aErrParam;
    if (t.length > kMaxTransfer)
        return aErrSize;
    if (write && request.length - 5u != t.length)
        return request.length - 5u < t.length ? aErrShortCommand : aErrSize;
    return aErrNone;
}

void HandleTransfer(VirtualModule& module, HostLink& link, const Frame& request)
{
    Transfer t{request.data[1], request.data[2], request.length > 3 ? request.data[3] : uint8_t{0},
               request.length > 4 ? request.data[4] : uint8_t{0}};
    bool write = (t.address & 1) == 0;
    uint8_t target = static_cast<uint8_t>(t.address & ~1u);
    std::string what = std::string("i2c ") + (write ? "write " : "read ") + Hex2(target) + " ";
    aErr refused = Check(request, t, write);
    if (refused != aErrNone) {
        module.Note(what + "refused " + std::to_string(refused));
        Answer(module, link, request, 0, refused);
        return;
    }
    what += std::to_string(t.length) + " bytes speed " + std::to_string(t.speed);
    VirtualModule* child = module.ChildAt(target);
    if (!child) {
        module.Note(what + " nak");
        Answer(module, link, request, 0, kNoAcknowledge);
        return;
    }
    module.Note(what + " ack");
    std::string& held = child->State().i2cData;
    if (write) {
        held.assign(reinterpret_cast<const char*>(&request.data[5]), t.length);
        Answer(module, link, request, 0, aErrNone);
        return;
    }
    std::string data = held.substr(0, t.length);
    data.resize(t.length, '\0');
    Answer(module, link, request, t.length, aErrNone, data);
}

void Pullup(VirtualModule& module, HostLink& link, const Frame& request)
{
    aErr refused = request.length < 4 ? aErrShortCommand : request.data[1] != 0 ? aErrIndexRange : aErrNone;
    if (refused != aErrNone) {
        module.Note("i2c pullup refused " + std::to_string(refused));
    } else {
        module.Note(std::string("i2c pullup ") + (request.data[3] ? "on" : "off"));
    }
    Answer(module, link, request, 0, refused);
}

void HandleI2C(VirtualModule& module, HostLink& link, const Frame& request)
{
    if (request.length < 3) {
        module.Note("i2c request too short, ignored");
        return;
    }
    if (request.data[2] == kPullupAddress)
        Pullup(module, link, request);
    else
        HandleTransfer(module, link, request);
}

}  // namespace

void I2CBus_Register(CommandTable& table)
{
    table.Set(kI2CCommand, HandleI2C);
}

}  // namespace vmodule
