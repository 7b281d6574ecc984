#ifndef BIRDWRITER_BIRDWRITER_H
#define BIRDWRITER_BIRDWRITER_H

// Writes ".bird" firmware images for tests and demos. The product only reads
// images; this writer is its own implementation of the format, so a mistake
// in the reader cannot hide behind the same mistake here. It can also write
// images that are wrong on purpose (block count, cut payload, any version,
// no compression).

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace birdwriter {

typedef std::vector<uint8_t> Bytes;
typedef std::array<uint32_t, 4> Key;  // a fingerprint's four words

enum : uint8_t {
    TYPE_LOADER = 0,
    TYPE_FIRMWARE = 1,
    TYPE_SERIAL_OFFSETS = 2,
    TYPE_INFO = 4,
    TYPE_START_ADDRESS = 5,
};

constexpr size_t INFO_FIELD = 16;
constexpr size_t HEADER_SIZE = 6;  // "bird", major, minor

struct Block {
    uint8_t header = 0;  // type in the low five bits, flags in the high three
    Bytes data;          // everything after the length, load address included
};

class Image {
public:
    // Blocks, in file order. Flags are 0..7.
    Image& Loader(uint32_t address, const Bytes& code, uint8_t flags = 0);
    Image& Firmware(uint32_t address, const Bytes& code, uint8_t flags = 0);
    Image& SerialOffsets(uint32_t serialWord, uint32_t descriptor);
    // Build in decimal, serial as "%08X" (0 for a generic image).
    Image& Info(uint32_t build, const std::string& version, uint32_t serial, const std::string& model);
    // The four fields as given, each cut or padded with spaces to 16 bytes.
    Image& InfoText(const std::string& build, const std::string& version, const std::string& serial,
                    const std::string& model);
    Image& StartAddress(uint32_t address);
    // Any block, its data exactly as given.
    Image& Raw(uint8_t type, const Bytes& data, uint8_t flags = 0);

    // Image-wide settings.
    Image& DeclareCount(uint32_t count);       // default: the number of blocks
    Image& TruncatePayload(size_t keep);       // keep only this many payload bytes
    Image& Version(uint8_t major, uint8_t minor);  // default 1.1
    Image& Checksum(uint32_t checksum);        // default: CRC-32 of what precedes it
    Image& Scramble(const Key& key);           // scramble every firmware block
    Image& Compressed(bool compressed);        // false: payload stored as is
    Image& Level(int level);                   // zlib level, default Z_DEFAULT_COMPRESSION

    const std::vector<Block>& Blocks() const { return blocks_; }
    Bytes Payload() const;  // uncompressed, after scrambling and truncation
    Bytes File() const;     // header and (compressed) payload
    bool Write(const std::string& path, std::string* error) const;

private:
    Image& add(uint8_t type, uint8_t flags, Bytes data);

    std::vector<Block> blocks_;
    bool countGiven_ = false;
    uint32_t count_ = 0;
    bool truncate_ = false;
    size_t keep_ = 0;
    uint8_t major_ = 1;
    uint8_t minor_ = 1;
    bool checksumGiven_ = false;
    uint32_t checksum_ = 0;
    bool scramble_ = false;
    Key key_{};
    bool compressed_ = true;
    int level_ = -1;
};

// The inverse of the reader's unscrambling: key bytes are the words most
// significant byte first; stored = plain ^ key[i % 16] ^ previous plain.
void ScrambleBytes(uint8_t* data, size_t length, const Key& key);
// The reader's unscrambling, for checking round trips.
void UnscrambleBytes(uint8_t* data, size_t length, const Key& key);

Bytes Compress(const Bytes& payload, int level = -1);
// "bird", the two version bytes, then the body as given.
Bytes Wrap(const Bytes& body, uint8_t major = 1, uint8_t minor = 1);
void PutBE32(Bytes& out, uint32_t value);

// Data generators for block contents.
Bytes Pattern(size_t length, uint32_t seed = 1);  // deterministic, poorly compressible
bool ReadBytes(const std::string& path, Bytes* out, std::string* error);
bool WriteBytes(const std::string& path, const Bytes& bytes, std::string* error);

}  // namespace birdwriter

#endif
