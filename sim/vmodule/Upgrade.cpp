// The upgrade command (0x5F, sub-command in the next byte), module side.
//   INIT     5F 00                      -> 5F 00, load base (4 bytes)
//   PREPARE  5F 03, flags, address (4)  -> 5F 07, status, block size (2)
//   DATA     5F 01, 1..26 bytes         -> 5F 01, count taken
//   SUM      5F 04                      -> 5F 07, status, sum (4)
//   WRITE    5F 05, count (2)           -> 5F 07, status
//   LOAD     5F 02                      -> 5F 02, or a restart into the loader
//   REBOOT   5F 06                      -> none; a restart into the new firmware
// Numbers are big-endian; status 0 is success, 1 failure. The firmware takes
// loader blocks into RAM at the PREPAREd address. The loader takes firmware
// blocks: DATA up to the granted block size, then WRITE puts exactly what
// was taken into flash. Sums cover the bytes taken since the last PREPARE,
// SUM or WRITE. Every sub-command lands in the record as "upgrade NAME ...".

#include <algorithm>
#include <cstdio>
#include <string_view>

#include "VirtualModule.h"

namespace vmodule {

namespace {

constexpr uint8_t kUpgradeCommand = 0x5F;
enum : uint8_t { kInit = 0, kData = 1, kLoad = 2, kPrepare = 3, kSum = 4, kWrite = 5, kReboot = 6, kStatus = 7 };
constexpr uint8_t kStatusOk = 0;
constexpr uint8_t kStatusFailed = 1;

UpgradeState& Up(VirtualModule& module)
{
    return module.State().upgrade;
}

// The loader taking firmware blocks, where the upgrade faults act.
bool TakingFirmware(VirtualModule& module)
{
    return Up(module).stage == Stage::Loader && !Up(module).takingLoader;
}

// Whether request n (from 1) falls in a "NAME:FIRST[,COUNT]" switch.
bool Numbered(const VirtualModule& module, const char* fault, uint32_t n)
{
    for (const FaultSwitch* s : module.Config().faults.FindAll(fault)) {
        uint32_t first = s->args[0], count = s->args.size() > 1 ? s->args[1] : 1;
        if (n >= first && n - first < count)
            return true;
    }
    return false;
}

bool WrongSumNow(VirtualModule& module)
{
    const UpgradeState& up = Up(module);
    for (const FaultSwitch* s : module.Config().faults.FindAll("wrong-sum")) {
        uint32_t block = s->args.size() > 1 ? s->args[1] : 0;
        if (up.block && up.attempt <= s->args[0] && (block == 0 || block == up.block))
            return true;
    }
    return false;
}

void Answer(VirtualModule& module, HostLink& link, const Frame& request, uint8_t sub, const Frame& rest = {})
{
    Frame reply = Frame::Make(module.State().address, {kUpgradeCommand, sub});
    for (uint8_t i = 0; i < rest.length; ++i)
        reply.Append(rest.data[i]);
    module.Reply(link, request, reply);
}

void AnswerStatus(VirtualModule& module, HostLink& link, const Frame& request, uint8_t status, const Frame& rest = {})
{
    Frame body = Frame::Make(0, {status});
    for (uint8_t i = 0; i < rest.length; ++i)
        body.Append(rest.data[i]);
    Answer(module, link, request, kStatus, body);
}

Frame Size16(uint16_t value)
{
    return Frame::Make(0, {static_cast<uint8_t>(value >> 8), static_cast<uint8_t>(value)});
}

void AddToSum(UpgradeState& up, std::string_view bytes)
{
    for (unsigned char b : bytes)
        up.sum += b;
}

void StartLoader(VirtualModule& module)
{
    UpgradeState& up = Up(module);
    up.stage = Stage::Loader;
    up.takingLoader = false;
    up.prepared = false;
    up.pending.clear();
    up.sum = 0;
    up.dataRequests = up.prepareRequests = up.writeRequests = 0;
    up.blocks.clear();
    up.attempts.clear();
    up.block = up.attempt = 0;
    module.Note("loader started");
}

// The loader gives no sign of what it wrote: version and build come from the
// configuration (next-version, next-build), else stay as they were.
void StartFirmware(VirtualModule& module)
{
    UpgradeState& up = Up(module);
    up.stage = Stage::Firmware;
    up.takingLoader = false;
    up.prepared = false;
    up.pending.clear();
    up.sum = 0;
    ModuleState& state = module.State();
    state.version = module.Config().nextVersion.value_or(state.version);
    state.build = module.Config().nextBuild.value_or(state.build);
    module.Note("firmware started version " + VersionText(state.version) + " build " + std::to_string(state.build));
}

void Init(VirtualModule& module, HostLink& link, const Frame& request)
{
    UpgradeState& up = Up(module);
    uint32_t base = module.Config().loaderBase;
    up.takingLoader = true;
    up.position = base;
    up.sum = 0;
    module.Note("upgrade INIT base " + Hex8(base));
    Frame body;
    StoreBE32(body, base);
    Answer(module, link, request, kInit, body);
}

// A firmware block's attempts are counted by its address: the host prepares
// a block again to retry it.
void CountAttempt(UpgradeState& up, uint32_t address)
{
    uint32_t& attempts = up.attempts[address];
    if (attempts++ == 0)
        up.blocks.push_back(address);
    up.block = static_cast<uint32_t>(std::find(up.blocks.begin(), up.blocks.end(), address) - up.blocks.begin()) + 1;
    up.attempt = attempts;
}

void Prepare(VirtualModule& module, HostLink& link, const Frame& request)
{
    UpgradeState& up = Up(module);
    uint16_t size = module.Config().blockSize;
    if (request.length < 7) {
        module.Note("upgrade PREPARE refused: " + std::to_string(request.length) + " bytes");
        up.prepared = false;
        AnswerStatus(module, link, request, kStatusFailed, Size16(0));
        return;
    }
    uint8_t flags = request.data[2];
    uint32_t address = LoadBE32(&request.data[3]);
    up.position = address;
    up.pending.clear();
    up.sum = 0;
    std::string what = "upgrade PREPARE flags " + std::to_string(flags) + " address " + Hex8(address) + " size " +
                       std::to_string(size);
    if (TakingFirmware(module)) {
        ++up.prepareRequests;
        CountAttempt(up, address);
        what += " block " + std::to_string(up.block) + " attempt " + std::to_string(up.attempt);
        if (Numbered(module, "fail-prepare", up.prepareRequests)) {
            up.prepared = false;
            module.Note(what + " failed (fault fail-prepare)");
            AnswerStatus(module, link, request, kStatusFailed, Size16(0));
            return;
        }
        up.prepared = true;
    }
    module.Note(what);
    AnswerStatus(module, link, request, kStatusOk, Size16(size));
}

// Firmware bytes wait for WRITE, at most a block's worth.
// DATA is nearly every request of an update, so its handling builds the text
// of its event (what) only when there is a record to take it.
uint8_t TakeFirmwareData(VirtualModule& module, std::string_view chunk, std::string* what)
{
    UpgradeState& up = Up(module);
    ++up.dataRequests;
    if (Numbered(module, "wrong-count", up.dataRequests)) {
        uint8_t wrong = static_cast<uint8_t>(chunk.empty() ? 1 : chunk.size() - 1);
        if (what)
            *what += " answered " + std::to_string(wrong) + " (fault wrong-count)";
        return wrong;
    }
    if (!up.prepared) {
        if (what)
            *what += " took 0 (no block prepared)";
        return 0;
    }
    size_t room = module.Config().blockSize - std::min<size_t>(up.pending.size(), module.Config().blockSize);
    std::string_view taken = chunk.substr(0, room);
    if (taken.size() < chunk.size() && what)
        *what += " took " + std::to_string(taken.size()) + " (block size " +
                 std::to_string(module.Config().blockSize) + ")";
    up.pending += taken;
    AddToSum(up, taken);
    return static_cast<uint8_t>(taken.size());
}

uint8_t TakeLoaderData(VirtualModule& module, std::string_view chunk, std::string* what)
{
    UpgradeState& up = Up(module);
    if (!up.ram.Write(up.position, std::string(chunk))) {
        if (what)
            *what += " took 0 (beyond the memory)";
        return 0;
    }
    up.position += static_cast<uint32_t>(chunk.size());
    AddToSum(up, chunk);
    return static_cast<uint8_t>(chunk.size());
}

void Data(VirtualModule& module, HostLink& link, const Frame& request)
{
    UpgradeState& up = Up(module);
    std::string_view chunk(reinterpret_cast<const char*>(&request.data[2]), request.length - 2u);
    bool firmware = TakingFirmware(module);
    uint32_t at = firmware ? up.position + static_cast<uint32_t>(up.pending.size()) : up.position;
    std::string text;
    std::string* what = module.Recording() ? &text : nullptr;
    if (what)
        text = "upgrade DATA " + Hex8(at) + " " + std::to_string(chunk.size());
    if (firmware && Numbered(module, "drop-data", up.dataRequests + 1)) {
        ++up.dataRequests;
        module.Note(text + " unanswered (fault drop-data)");
        return;
    }
    uint8_t count = firmware ? TakeFirmwareData(module, chunk, what) : TakeLoaderData(module, chunk, what);
    if (what)
        module.Note(text);
    Answer(module, link, request, kData, Frame::Make(0, {count}));
}

void Sum(VirtualModule& module, HostLink& link, const Frame& request)
{
    UpgradeState& up = Up(module);
    uint32_t sum = up.sum;
    up.sum = 0;
    std::string what = "upgrade SUM " + Hex8(sum);
    if (TakingFirmware(module) && WrongSumNow(module)) {
        what = "upgrade SUM " + Hex8(sum + 1) + " for " + Hex8(sum) + " (fault wrong-sum)";
        ++sum;
    }
    module.Note(what);
    Frame body;
    StoreBE32(body, sum);
    AnswerStatus(module, link, request, kStatusOk, body);
}

void Write(VirtualModule& module, HostLink& link, const Frame& request)
{
    UpgradeState& up = Up(module);
    if (request.length < 4) {
        module.Note("upgrade WRITE refused: " + std::to_string(request.length) + " bytes");
        AnswerStatus(module, link, request, kStatusFailed);
        return;
    }
    uint16_t count = static_cast<uint16_t>(request.data[2] << 8 | request.data[3]);
    std::string what = "upgrade WRITE " + Hex8(up.position) + " " + std::to_string(count);
    if (!TakingFirmware(module) || !up.prepared) {
        module.Note(what + " refused: no firmware block prepared");
        AnswerStatus(module, link, request, kStatusFailed);
        return;
    }
    ++up.writeRequests;
    if (Numbered(module, "fail-write", up.writeRequests)) {
        up.pending.clear();
        up.sum = 0;
        module.Note(what + " failed (fault fail-write)");
        AnswerStatus(module, link, request, kStatusFailed);
        return;
    }
    if (count != up.pending.size()) {
        module.Note(what + " refused: " + std::to_string(up.pending.size()) + " bytes taken");
        AnswerStatus(module, link, request, kStatusFailed);
        return;
    }
    if (!up.flash.Write(up.position, up.pending)) {
        module.Note(what + " refused: beyond the memory");
        AnswerStatus(module, link, request, kStatusFailed);
        return;
    }
    module.Note(what);
    up.position += count;
    up.pending.clear();
    up.sum = 0;
    AnswerStatus(module, link, request, kStatusOk);
}

// Starts the loader the host sent: in place with an answer, or by restarting
// into it, which drops the links without one (the `load` setting).
void Load(VirtualModule& module, HostLink& link, const Frame& request)
{
    Up(module).takingLoader = false;
    if (!module.Config().loadRestarts) {
        module.Note("upgrade LOAD answered");
        Answer(module, link, request, kLoad);
        StartLoader(module);
        return;
    }
    module.Note("upgrade LOAD");
    module.Restart("loader", [&module] { StartLoader(module); });
}

void Reboot(VirtualModule& module, HostLink&, const Frame&)
{
    if (Up(module).stage != Stage::Loader) {
        module.Note("upgrade REBOOT ignored: not in the loader");
        return;
    }
    if (module.Fault("reboot-keeps-link")) {
        module.Note("upgrade REBOOT ignored (fault reboot-keeps-link)");
        return;
    }
    module.Note("upgrade REBOOT");
    Upgrade_DumpFlash(module);
    module.Restart("firmware", [&module] { StartFirmware(module); });
}

using SubCommandHandler = void (*)(VirtualModule&, HostLink&, const Frame&);

const SubCommandHandler kSubCommands[] = {Init, Data, Load, Prepare, Sum, Write, Reboot};

void HandleUpgrade(VirtualModule& module, HostLink& link, const Frame& request)
{
    uint8_t sub = request.length >= 2 ? request.data[1] : 0xFF;
    if (sub >= sizeof kSubCommands / sizeof kSubCommands[0]) {
        module.Note("upgrade sub-command " + (request.length >= 2 ? Hex2(sub) : std::string("missing")) +
                    " unanswered");
        return;
    }
    kSubCommands[sub](module, link, request);
}

}  // namespace

void Upgrade_Register(CommandTable& table)
{
    table.Set(kUpgradeCommand, HandleUpgrade);
}

void Upgrade_DumpFlash(VirtualModule& module)
{
    const std::string& path = module.Config().flashDump;
    if (path.empty())
        return;
    const UpgradeState& up = module.State().upgrade;
    std::string text = "# flash and loader RAM of " + Hex8(module.Config().serial) + "\n" + up.flash.Dump("flash") +
                       up.ram.Dump("loader");
    // Whole or not at all: a reader never sees half a dump.
    std::string temp = path + ".tmp";
    FILE* file = fopen(temp.c_str(), "we");
    bool written = file && fwrite(text.data(), 1, text.size(), file) == text.size();
    written = file && fclose(file) == 0 && written;
    if (written && rename(temp.c_str(), path.c_str()) == 0) {
        module.Note("flash dumped to " + path);
        return;
    }
    remove(temp.c_str());
    module.Note("flash dump to " + path + " failed");
}

}  // namespace vmodule
