// libFuzzer target for the image reader. The first byte picks what the rest
// is: even, the uncompressed payload (compressed here, so the fuzzer works on
// the block scan rather than on zlib); odd, the whole file as stored.

#include <zlib.h>

#include <cstdint>
#include <cstdio>
#include <vector>

#include "BirdFile.h"
#include "FuzzFile.h"

namespace {

std::vector<uint8_t> ImageFromPayload(const uint8_t* data, size_t size)
{
    uLongf length = compressBound(uLong(size));
    std::vector<uint8_t> file = {'b', 'i', 'r', 'd', 1, 1};
    file.resize(BirdFile::HEADER_SIZE + length);
    if (compress2(file.data() + BirdFile::HEADER_SIZE, &length, data, uLong(size), Z_BEST_SPEED) != Z_OK)
        __builtin_trap();
    file.resize(BirdFile::HEADER_SIZE + length);
    return file;
}

void CheckInvariants(const BirdFile& image)
{
    const uint8_t* begin = image.buffer.data();
    const uint8_t* end = begin + image.buffer.size();
    if (image.bufferSize != image.buffer.size() || image.blockCount != image.blocks.size())
        __builtin_trap();
    for (const BirdBlock& block : image.blocks)
        if (block.data < begin || block.data + block.length > end)
            __builtin_trap();
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    // DumpBlocks prints to standard output; the fuzzer reports on standard error.
    if (!freopen("/dev/null", "w", stdout))
        __builtin_trap();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    static const FuzzFile file("image.bird");
    if (size == 0)
        return 0;
    if (data[0] % 2 == 0) {
        std::vector<uint8_t> bytes = ImageFromPayload(data + 1, size - 1);
        file.write(bytes.data(), bytes.size());
    } else {
        file.write(data + 1, size - 1);
    }

    BirdFile image;
    image.path = file.path();
    bool loaded = image.Load();
    if (data[0] % 2 == 0 && !loaded && size - 1 < 64)
        __builtin_trap();  // a small payload compressed here always decompresses
    CheckInvariants(image);

    image.GetSerialNumber();
    image.ValidateSerialNumber(0x40F5849A);
    image.GetBuild();
    image.GetVersion();
    image.GetModel();
    image.ValidateModel("Avolin");
    image.ValidateModel("");
    uint32_t start = 0;
    image.GetStartAddress(&start);
    image.FindSerialNumberOffsets();
    image.ReplaceSerialNumber(0x1234ABCD);
    const uint32_t key[4] = {0x01234567, 0x89ABCDEF, 0xFEDCBA98, 0x76543210};
    image.DecodeFirmwareBlocks(key);
    for (int type = 0; type < 32; ++type)
        if (!image.FindBlocks(BirdFile::BLOCK_TYPE(type)).empty())
            image.DumpBlocks(BirdFile::BLOCK_TYPE(type));
    CheckInvariants(image);

    BirdFile moved = std::move(image);
    CheckInvariants(moved);
    return 0;
}
