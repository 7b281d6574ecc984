#ifndef QUORVEL_VMODULE_FLASH_H
#define QUORVEL_VMODULE_FLASH_H

// Reading the virtual module program's flash dump (its `flash-dump` file):
// the flash as the module's loader wrote it and the loader blocks its
// firmware received, each as address ranges and bytes.

#include <cstdint>
#include <map>
#include <string>
#include <utility>
#include <vector>

namespace testsupport {

struct DumpedMemory {
    std::vector<std::pair<uint32_t, uint32_t>> ranges;  // (first address, length), ascending
    std::map<uint32_t, uint8_t> bytes;                  // by address

    // length bytes from address on; a byte never written fails the test.
    std::string At(uint32_t address, size_t length) const;
};

struct FlashDump {
    DumpedMemory flash;
    DumpedMemory loader;
};

// A line of another form, or bytes that do not fill their ranges, fail the
// test that reads it.
FlashDump ReadFlashDump(const std::string& path);

}  // namespace testsupport

#endif
