// The system entity (command 3). Requests are command, option | 0x40 (get) or
// | 0x80 (set), index | 0x20, value; replies carry the bare option (get) or
// option | 0xC0 (set), the index, and the value big-endian, or the index with
// 0x80 and an aErr code. A set without a value is a call (save, reset...).
// Byte strings go in frames of up to 24 bytes followed by a trailer byte: the
// sequence number, with 0x80 while more frames follow.
// Each option is one row of kOptions; values the host may change live in the
// module's SystemValues, so a module keeps them and sets change them.

#include "SystemEntity.h"

#include <algorithm>

#include "VirtualModule.h"

namespace vmodule {

namespace {

constexpr uint8_t kSystemCommand = 3;
constexpr uint8_t kGetFlag = 0x40;
constexpr uint8_t kSetFlag = 0x80;
constexpr uint8_t kSetReplyFlags = 0xC0;
constexpr uint8_t kFromHostFlag = 0x20;
constexpr uint8_t kErrorFlag = 0x80;
constexpr uint8_t kMoreFlag = 0x80;
constexpr size_t kChunk = 24;

enum class Kind { Number, Call, Bytes };

struct SystemOption {
    uint8_t option;
    Kind kind;
    uint8_t width;   // Number: value bytes, 1 or 4
    bool get;
    bool set;        // a call is a set without value
    bool isSigned;   // only matters for starting values in the configuration
    // Number: null read/write mean the stored value. Call: `call`. Bytes: `bytes`.
    uint32_t (*read)(const VirtualModule&);
    aErr (*write)(VirtualModule&, uint32_t);
    void (*call)(VirtualModule&);
    std::string SystemValues::*bytes;
    const char* configKey;  // set by this key of the configuration, not by "option"
};

uint32_t ReadAddress(const VirtualModule& m) { return m.State().address; }
uint32_t ReadVersion(const VirtualModule& m) { return m.State().version; }
uint32_t ReadModel(const VirtualModule& m) { return m.Config().model; }
uint32_t ReadSerial(const VirtualModule& m) { return m.Config().serial; }

aErr WriteRouter(VirtualModule& m, uint32_t value)
{
    if (value == 0 || value % 2)
        return aErrParam;
    m.State().system.numbers[2] = value;
    return aErrNone;
}

aErr WriteRouteToMe(VirtualModule& m, uint32_t value)
{
    m.State().routeToMe = value != 0;
    m.Note(std::string("route to me ") + (value ? "on" : "off"));
    return aErrNone;
}

void Save(VirtualModule& m)
{
    m.State().saved = m.State().system;
    m.Note("settings saved");
}

// A reset here restarts nothing the host can see on its link: the module goes
// back to its saved settings and stops routing.
void Reset(VirtualModule& m)
{
    m.State().system = m.State().saved;
    m.State().routeToMe = false;
    m.Note("reset");
}

void LogEvents(VirtualModule& m) { m.Note("log events"); }

void EntityFactoryDefaults(VirtualModule& m)
{
    m.State().system = SystemEntity_Defaults(m.Config());
    m.Note("system entity factory defaults");
}

void DeviceFactoryDefaults(VirtualModule& m)
{
    m.State().system = m.State().saved = SystemEntity_Defaults(m.Config());
    m.State().routeToMe = false;
    m.Note("device factory defaults");
}

constexpr SystemOption Number(uint8_t option, uint8_t width, bool get, bool set, bool isSigned = false,
                              uint32_t (*read)(const VirtualModule&) = nullptr,
                              aErr (*write)(VirtualModule&, uint32_t) = nullptr, const char* configKey = nullptr)
{
    return {option, Kind::Number, width, get, set, isSigned, read, write, nullptr, nullptr, configKey};
}

constexpr SystemOption Call(uint8_t option, void (*call)(VirtualModule&))
{
    return {option, Kind::Call, 0, false, true, false, nullptr, nullptr, call, nullptr, nullptr};
}

constexpr SystemOption Bytes(uint8_t option, std::string SystemValues::*bytes, const char* configKey)
{
    return {option, Kind::Bytes, 0, true, true, false, nullptr, nullptr, nullptr, bytes, configKey};
}

constexpr bool Get = true, Set = true, NoGet = false, NoSet = false, Signed = true;

// Option 31 has two rows: the power behavior byte and its config as a byte
// string; the module's option31 setting picks one (FindOption).
const SystemOption kOptions[] = {
    Number(1, 1, Get, NoSet, false, ReadAddress, nullptr, "address"),
    Number(2, 1, Get, Set, false, nullptr, WriteRouter, "router"),
    Number(3, 1, Get, Set),                       // heartbeat interval setting
    Number(4, 1, Get, Set),                       // LED
    Number(6, 1, Get, Set),                       // boot slot
    Number(7, 4, Get, NoSet, false, ReadVersion, nullptr, "version"),
    Number(8, 1, Get, NoSet, false, ReadModel, nullptr, "model"),
    Number(9, 4, Get, NoSet, false, ReadSerial, nullptr, "serial"),
    Call(10, Save),
    Call(11, Reset),
    Number(12, 4, Get, NoSet),                    // input voltage
    Number(13, 1, Get, NoSet),                    // hardware address offset
    Number(14, 1, Get, NoSet),                    // base address
    Number(15, 1, Get, Set),                      // software address offset
    Number(16, 1, Get, NoSet),                    // router address setting
    Number(20, 1, NoGet, Set, false, nullptr, WriteRouteToMe),
    Number(21, 4, Get, NoSet),                    // input current
    Number(22, 4, Get, NoSet),                    // uptime
    Number(23, 4, Get, NoSet, Signed),            // maximum temperature
    Call(24, LogEvents),
    Number(25, 4, Get, NoSet, Signed),            // unregulated voltage
    Number(26, 4, Get, NoSet, Signed),            // unregulated current
    Number(27, 4, Get, NoSet, Signed),            // temperature
    Number(28, 4, Get, NoSet, Signed),            // minimum temperature
    Number(29, 1, Get, NoSet),                    // input power source
    Number(31, 1, Get, Set),                      // input power behavior
    Bytes(31, &SystemValues::powerConfig, nullptr),
    Bytes(32, &SystemValues::name, "name"),
    Number(33, 4, Get, NoSet),                    // power limit
    Number(34, 4, Get, Set),                      // power limit maximum
    Number(35, 4, Get, NoSet),                    // power limit state
    Call(36, EntityFactoryDefaults),
    Call(37, DeviceFactoryDefaults),
    Number(38, 1, Get, Set),                      // link interface
    Number(40, 4, Get, NoSet),                    // hardware version
    Number(41, 4, Get, NoSet),                    // errors
};

const SystemOption* FindRow(uint8_t option, bool bytesFor31)
{
    for (const auto& row : kOptions)
        if (row.option == option && (option != 31 || (row.kind == Kind::Bytes) == bytesFor31))
            return &row;
    return nullptr;
}

const SystemOption* FindOption(const VirtualModule& module, uint8_t option)
{
    return FindRow(option, module.Config().option31Bytes);
}

uint32_t ReadNumber(const VirtualModule& module, const SystemOption& row)
{
    if (row.read)
        return row.read(module);
    const auto& numbers = module.State().system.numbers;
    auto it = numbers.find(row.option);
    return it == numbers.end() ? 0 : it->second;
}

Frame Header(const Frame& request, uint8_t replyOption, uint8_t index)
{
    return Frame::Make(request.address, {kSystemCommand, replyOption, index});
}

void ReplyError(VirtualModule& module, HostLink& link, const Frame& request, uint8_t replyOption, uint32_t code)
{
    uint8_t index = request.data[2] & 0x1F;
    Frame reply = Header(request, replyOption, static_cast<uint8_t>(index | kErrorFlag));
    reply.Append(static_cast<uint8_t>(code));
    module.Reply(link, request, reply);
}

void GetNumber(VirtualModule& module, HostLink& link, const Frame& request, const SystemOption& row, uint8_t index)
{
    Frame reply = Header(request, row.option, index);
    uint32_t value = ReadNumber(module, row);
    if (row.width == 4)
        StoreBE32(reply, value);
    else
        reply.Append(static_cast<uint8_t>(value));
    module.Reply(link, request, reply);
}

void SetNumber(VirtualModule& module, HostLink& link, const Frame& request, const SystemOption& row, uint8_t index)
{
    uint8_t replyOption = static_cast<uint8_t>(row.option | kSetReplyFlags);
    size_t valueBytes = request.length - 3u;
    if (valueBytes != row.width) {
        ReplyError(module, link, request, replyOption, valueBytes < row.width ? aErrShortCommand : aErrSize);
        return;
    }
    uint32_t value = row.width == 4 ? LoadBE32(&request.data[3]) : request.data[3];
    aErr result = aErrNone;
    if (row.write)
        result = row.write(module, value);
    else
        module.State().system.numbers[row.option] = value;
    if (result != aErrNone) {
        ReplyError(module, link, request, replyOption, result);
        return;
    }
    module.Reply(link, request, Header(request, replyOption, index));
}

// A byte string goes out as frames of up to 24 bytes, each with its trailer;
// an empty one as one frame with trailer 0.
void GetBytes(VirtualModule& module, HostLink& link, const Frame& request, const SystemOption& row, uint8_t index)
{
    const std::string& value = module.State().system.*row.bytes;
    size_t offset = 0;
    uint8_t sequence = 0;
    do {
        Frame reply = Header(request, row.option, index);
        size_t count = std::min(kChunk, value.size() - offset);
        for (size_t i = 0; i < count; ++i)
            reply.Append(static_cast<uint8_t>(value[offset + i]));
        offset += count;
        reply.Append(static_cast<uint8_t>(sequence++ | (offset < value.size() ? kMoreFlag : 0)));
        module.Reply(link, request, reply);
    } while (offset < value.size());
}

// The frames of a byte string are gathered on the link they came on; the one
// reply comes after the last frame. Sequence 0 always starts afresh (the host
// may have given up on an earlier transfer); any other number out of turn ends
// the transfer with aErrPacket.
void SetBytes(VirtualModule& module, HostLink& link, const Frame& request, const SystemOption& row, uint8_t index)
{
    uint8_t replyOption = static_cast<uint8_t>(row.option | kSetReplyFlags);
    if (request.length < 4) {
        ReplyError(module, link, request, replyOption, aErrShortCommand);
        return;
    }
    uint8_t trailer = request.data[request.length - 1];
    unsigned sequence = trailer & 0x7F;
    uint32_t key = uint32_t{request.address} << 16 | uint32_t{row.option} << 8 | index;
    if (sequence == 0)
        link.byteValues[key] = HostLink::PendingBytes{};
    auto pending = link.byteValues.find(key);
    if (pending == link.byteValues.end() || pending->second.next != sequence) {
        module.Note("option " + std::to_string(row.option) + " byte frame " + std::to_string(sequence) +
                    " out of turn, expected " +
                    (pending == link.byteValues.end() ? std::string("0") : std::to_string(pending->second.next)));
        if (pending != link.byteValues.end())
            link.byteValues.erase(pending);
        ReplyError(module, link, request, replyOption, aErrPacket);
        return;
    }
    pending->second.data.append(reinterpret_cast<const char*>(&request.data[3]), request.length - 4u);
    ++pending->second.next;
    if (trailer & kMoreFlag)
        return;
    module.State().system.*row.bytes = std::move(pending->second.data);
    link.byteValues.erase(pending);
    module.Note("option " + std::to_string(row.option) + " set to " +
                std::to_string((module.State().system.*row.bytes).size()) + " bytes");
    module.Reply(link, request, Header(request, replyOption, index));
}

void HandleSystem(VirtualModule& module, HostLink& link, const Frame& request)
{
    if (request.length < 3 || !(request.data[2] & kFromHostFlag)) {
        module.Note("system request too short or not from a host, ignored");
        return;
    }
    uint8_t flags = request.data[1] & 0xC0;
    uint8_t option = request.data[1] & 0x3F;
    uint8_t index = request.data[2] & 0x1F;
    if (flags != kGetFlag && flags != kSetFlag) {
        module.Note("system request neither get nor set, ignored");
        return;
    }
    bool get = flags == kGetFlag;
    uint8_t replyOption = get ? option : static_cast<uint8_t>(option | kSetReplyFlags);
    if (module.Fault("drop-option", {option})) {
        module.Note("option " + std::to_string(option) + " unanswered (fault drop-option)");
        return;
    }
    if (const FaultSwitch* refuse = module.Config().faults.Find("refuse-option", {option})) {
        ReplyError(module, link, request, replyOption, refuse->args[1]);
        return;
    }
    if (index != 0) {
        ReplyError(module, link, request, replyOption, aErrIndexRange);
        return;
    }
    const SystemOption* row = FindOption(module, option);
    if (!row || (get ? !row->get : !row->set)) {
        ReplyError(module, link, request, replyOption, aErrInvalidOption);
        return;
    }
    if (get && request.length > 3) {
        // No option here has subindexes.
        ReplyError(module, link, request, replyOption, aErrIndexRange);
        return;
    }
    switch (row->kind) {
    case Kind::Number:
        (get ? GetNumber : SetNumber)(module, link, request, *row, index);
        return;
    case Kind::Bytes:
        (get ? GetBytes : SetBytes)(module, link, request, *row, index);
        return;
    case Kind::Call:
        if (request.length > 3) {
            ReplyError(module, link, request, replyOption, aErrSize);
            return;
        }
        row->call(module);
        module.Reply(link, request, Header(request, replyOption, index));
        return;
    }
}

}  // namespace

void SystemEntity_Register(CommandTable& table)
{
    table.Set(kSystemCommand, HandleSystem);
}

SystemValues SystemEntity_Defaults(const ModuleConfig& config)
{
    SystemValues values;
    values.numbers[2] = config.RouterAddress();
    values.numbers[14] = config.address;
    values.numbers[16] = config.RouterAddress();
    for (const auto& [option, value] : config.options)
        values.numbers[option] = value;
    values.name = config.name;
    return values;
}

bool SystemEntity_CheckSetting(uint8_t option, int64_t value, std::string& error)
{
    const SystemOption* row = FindRow(option, false);
    std::string name = "option " + std::to_string(option);
    if (!row) {
        error = name + " is not an option of the system entity";
        return false;
    }
    if (row->configKey) {
        error = name + " is set with the " + row->configKey + " key";
        return false;
    }
    if (row->kind != Kind::Number || !row->get || row->read) {
        error = name + " holds no value to start with";
        return false;
    }
    int64_t low = row->isSigned ? INT32_MIN : 0;
    int64_t high = row->width == 1 ? 255 : row->isSigned ? INT32_MAX : int64_t{UINT32_MAX};
    if (value < low || value > high) {
        error = name + " takes " + std::to_string(low) + ".." + std::to_string(high);
        return false;
    }
    return true;
}

aErr SystemEntity_Has(const VirtualModule& module, uint8_t option, uint8_t index, uint8_t flags)
{
    if (flags != 0 && flags != kGetFlag && flags != kSetFlag)
        return aErrParam;
    if (index != 0)
        return aErrIndexRange;
    const SystemOption* row = FindOption(module, option);
    if (!row || (flags == kGetFlag && !row->get) || (flags == kSetFlag && !row->set))
        return aErrInvalidOption;
    return aErrNone;
}

}  // namespace vmodule
