#ifndef QUORVEL_BIRDFILE_H
#define QUORVEL_BIRDFILE_H

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

struct aFileRecord;

// One block of a loaded image. A cheap copy: `data` points into the buffer of
// the BirdFile it came from and stays valid as long as that BirdFile does.
struct BirdBlock {
    uint8_t type = 0;
    uint8_t flags = 0;
    uint32_t length = 0;    // bytes of data
    uint32_t address = 0;   // load address (loader and firmware blocks only)
    uint8_t* data = nullptr;

    // Loader and firmware blocks: the bytes after the load address.
    const uint8_t* payload() const { return length >= 4 ? data + 4 : data; }
    uint32_t payloadLength() const { return length >= 4 ? length - 4 : 0; }
};

// A ".bird" firmware image in memory. The product only reads images; the
// two in-place changes (serial stamping, unscrambling) touch the buffer only.
class BirdFile {
public:
    enum BLOCK_TYPE : uint8_t {
        BLOCK_TYPE_LOADER = 0,
        BLOCK_TYPE_FIRMWARE = 1,
        BLOCK_TYPE_SERIAL_OFFSETS = 2,
        BLOCK_TYPE_INFO = 4,
        BLOCK_TYPE_START_ADDRESS = 5,
    };

    static constexpr char BIRD_FILE_SIGNATURE[5] = "bird";
    static constexpr uint8_t BIRD_FILE_VERSION[2] = {1, 1};
    static constexpr size_t HEADER_SIZE = 6;
    static constexpr uint8_t BIRD_FILE_TYPE_MASK = 0x1F;
    static constexpr uint8_t BIRD_FILE_FLAG_MASK = 0xE0;
    static constexpr int BIRD_FILE_FLAG_SHIFT = 5;
    // The uncompressed size is not recorded; a payload may expand this much.
    static constexpr size_t EXPANSION_LIMIT = 8;
    static constexpr size_t INFO_FIELD_SIZE = 16;
    static constexpr size_t INFO_BLOCK_SIZE = 4 * INFO_FIELD_SIZE;
    static constexpr size_t SERIAL_TEXT_LENGTH = 8;
    static constexpr size_t DESCRIPTOR_SPAN = 2 * SERIAL_TEXT_LENGTH;
    static constexpr size_t KEY_SIZE = 16;
    static constexpr size_t DUMP_LINE_BYTES = 50;

    std::string path;
    uint32_t signature = 0;
    uint32_t version = 0;
    uint32_t checksum = 0;
    uint32_t blockCount = 0;
    std::vector<BirdBlock> blocks;
    bool hasSerialOffsets = false;
    uint32_t serialNumberOffset = 0;
    uint32_t descriptorOffset = 0;
    std::vector<uint8_t> buffer;  // the decompressed payload; blocks point into it
    uint32_t bufferSize = 0;

    // What the last ScanBlocks found, for reports: the count the payload
    // declares and the bytes it could not account for (0 when clean).
    uint32_t declaredBlockCount = 0;
    uint32_t unparsedBytes = 0;

    BirdFile() = default;
    // Throws std::runtime_error("Failed to load bird data") when Load fails.
    explicit BirdFile(const std::string& filePath);

    BirdFile(BirdFile&&) = default;
    BirdFile& operator=(BirdFile&&) = default;
    BirdFile(const BirdFile&) = delete;
    BirdFile& operator=(const BirdFile&) = delete;

    bool Load();
    static bool VerifyFile(const std::string& filePath);

    std::vector<BirdBlock> FindBlocks(BLOCK_TYPE type) const;
    uint32_t GetSerialNumber() const;
    bool ValidateSerialNumber(uint32_t serialNumber) const;
    uint32_t GetBuild() const;
    std::string GetVersion() const;
    // The model name, trailing spaces removed; empty without one.
    std::string GetModel() const;
    bool ValidateModel(const char* model) const;
    // The recovery loader's start address, when the image has one.
    bool GetStartAddress(uint32_t* address) const;

    bool FindSerialNumberOffsets();
    bool ReplaceSerialNumber(uint32_t serialNumber);
    bool DecodeFirmwareBlocks(const uint32_t key[4]);
    bool DumpBlocks(BLOCK_TYPE type) const;

    bool ScanBlocks(uint8_t* payload, uint32_t length);
    bool DecompressData(const uint8_t* compressed, size_t length);

    // "LOADER", "FIRMWARE", ... or "TYPE_n" for types not interpreted here.
    static std::string BlockTypeName(uint8_t type);

private:
    void reset();
    bool loadContents(size_t size, aFileRecord* file);
    const BirdBlock* infoBlock() const;
    // The information field at index 0..3, or null when the block lacks it.
    const char* infoField(size_t index) const;
};

#endif
