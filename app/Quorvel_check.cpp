#include "Quorvel.h"

#include <cstdio>
#include <stdexcept>

#include "BirdFile.h"
#include "aFile.h"

namespace {

typedef QuorvelDisplayInterface Display;

// "bird" read as the big-endian word the loader stores.
constexpr uint32_t BIRD_MAGIC = 0x62697264;

void _show_identity(Display& display, const BirdFile& image)
{
    display.message(Display::LEVEL_INFO, "  Format version: %u.%u", (image.version >> 8) & 0xFF,
                    image.version & 0xFF);
    display.message(Display::LEVEL_INFO, "  Build:          %u", image.GetBuild());
    display.message(Display::LEVEL_INFO, "  Version:        %s", image.GetVersion().c_str());
    if (image.hasSerialOffsets)
        display.message(Display::LEVEL_INFO,
                        "  Serial number:  generic (serial number at 0x%08X, descriptor at 0x%08X)",
                        image.serialNumberOffset, image.descriptorOffset);
    else
        display.message(Display::LEVEL_INFO, "  Serial number:  %08X", image.GetSerialNumber());
    display.message(Display::LEVEL_INFO, "  Model:          %s", image.GetModel().c_str());
    uint32_t start = 0;
    if (image.GetStartAddress(&start))
        display.message(Display::LEVEL_INFO, "  Start address:  0x%08X", start);
}

void _show_blocks(Display& display, const BirdFile& image)
{
    display.message(Display::LEVEL_INFO, "  Blocks:         %u", image.blockCount);
    for (const BirdBlock& block : image.blocks) {
        bool loads = block.type == BirdFile::BLOCK_TYPE_LOADER || block.type == BirdFile::BLOCK_TYPE_FIRMWARE;
        char address[16] = "-";
        if (loads)
            snprintf(address, sizeof address, "0x%08X", block.address);
        display.message(Display::LEVEL_INFO, "    %-16s flags %u  length %10u  address %s",
                        BirdFile::BlockTypeName(block.type).c_str(), block.flags, block.length, address);
    }
}

void _show_warnings(Display& display, const BirdFile& image)
{
    if (image.blockCount != image.declaredBlockCount)
        display.message(Display::LEVEL_INFO, "Warning: the image declares %u blocks but holds %u",
                        image.declaredBlockCount, image.blockCount);
    if (image.unparsedBytes != 0)
        display.message(Display::LEVEL_INFO, "Warning: %u bytes at the end of the image could not be parsed",
                        image.unparsedBytes);
    if (image.FindBlocks(BirdFile::BLOCK_TYPE_INFO).empty())
        display.message(Display::LEVEL_INFO, "Warning: the image has no information block");
    // The update takes such a file from a path, but the store refuses it.
    if (image.signature != BIRD_MAGIC)
        display.message(Display::LEVEL_INFO, "Warning: the file does not begin with \"bird\"");
    else if ((image.version >> 8) == 0 || (image.version & 0xFF) == 0)
        display.message(Display::LEVEL_INFO,
                        "Warning: format version %u.%u; the local store would refuse this image",
                        (image.version >> 8) & 0xFF, image.version & 0xFF);
}

}  // namespace

// Loads the image the way an update does (the path constructor) and reports
// it; true only when it loads and holds something to transfer.
bool Quorvel::Check_BirdFile(const std::string& path)
{
    if (path.empty()) {
        display_.message(Display::LEVEL_ERROR, "No BIRD file given to check (use -f)");
        return false;
    }
    if (!aFile_Exists(path.c_str())) {
        display_.message(Display::LEVEL_ERROR, "BIRD file not found: %s", path.c_str());
        return false;
    }
    BirdFile image;
    try {
        image = BirdFile(path);
    } catch (const std::runtime_error&) {
        display_.message(Display::LEVEL_ERROR, "Not a valid BIRD file (it cannot be read or decompressed): %s",
                         path.c_str());
        return false;
    }
    if (image.FindBlocks(BirdFile::BLOCK_TYPE_FIRMWARE).empty()) {
        display_.message(Display::LEVEL_ERROR, "BIRD file holds no firmware block: %s", path.c_str());
        return false;
    }
    display_.message(Display::LEVEL_INFO, "BIRD file: %s", path.c_str());
    _show_identity(display_, image);
    _show_blocks(display_, image);
    _show_warnings(display_, image);
    return true;
}
