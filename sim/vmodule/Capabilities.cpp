// The capability queries (command 73): what entities and options the module
// has, and the firmware build number. Each query has one request length; a
// request of another length is recorded and left unanswered.
//   73, 1, command, option, index, flags   -> 73, 1, command, option, index, aErr (0: has it)
//   73, 4, command                         -> 73, 4, command, entities of that class
//   73, 5, command, option                 -> 73, 5, command, option, subindexes of the option
//   73, 6, command, option                 -> 73, 6, command, option, group
//   73, 0xFF                               -> 73, 0xFF, build (4 bytes, big-endian)

#include "aError.h"

#include "VirtualModule.h"

namespace vmodule {

namespace {

constexpr uint8_t kCapabilityCommand = 73;
constexpr uint8_t kSystemCommand = 3;
constexpr uint8_t kI2CCommand = 8;

enum Query : uint8_t {
    kHasUEI = 1,
    kClassQuantity = 4,
    kSubClassQuantity = 5,
    kEntityGroup = 6,
    kBuildNumber = 0xFF,
};

// One system entity and one I2C bus; the I2C bus takes raw transfers, so it
// has no UEI options.
aErr HasUEI(const VirtualModule& module, uint8_t command, uint8_t option, uint8_t index, uint8_t flags)
{
    if (command == kSystemCommand)
        return SystemEntity_Has(module, option, index, flags);
    if (command != kI2CCommand)
        return aErrInvalidEntity;
    if (flags != 0 && flags != 0x40 && flags != 0x80)
        return aErrParam;
    return index != 0 ? aErrIndexRange : aErrInvalidOption;
}

uint8_t ClassQuantity(uint8_t command)
{
    return command == kSystemCommand || command == kI2CCommand ? 1 : 0;
}

size_t RequestLength(uint8_t query)
{
    switch (query) {
    case kHasUEI:
        return 6;
    case kClassQuantity:
        return 3;
    case kSubClassQuantity:
    case kEntityGroup:
        return 4;
    case kBuildNumber:
        return 2;
    default:
        return 0;
    }
}

void HandleCapabilities(VirtualModule& module, HostLink& link, const Frame& request)
{
    uint8_t query = request.length >= 2 ? request.data[1] : 0;
    size_t expected = RequestLength(query);
    if (expected == 0 || request.length != expected) {
        module.Note("capability query " + Hex2(query) + " of length " + std::to_string(request.length) +
                    " unanswered");
        return;
    }
    Frame reply = request;
    switch (query) {
    case kHasUEI:
        reply.data[5] = static_cast<uint8_t>(
            HasUEI(module, request.data[2], request.data[3], request.data[4], request.data[5]));
        break;
    case kClassQuantity:
        reply.Append(ClassQuantity(request.data[2]));
        break;
    case kSubClassQuantity:  // no option here has subindexes
    case kEntityGroup:       // every entity is in group 0
        reply.Append(0);
        break;
    case kBuildNumber:
        StoreBE32(reply, module.State().build);
        break;
    }
    module.Reply(link, request, reply);
}

}  // namespace

void Capabilities_Register(CommandTable& table)
{
    table.Set(kCapabilityCommand, HandleCapabilities);
}

}  // namespace vmodule
