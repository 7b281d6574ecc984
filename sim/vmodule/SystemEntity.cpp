// The system entity (command 3): the options the host reads to identify a
// module. Requests are command, option | 0x40 (get) or | 0x80 (set), index |
// 0x20, value; replies carry the bare option (get) or option | 0xC0 (set), the
// index, and the value big-endian, or the index with 0x80 and an aErr code.
// Each option is one row of kOptions; later work adds rows.

#include "aError.h"

#include "VirtualModule.h"

namespace vmodule {

namespace {

constexpr uint8_t kSystemCommand = 3;
constexpr uint8_t kGetFlag = 0x40;
constexpr uint8_t kSetFlag = 0x80;
constexpr uint8_t kSetReplyFlags = 0xC0;
constexpr uint8_t kFromHostFlag = 0x20;
constexpr uint8_t kErrorFlag = 0x80;

struct SystemOption {
    uint8_t option;
    uint8_t width;  // value bytes: 1 or 4
    uint32_t (*get)(VirtualModule&);
    aErr (*set)(VirtualModule&, uint32_t);  // null: read-only
};

aErr SetRouter(VirtualModule& m, uint32_t value)
{
    if (value == 0 || value % 2)
        return aErrParam;
    m.State().router = static_cast<uint8_t>(value);
    return aErrNone;
}

const SystemOption kOptions[] = {
    {1, 1, [](VirtualModule& m) -> uint32_t { return m.State().address; }, nullptr},
    {2, 1, [](VirtualModule& m) -> uint32_t { return m.State().router; }, SetRouter},
    {7, 4, [](VirtualModule& m) -> uint32_t { return m.Config().version; }, nullptr},
    {8, 1, [](VirtualModule& m) -> uint32_t { return m.Config().model; }, nullptr},
    {9, 4, [](VirtualModule& m) -> uint32_t { return m.Config().serial; }, nullptr},
    {20, 1, nullptr,
     [](VirtualModule& m, uint32_t value) {
         m.State().routeToMe = value != 0;
         m.Note(std::string("route to me ") + (value ? "on" : "off"));
         return aErrNone;
     }},
};

const SystemOption* FindOption(uint8_t option)
{
    for (const auto& row : kOptions)
        if (row.option == option)
            return &row;
    return nullptr;
}

Frame ErrorReply(const Frame& request, uint8_t replyOption, aErr code)
{
    uint8_t index = request.data[2] & 0x1F;
    return Frame::Make(request.address, {kSystemCommand, replyOption, static_cast<uint8_t>(index | kErrorFlag),
                                         static_cast<uint8_t>(code)});
}

void AppendValue(Frame& frame, uint8_t width, uint32_t value)
{
    if (width == 4)
        StoreBE32(frame, value);
    else
        frame.Append(static_cast<uint8_t>(value));
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
    const SystemOption* row = FindOption(option);
    if (index != 0) {
        module.Reply(link, request, ErrorReply(request, replyOption, aErrIndexRange));
        return;
    }
    if (!row || (get ? !row->get : !row->set)) {
        module.Reply(link, request, ErrorReply(request, replyOption, aErrInvalidOption));
        return;
    }
    if (get) {
        Frame reply = Frame::Make(request.address, {kSystemCommand, replyOption, index});
        AppendValue(reply, row->width, row->get(module));
        module.Reply(link, request, reply);
        return;
    }
    size_t valueBytes = request.length - 3u;
    if (valueBytes != row->width) {
        aErr code = valueBytes < row->width ? aErrShortCommand : aErrSize;
        module.Reply(link, request, ErrorReply(request, replyOption, code));
        return;
    }
    uint32_t value = row->width == 4 ? LoadBE32(&request.data[3]) : request.data[3];
    aErr result = row->set(module, value);
    if (result != aErrNone) {
        module.Reply(link, request, ErrorReply(request, replyOption, result));
        return;
    }
    module.Reply(link, request, Frame::Make(request.address, {kSystemCommand, replyOption, index}));
}

}  // namespace

void SystemEntity_Register(CommandTable& table)
{
    table.Set(kSystemCommand, HandleSystem);
}

}  // namespace vmodule
