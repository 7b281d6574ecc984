#ifndef VMODULE_SPARSEMEMORY_H
#define VMODULE_SPARSEMEMORY_H

// A module's memory as far as the host wrote it: bytes by 32-bit address,
// kept as runs of contiguous bytes (a byte map keyed by address, without a
// map node per byte). The loader's RAM and the flash it writes are each one.

#include <cstddef>
#include <cstdint>
#include <map>
#include <string>

namespace vmodule {

class SparseMemory {
public:
    // Bytes a memory holds at most, so a host that never stops sending cannot
    // take the program's memory.
    static constexpr size_t kLimit = 64u << 20;

    // Writes over whatever was there. False, with nothing written, when the
    // bytes would run past the 32-bit address space or beyond kLimit.
    bool Write(uint32_t address, const std::string& bytes);
    size_t Size() const { return size_; }
    // Runs by their first address, adjacent runs merged.
    const std::map<uint32_t, std::string>& Runs() const { return runs_; }

    // Lines "AREA range ADDRESS LENGTH" for each run, followed by its bytes
    // 32 to a line, "AREA ADDRESS XX XX ...": addresses as eight hex digits,
    // the length in decimal.
    std::string Dump(const std::string& area) const;

private:
    std::map<uint32_t, std::string> runs_;
    size_t size_ = 0;
};

}  // namespace vmodule

#endif
