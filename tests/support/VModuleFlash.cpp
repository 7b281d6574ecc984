#include "VModuleFlash.h"

#include <gtest/gtest.h>

#include <sstream>

#include "testsupport.h"

namespace testsupport {

std::string DumpedMemory::At(uint32_t address, size_t length) const
{
    std::string text;
    for (size_t i = 0; i < length; ++i) {
        auto it = bytes.find(static_cast<uint32_t>(address + i));
        if (it == bytes.end()) {
            ADD_FAILURE() << "byte " << std::hex << address + i << " was never written";
            return text;
        }
        text.push_back(static_cast<char>(it->second));
    }
    return text;
}

FlashDump ReadFlashDump(const std::string& path)
{
    FlashDump dump;
    for (const auto& line : SplitLines(ReadFile(path))) {
        if (line.empty() || line[0] == '#')
            continue;
        std::istringstream words(line);
        std::string area, word;
        words >> area >> word;
        DumpedMemory* memory = area == "flash" ? &dump.flash : area == "loader" ? &dump.loader : nullptr;
        if (!memory) {
            ADD_FAILURE() << "malformed dump line: " << line;
            continue;
        }
        if (word == "range") {
            std::string address;
            uint32_t length = 0;
            if (!(words >> address >> length))
                ADD_FAILURE() << "malformed range line: " << line;
            memory->ranges.emplace_back(static_cast<uint32_t>(std::stoul(address, nullptr, 16)), length);
            continue;
        }
        uint32_t address = static_cast<uint32_t>(std::stoul(word, nullptr, 16));
        std::string byte;
        while (words >> byte)
            memory->bytes[address++] = static_cast<uint8_t>(std::stoul(byte, nullptr, 16));
    }
    for (const DumpedMemory* memory : {&dump.flash, &dump.loader}) {
        size_t covered = 0;
        for (const auto& [address, length] : memory->ranges)
            covered += length;
        EXPECT_EQ(covered, memory->bytes.size()) << "ranges and bytes of " << path << " disagree";
    }
    return dump;
}

}  // namespace testsupport
