#include "Faults.h"

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdlib>

#include "aPacket.h"

namespace vmodule {

namespace {

// Options have six bits; command bytes, error codes and lengths are bytes of a frame.
const char* OptionAndCode(const std::vector<uint32_t>& args)
{
    return args[0] > 63 || args[1] > 255 ? "OPT is 0..63, ERR 0..255" : nullptr;
}

const char* CommandAndLength(const std::vector<uint32_t>& args)
{
    return args[0] > 255 || args[1] > aPACKET_MAX_DATA ? "CMD is 0..255, LEN 0..28" : nullptr;
}

const char* CommandAndDelay(const std::vector<uint32_t>& args)
{
    return args[0] > 255 || args[1] > 60000 ? "CMD is 0..255, MS 0..60000" : nullptr;
}

const char* Option(const std::vector<uint32_t>& args)
{
    return args[0] > 63 ? "an option is 0..63" : nullptr;
}

// Requests are numbered from 1.
const char* FirstAndCount(const std::vector<uint32_t>& args)
{
    return args[0] == 0 || (args.size() > 1 && args[1] == 0) ? "FIRST and COUNT are 1 or more" : nullptr;
}

const char* AttemptsAndBlock(const std::vector<uint32_t>& args)
{
    return args[0] == 0 ? "K is 1 or more (BLOCK 0 means every block)" : nullptr;
}

const FaultSpec kFaults[] = {
    {"no-address-reply", 0, "no-address-reply", "leave the address query 0xAD unanswered"},
    {"drop-reply", 1, "drop-reply:CMD", "answer no request whose command byte is CMD"},
    {"drop-link", 1, "drop-link:N", "close the link when its N-th frame arrives (unanswered)"},
    {"stray-byte", 0, "stray-byte", "send one odd byte (0x03) before the first frame on each link"},
    {"refuse-option", 2, "refuse-option:OPT,ERR", "answer system option OPT, get or set, with error ERR", OptionAndCode},
    {"drop-option", 1, "drop-option:OPT", "leave system option OPT, get or set, unanswered", Option},
    {"late-reply", 2, "late-reply:CMD,MS", "send answers to command CMD MS milliseconds late", CommandAndDelay},
    {"wrong-length", 2, "wrong-length:CMD,LEN",
     "answers to command CMD carry LEN data bytes (cut, or padded with zeros)", CommandAndLength},
    // The upgrade faults act on the loader taking firmware blocks; requests are
    // numbered from 1 from the loader's start, COUNT is 1 unless given.
    {"drop-data", 2, "drop-data:FIRST[,COUNT]",
     "the loader leaves DATA requests FIRST to FIRST+COUNT-1 unanswered",
     FirstAndCount, 1},
    {"wrong-count", 2, "wrong-count:FIRST[,COUNT]",
     "the loader answers DATA requests FIRST to FIRST+COUNT-1 with a count\n"
     "                        one lower than they carried, taking nothing", FirstAndCount, 1},
    {"wrong-sum", 2, "wrong-sum:K[,BLOCK]",
     "the loader's SUM answers are one too high on the first K attempts\n"
     "                        (PREPAREs) of each firmware block, or of block BLOCK only", AttemptsAndBlock, 1},
    {"fail-prepare", 2, "fail-prepare:FIRST[,COUNT]",
     "the loader answers PREPARE requests FIRST to FIRST+COUNT-1 with status 1", FirstAndCount, 1},
    {"fail-write", 2, "fail-write:FIRST[,COUNT]",
     "the loader answers WRITE requests FIRST to FIRST+COUNT-1 with status 1,\n"
     "                        writing nothing", FirstAndCount, 1},
    {"reboot-keeps-link", 0, "reboot-keeps-link",
     "the loader ignores REBOOT: it keeps running, its links stay open"},
    {nullptr, 0, nullptr, nullptr},
};

bool ParseArg(const std::string& text, uint32_t& value)
{
    if (text.empty() || text[0] == '-' || text[0] == '+')
        return false;
    char* end = nullptr;
    errno = 0;
    unsigned long long parsed = strtoull(text.c_str(), &end, 0);
    if (errno || *end || parsed > UINT32_MAX)
        return false;
    value = static_cast<uint32_t>(parsed);
    return true;
}

}  // namespace

const FaultSpec* FaultTable()
{
    return kFaults;
}

bool FaultSet::Add(const std::string& text, std::string& error)
{
    FaultSwitch parsed;
    size_t colon = text.find(':');
    parsed.name = text.substr(0, colon);
    if (colon != std::string::npos) {
        std::string rest = text.substr(colon + 1);
        size_t start = 0;
        for (;;) {
            size_t comma = rest.find(',', start);
            uint32_t value = 0;
            if (!ParseArg(rest.substr(start, comma - start), value)) {
                error = text + ": arguments must be numbers";
                return false;
            }
            parsed.args.push_back(value);
            if (comma == std::string::npos)
                break;
            start = comma + 1;
        }
    }
    for (const FaultSpec* spec = kFaults; spec->name; ++spec) {
        if (parsed.name != spec->name)
            continue;
        int given = static_cast<int>(parsed.args.size());
        if (given > spec->argCount || given < spec->argCount - spec->optional) {
            error = text + ": expected " + spec->form;
            return false;
        }
        if (const char* why = spec->check ? spec->check(parsed.args) : nullptr) {
            error = text + ": " + why;
            return false;
        }
        switches_.push_back(parsed);
        return true;
    }
    error = "unknown fault " + parsed.name;
    return false;
}

const FaultSwitch* FaultSet::Find(const std::string& name, std::vector<uint32_t> args) const
{
    for (const auto& s : switches_) {
        if (s.name != name || s.args.size() < args.size())
            continue;
        if (std::equal(args.begin(), args.end(), s.args.begin()))
            return &s;
    }
    return nullptr;
}

std::vector<const FaultSwitch*> FaultSet::FindAll(const std::string& name) const
{
    std::vector<const FaultSwitch*> found;
    if (switches_.empty())
        return found;
    for (const auto& s : switches_)
        if (s.name == name)
            found.push_back(&s);
    return found;
}

}  // namespace vmodule
