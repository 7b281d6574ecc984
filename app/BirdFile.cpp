#include "BirdFile.h"

#include <zlib.h>

#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>
#include <stdexcept>

#include "Log.h"
#include "aFile.h"

namespace {

uint32_t _get_int(const uint8_t* p)
{
    return (uint32_t(p[0]) << 24) | (uint32_t(p[1]) << 16) | (uint32_t(p[2]) << 8) | uint32_t(p[3]);
}

uint32_t _get_short(const uint8_t* p)
{
    return (uint32_t(p[0]) << 8) | uint32_t(p[1]);
}

// Patched words are little-endian, unlike the image's own fields.
uint32_t _get_le(const uint8_t* p)
{
    return uint32_t(p[0]) | (uint32_t(p[1]) << 8) | (uint32_t(p[2]) << 16) | (uint32_t(p[3]) << 24);
}

void _put_le(uint8_t* p, uint32_t value)
{
    for (int i = 0; i < 4; ++i)
        p[i] = uint8_t(value >> (8 * i));
}

bool _has_address(uint8_t type)
{
    return type == BirdFile::BLOCK_TYPE_LOADER || type == BirdFile::BLOCK_TYPE_FIRMWARE;
}

// Pointer to `span` bytes at `target` inside the block's payload, or null.
// 64-bit arithmetic: addresses near 4 GiB must not wrap into range.
uint8_t* _payload_span(const BirdBlock& block, uint32_t target, size_t span)
{
    uint64_t start = block.address;
    uint64_t end = start + block.payloadLength();
    if (target < start || uint64_t(target) + span > end)
        return nullptr;
    return block.data + 4 + (target - block.address);
}

}  // namespace

constexpr char BirdFile::BIRD_FILE_SIGNATURE[5];
constexpr uint8_t BirdFile::BIRD_FILE_VERSION[2];

BirdFile::BirdFile(const std::string& filePath) : path(filePath)
{
    if (!Load())
        throw std::runtime_error("Failed to load bird data");
}

void BirdFile::reset()
{
    signature = 0;
    version = 0;
    checksum = 0;
    blockCount = 0;
    blocks.clear();
    hasSerialOffsets = false;
    serialNumberOffset = 0;
    descriptorOffset = 0;
    buffer.clear();
    bufferSize = 0;
    declaredBlockCount = 0;
    unparsedBytes = 0;
}

bool BirdFile::Load()
{
    reset();
    Log::log(DEBUG_BirdFile, "BIRDFILE: Loading File [%s]\n", path.c_str());
    if (!aFile_Exists(path.c_str())) {
        Log::log(DEBUG_BirdFile, "BIRDFILE: BIRD file not found [%s]\n", path.c_str());
        return false;
    }
    aFileRef file = aFile_Open(path.c_str(), aFileModeRead);
    if (!file) {
        Log::log(DEBUG_BirdFile, "BIRDFILE: Error - cannot open bird file: '%s'\n", path.c_str());
        return false;
    }
    size_t size = 0;
    aErr err = aFile_GetSize(file, &size);
    if (err != aErrNone) {
        Log::log(DEBUG_BirdFile, "BIRDFILE: Error (%d) getting bird file size from %s\n", err, path.c_str());
        aFile_Close(&file);
        return false;
    }
    bool loaded = loadContents(size, file);
    if (FindBlocks(BLOCK_TYPE_SERIAL_OFFSETS).size() > 0) {
        hasSerialOffsets = true;
        FindSerialNumberOffsets();
    }
    aFile_Close(&file);
    return loaded;
}

bool BirdFile::loadContents(size_t size, aFileRecord* file)
{
    std::vector<uint8_t> contents;
    try {
        contents.resize(size);
    } catch (const std::bad_alloc&) {
        Log::log(DEBUG_BirdFile, "BIRDFILE: Error (%d) reading %s\n", aErrMemory, path.c_str());
        return false;
    }
    size_t got = 0;
    if (size > 0) {
        aErr err = aFile_Read(file, contents.data(), size, &got);
        if (err != aErrNone) {
            Log::log(DEBUG_BirdFile, "BIRDFILE: Error (%d) reading %s\n", err, path.c_str());
            return false;
        }
    }
    if (got < size) {
        Log::log(DEBUG_BirdFile, "BIRDFILE: Error reading %s read %zu bytes of %zu byte file\n",
                 path.c_str(), got, size);
        return false;
    }
    if (size > HEADER_SIZE) {
        signature = _get_int(contents.data());
        version = _get_short(contents.data() + 4);
    }
    size_t compressed = size > HEADER_SIZE ? size - HEADER_SIZE : 0;
    if (!DecompressData(contents.data() + (size > HEADER_SIZE ? HEADER_SIZE : 0), compressed))
        return false;
    ScanBlocks(buffer.data(), bufferSize);
    FindSerialNumberOffsets();
    return true;
}

bool BirdFile::VerifyFile(const std::string& filePath)
{
    aFileRef file = aFile_Open(filePath.c_str(), aFileModeRead);
    if (!file) {
        Log::log(DEBUG_BirdFile, "BIRDFILE: Error - cannot open bird file: '%s'\n", filePath.c_str());
        return false;
    }
    uint8_t header[HEADER_SIZE];
    size_t got = 0;
    aErr err = aFile_Read(file, header, sizeof header, &got);
    aFile_Close(&file);
    return err == aErrNone && got == sizeof header && memcmp(header, BIRD_FILE_SIGNATURE, 4) == 0 &&
           header[4] != 0 && header[5] != 0;
}

bool BirdFile::DecompressData(const uint8_t* compressed, size_t length)
{
    blocks.clear();
    blockCount = 0;
    bufferSize = 0;
    buffer.clear();
    int result = Z_MEM_ERROR;
    // zlib counts in uLong; a stream past that (or past 32 bits of payload)
    // is no image of ours.
    size_t limit = length * EXPANSION_LIMIT;
    if (length > 0 && limit / EXPANSION_LIMIT == length && limit <= UINT32_MAX) {
        try {
            buffer.resize(limit);
            uLongf produced = limit;
            result = uncompress(buffer.data(), &produced, compressed, length);
            if (result == Z_OK)
                bufferSize = uint32_t(produced);
        } catch (const std::bad_alloc&) {
            result = Z_MEM_ERROR;
        }
    } else if (length == 0) {
        result = Z_BUF_ERROR;  // no stream at all
    }
    if (result != Z_OK) {
        Log::log(DEBUG_BirdFile, "BIRDFILE: Error (%d) decompressing bird file.\n", result);
        buffer.clear();
        buffer.shrink_to_fit();
        bufferSize = 0;
        return false;
    }
    buffer.resize(bufferSize);
    buffer.shrink_to_fit();
    return true;
}

bool BirdFile::ScanBlocks(uint8_t* payload, uint32_t length)
{
    blockCount = 0;
    blocks.clear();
    checksum = 0;
    declaredBlockCount = 0;
    unparsedBytes = 0;
    if (!payload || length < 4) {
        // Not even the block count: nothing to account for the bytes there are.
        unparsedBytes = payload ? length : 0;
        Log::log(DEBUG_BirdFile, "BIRDFILE: Block parsing mismatch in data size. (%d bytes remaining)\n",
                 int(unparsedBytes));
        return false;
    }
    declaredBlockCount = _get_int(payload);
    Log::log(DEBUG_BirdFile, "BIRDFILE:\t\t File reports %d blocks\n", int(declaredBlockCount));
    Log::log(DEBUG_BirdFile, "BIRDFILE: Bird file objects:\n");
    Log::log(DEBUG_BirdFile, "BIRDFILE: \t\tType Flags Length\n");

    uint8_t* p = payload + 4;
    uint32_t remaining = length - 4;
    bool cut = false;
    while (remaining > 4) {
        BirdBlock block;
        block.type = p[0] & BIRD_FILE_TYPE_MASK;
        block.flags = uint8_t((p[0] & BIRD_FILE_FLAG_MASK) >> BIRD_FILE_FLAG_SHIFT);
        block.length = _get_int(p + 1);
        block.data = p + 5;
        if (block.length > remaining - 5) {
            // The header counts as unparsed too, so a cut right after a
            // header still shows as a size mismatch.
            cut = true;
            break;
        }
        if (_has_address(block.type) && block.length >= 4)
            block.address = _get_int(block.data);
        Log::log(DEBUG_BirdFile, "BIRDFILE:\t\t %02X   %02X   %d\n", block.type, block.flags, int(block.length));
        if (block.type == BLOCK_TYPE_INFO) {
            for (size_t i = 0; i < 4 && (i + 1) * INFO_FIELD_SIZE <= block.length; ++i)
                Log::log(DEBUG_BirdFile, "BIRDFILE:\t\t \t[%16.16s]\n",
                         reinterpret_cast<const char*>(block.data + i * INFO_FIELD_SIZE));
        }
        blocks.push_back(block);
        p += 5 + block.length;
        remaining -= 5 + block.length;
        ++blockCount;
    }
    if (!cut && remaining >= 4) {
        checksum = _get_int(p);
        Log::log(DEBUG_BirdFile, "BIRDFILE:\t\t File checksum %08X\n", checksum);
        remaining -= 4;
    }
    unparsedBytes = remaining;
    bool clean = true;
    if (remaining != 0) {
        Log::log(DEBUG_BirdFile, "BIRDFILE: Block parsing mismatch in data size. (%d bytes remaining)\n",
                 int(remaining));
        clean = false;
    }
    if (blockCount != declaredBlockCount) {
        Log::log(DEBUG_BirdFile, "BIRDFILE: Block parsing mismatch in number of blocks. (%d != %d)\n",
                 int(blockCount), int(declaredBlockCount));
        clean = false;
    }
    return clean;
}

std::vector<BirdBlock> BirdFile::FindBlocks(BLOCK_TYPE type) const
{
    std::vector<BirdBlock> found;
    for (const BirdBlock& block : blocks)
        if (block.type == type)
            found.push_back(block);
    return found;
}

const BirdBlock* BirdFile::infoBlock() const
{
    for (const BirdBlock& block : blocks)
        if (block.type == BLOCK_TYPE_INFO)
            return &block;
    return nullptr;
}

const char* BirdFile::infoField(size_t index) const
{
    const BirdBlock* info = infoBlock();
    if (!info || (index + 1) * INFO_FIELD_SIZE > info->length)
        return nullptr;
    return reinterpret_cast<const char*>(info->data + index * INFO_FIELD_SIZE);
}

uint32_t BirdFile::GetSerialNumber() const
{
    const char* field = infoField(2);
    if (!field)
        return 0;
    char text[SERIAL_TEXT_LENGTH + 1] = {};
    memcpy(text, field, SERIAL_TEXT_LENGTH);
    return uint32_t(strtoul(text, nullptr, 16));
}

bool BirdFile::ValidateSerialNumber(uint32_t serialNumber) const
{
    return GetSerialNumber() == serialNumber;
}

uint32_t BirdFile::GetBuild() const
{
    const char* field = infoField(0);
    if (!field)
        return 0;
    char text[INFO_FIELD_SIZE] = {};
    memcpy(text, field, INFO_FIELD_SIZE - 1);
    return uint32_t(strtoul(text, nullptr, 10));
}

std::string BirdFile::GetVersion() const
{
    const char* field = infoField(1);
    if (!field)
        return std::string();
    std::string text(field, strnlen(field, INFO_FIELD_SIZE - 1));
    return text.substr(0, text.find(' '));
}

std::string BirdFile::GetModel() const
{
    const char* field = infoField(3);
    if (!field)
        return std::string();
    std::string model(field, INFO_FIELD_SIZE);
    size_t end = model.find_last_not_of(' ');
    return end == std::string::npos ? std::string() : model.substr(0, end + 1);
}

bool BirdFile::ValidateModel(const char* model) const
{
    if (!model || !infoField(3))
        return false;
    std::string stored = GetModel();
    size_t n = strlen(model);
    if (stored.size() < n || stored.compare(0, n, model) != 0)
        return false;
    Log::log(DEBUG_BirdFile, "Model matches model number ([%s] == [%s])\n", stored.c_str(), model);
    return true;
}

bool BirdFile::GetStartAddress(uint32_t* address) const
{
    for (const BirdBlock& block : blocks) {
        if (block.type == BLOCK_TYPE_START_ADDRESS && block.length >= 4) {
            if (address)
                *address = _get_int(block.data);
            return true;
        }
    }
    return false;
}

bool BirdFile::FindSerialNumberOffsets()
{
    if (blockCount == 0)
        return false;
    for (const BirdBlock& block : blocks) {
        if (block.type != BLOCK_TYPE_SERIAL_OFFSETS)
            continue;
        // A short block has no word where its data ends: that offset is absent.
        serialNumberOffset = block.length >= 4 ? _get_int(block.data) : 0;
        descriptorOffset = block.length >= 8 ? _get_int(block.data + 4) : 0;
        Log::log(DEBUG_BirdFile, "BIRDFILE: Offsets: Serial number: %d, Descriptor: %d\n",
                 int(serialNumberOffset), int(descriptorOffset));
        return true;
    }
    return false;
}

bool BirdFile::ReplaceSerialNumber(uint32_t serialNumber)
{
    char text[SERIAL_TEXT_LENGTH + 1];
    snprintf(text, sizeof text, "%08X", serialNumber);
    bool written = false;
    for (const BirdBlock& block : blocks) {
        if (block.type != BLOCK_TYPE_FIRMWARE)
            continue;
        if (serialNumberOffset != 0) {
            if (uint8_t* word = _payload_span(block, serialNumberOffset, 4)) {
                Log::log(DEBUG_BirdFile, "BIRDFILE: updating serial number from %08X ==> %08X\n",
                         _get_le(word), serialNumber);
                _put_le(word, serialNumber);
                written = true;
            }
        }
        if (descriptorOffset != 0) {
            if (uint8_t* chars = _payload_span(block, descriptorOffset, DESCRIPTOR_SPAN)) {
                for (size_t i = 0; i < SERIAL_TEXT_LENGTH; ++i)
                    chars[2 * i] = uint8_t(text[i]);
                written = true;
            }
        }
    }
    return written;
}

bool BirdFile::DecodeFirmwareBlocks(const uint32_t key[4])
{
    uint8_t bytes[KEY_SIZE];
    for (size_t w = 0; w < 4; ++w)
        for (size_t b = 0; b < 4; ++b)
            bytes[4 * w + b] = uint8_t(key[w] >> (24 - 8 * b));
    for (BirdBlock& block : blocks) {
        if (block.type != BLOCK_TYPE_FIRMWARE || block.payloadLength() == 0)
            continue;
        uint8_t* p = block.data + 4;
        uint8_t previous = 0;
        for (uint32_t i = 0; i < block.payloadLength(); ++i) {
            uint8_t decoded = p[i] ^ bytes[i % KEY_SIZE] ^ previous;
            p[i] = decoded;
            previous = decoded;
        }
    }
    return true;
}

bool BirdFile::DumpBlocks(BLOCK_TYPE type) const
{
    printf("BIRDFILE: BLOCK DUMP [%s]\n", path.c_str());
    for (const BirdBlock& block : blocks) {
        if (block.type != type)
            continue;
        std::string column;
        for (uint32_t i = 0; i < block.length; ++i) {
            if (i % DUMP_LINE_BYTES == 0) {
                printf(" %s\r\n%06d: ", column.c_str(), int(i));
                column.clear();
            }
            uint8_t byte = block.data[i];
            printf("%02X ", byte);
            column += isprint(byte) ? char(byte) : ' ';
        }
        printf(" %s\n", column.c_str());
    }
    printf("\n");
    fflush(stdout);
    return true;
}

std::string BirdFile::BlockTypeName(uint8_t type)
{
    switch (type) {
    case BLOCK_TYPE_LOADER: return "LOADER";
    case BLOCK_TYPE_FIRMWARE: return "FIRMWARE";
    case BLOCK_TYPE_SERIAL_OFFSETS: return "SERIAL_OFFSETS";
    case BLOCK_TYPE_INFO: return "INFO";
    case BLOCK_TYPE_START_ADDRESS: return "START_ADDRESS";
    default: return "TYPE_" + std::to_string(type);
    }
}
