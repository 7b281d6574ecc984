#include "FirmwareTree.h"

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <sstream>

namespace fs = std::filesystem;

namespace updateserver {

namespace {

bool _all_of(const std::string& text, size_t maxDigits, int (*isDigit)(int))
{
    return !text.empty() && text.size() <= maxDigits &&
           std::all_of(text.begin(), text.end(), [isDigit](unsigned char c) { return isDigit(c) != 0; });
}

std::string _trim(const std::string& text)
{
    size_t begin = text.find_first_not_of(" \t\r\n");
    if (begin == std::string::npos)
        return "";
    size_t end = text.find_last_not_of(" \t\r\n");
    return text.substr(begin, end - begin + 1);
}

// The first line of a file, trimmed; false when the file cannot be read.
bool _first_line(const std::string& path, std::string& line)
{
    std::ifstream in(path);
    if (!in)
        return false;
    std::getline(in, line);
    line = _trim(line);
    return true;
}

}  // namespace

std::string HexWord(uint32_t value)
{
    char text[9];
    snprintf(text, sizeof text, "%08X", value);
    return text;
}

bool ParseHexWord(const std::string& text, uint32_t& value)
{
    if (!_all_of(text, 8, isxdigit))
        return false;
    value = static_cast<uint32_t>(std::stoul(text, nullptr, 16));
    return true;
}

bool ParseBuild(const std::string& text, uint32_t& build)
{
    if (!_all_of(text, 10, isdigit))
        return false;
    unsigned long long value = std::stoull(text);
    if (value > 0xFFFFFFFFull)
        return false;
    build = static_cast<uint32_t>(value);
    return true;
}

bool ParseFingerprint(const std::string& text, FingerprintWords& words)
{
    size_t start = 0;
    for (size_t i = 0; i < words.size(); ++i) {
        size_t end = i + 1 < words.size() ? text.find(' ', start) : text.size();
        if (end == std::string::npos || !ParseHexWord(text.substr(start, end - start), words[i]))
            return false;
        start = end + 1;
    }
    return true;
}

std::string FirmwareTree::DevicePath(uint32_t serial) const
{
    return root_ + "/" + HexWord(serial);
}

std::string FirmwareTree::BuildPath(uint32_t serial, uint32_t build, const char* suffix) const
{
    return DevicePath(serial) + "/" + std::to_string(build) + suffix;
}

bool FirmwareTree::HasDevice(uint32_t serial) const
{
    std::error_code ec;
    return fs::is_directory(DevicePath(serial), ec);
}

std::vector<uint32_t> FirmwareTree::Builds(uint32_t serial) const
{
    std::vector<uint32_t> builds;
    std::error_code ec;
    for (const auto& entry : fs::directory_iterator(DevicePath(serial), ec)) {
        const fs::path& path = entry.path();
        uint32_t build;
        // Only the canonical name counts: "0125.bird" is not build 125.
        if (path.extension() == IMAGE_SUFFIX && ParseBuild(path.stem().string(), build) &&
            path.stem().string() == std::to_string(build) && entry.is_regular_file(ec))
            builds.push_back(build);
    }
    std::sort(builds.begin(), builds.end());
    return builds;
}

Lookup FirmwareTree::CurrentBuild(uint32_t serial, uint32_t& build, std::string& why) const
{
    std::string line;
    if (_first_line(DevicePath(serial) + "/" + CURRENT_FILE, line)) {
        if (ParseBuild(line, build))
            return Lookup::Found;
        why = HexWord(serial) + "/" + CURRENT_FILE + " does not hold a build number";
        return Lookup::Broken;
    }
    std::vector<uint32_t> builds = Builds(serial);
    if (builds.empty()) {
        why = "no builds for device " + HexWord(serial);
        return Lookup::Missing;
    }
    build = builds.back();
    return Lookup::Found;
}

std::string FirmwareTree::FirmwareId(uint32_t serial) const
{
    std::string line;
    if (_first_line(DevicePath(serial) + "/" + FIRMWARE_FILE, line) && !line.empty())
        return line;
    return DEFAULT_FIRMWARE_ID;
}

std::string FirmwareTree::VersionText(uint32_t serial, uint32_t build) const
{
    std::string line;
    if (_first_line(BuildPath(serial, build, VERSION_SUFFIX), line) && !line.empty())
        return line;
    return DEFAULT_VERSION_TEXT;
}

bool FirmwareTree::ReadImage(uint32_t serial, uint32_t build, std::string& bytes) const
{
    std::error_code ec;
    std::string path = BuildPath(serial, build, IMAGE_SUFFIX);
    if (!fs::is_regular_file(path, ec))
        return false;
    std::ifstream in(path, std::ios::binary);
    std::ostringstream content;
    content << in.rdbuf();
    if (!in)
        return false;
    bytes = content.str();
    return true;
}

Lookup FirmwareTree::FindRecovery(const FingerprintWords& fingerprint, uint32_t& serial, uint32_t& build,
                                  std::string& why) const
{
    std::ifstream in(root_ + "/" + FINGERPRINTS_FILE);
    std::string line;
    while (std::getline(in, line)) {
        std::istringstream fields(line.substr(0, line.find('#')));
        std::string word[6];
        FingerprintWords listed;
        int n = 0;
        while (n < 6 && fields >> word[n])
            ++n;
        if (n < 5 || !ParseHexWord(word[0], listed[0]) || !ParseHexWord(word[1], listed[1]) ||
            !ParseHexWord(word[2], listed[2]) || !ParseHexWord(word[3], listed[3]) || listed != fingerprint)
            continue;
        if (!ParseHexWord(word[4], serial)) {
            why = std::string(FINGERPRINTS_FILE) + ": bad serial number " + word[4];
            return Lookup::Broken;
        }
        if (n < 6)
            return CurrentBuild(serial, build, why);
        if (ParseBuild(word[5], build))
            return Lookup::Found;
        why = std::string(FINGERPRINTS_FILE) + ": bad build number " + word[5];
        return Lookup::Broken;
    }
    serial = DEFAULT_RECOVERY_SERIAL;
    if (!HasDevice(serial)) {
        why = "unknown fingerprint and no default recovery device " + HexWord(serial);
        return Lookup::Missing;
    }
    return CurrentBuild(serial, build, why);
}

}  // namespace updateserver
