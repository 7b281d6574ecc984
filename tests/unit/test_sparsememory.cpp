// The virtual module's memory, which stands for a module's flash in the
// update tests: whatever order the host writes in, it must hold exactly
// the bytes last written at each address.

#include <gtest/gtest.h>

#include <map>
#include <string>
#include <vector>

#include "SparseMemory.h"

namespace {

struct Write {
    uint32_t address;
    std::string bytes;
};

struct Case {
    const char* name;
    std::vector<Write> writes;
};

// Byte by byte, as a reference.
std::map<uint32_t, char> Expected(const std::vector<Write>& writes)
{
    std::map<uint32_t, char> bytes;
    for (const Write& w : writes)
        for (size_t i = 0; i < w.bytes.size(); ++i)
            bytes[w.address + static_cast<uint32_t>(i)] = w.bytes[i];
    return bytes;
}

std::map<uint32_t, char> Held(const vmodule::SparseMemory& memory)
{
    std::map<uint32_t, char> bytes;
    for (const auto& [address, run] : memory.Runs())
        for (size_t i = 0; i < run.size(); ++i)
            bytes[address + static_cast<uint32_t>(i)] = run[i];
    return bytes;
}

TEST(SparseMemory, HoldsTheLastBytesWrittenAtEachAddress)
{
    const Case cases[] = {
        {"pieces in order", {{0x100, "abcd"}, {0x104, "efgh"}, {0x108, "ij"}}},
        {"over the middle of a run", {{0x100, "abcdefgh"}, {0x102, "XY"}}},
        {"over the start and past the end", {{0x100, "abcd"}, {0x100, "WXYZ12"}}},
        {"just before a run", {{0x104, "efgh"}, {0x100, "abcd"}}},
        {"overlapping a run's start", {{0x104, "efgh"}, {0x102, "XYZ"}}},
        {"bridging two runs", {{0x100, "ab"}, {0x108, "ij"}, {0x101, "BCDEFGHI"}}},
        {"apart", {{0x100, "ab"}, {0x200, "cd"}}},
        {"again from the start of a block", {{0x100, "abcd"}, {0x104, "efgh"}, {0x100, "ABCD"}}},
    };
    for (const Case& c : cases) {
        vmodule::SparseMemory memory;
        for (const Write& w : c.writes)
            ASSERT_TRUE(memory.Write(w.address, w.bytes)) << c.name;
        std::map<uint32_t, char> expected = Expected(c.writes);
        EXPECT_EQ(Held(memory), expected) << c.name;
        EXPECT_EQ(memory.Size(), expected.size()) << c.name;
        // Adjacent runs are one run.
        uint64_t previousEnd = 0;
        bool first = true;
        for (const auto& [address, run] : memory.Runs()) {
            if (!first) {
                EXPECT_GT(address, previousEnd) << c.name << ": runs touch at " << address;
            }
            first = false;
            previousEnd = uint64_t{address} + run.size();
        }
    }
}

TEST(SparseMemory, RefusesWritesPastTheAddressSpaceOrTheLimit)
{
    vmodule::SparseMemory memory;
    EXPECT_FALSE(memory.Write(0xFFFFFFFE, "abc"));
    std::string big(vmodule::SparseMemory::kLimit, 'x');
    ASSERT_TRUE(memory.Write(0, big));
    EXPECT_FALSE(memory.Write(static_cast<uint32_t>(big.size()), "y")) << "growing a run past the limit";
    EXPECT_TRUE(memory.Write(10, "zz")) << "overwriting within it";
    EXPECT_EQ(memory.Size(), vmodule::SparseMemory::kLimit);
}

}  // namespace
